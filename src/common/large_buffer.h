#pragma once
// Buffers of megabytes (request bodies, archives, payloads, reply texts) are taken fresh
// and written front to back once. On a virtual machine the first touch of each 4 KiB
// page is a fault that costs more than the work done in it; huge pages take 512 times
// fewer.
#include <cstddef>

namespace ostrivan {

// Asks for huge pages over the whole 2 MiB pages inside [data, data + size). A hint
// only: where the system gives none nothing changes.
void AdviseHugePages(const void* data, std::size_t size);

// Room for `size` elements in one allocation, advised as above.
template <class Container>
void ReserveLarge(Container& buffer, std::size_t size) {
  buffer.reserve(size);
  AdviseHugePages(buffer.data(), buffer.capacity() * sizeof(*buffer.data()));
}

}  // namespace ostrivan

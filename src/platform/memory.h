#pragma once
// Hints to the system's memory management.
#include <cstddef>

namespace ostrivan::platform {

// Asks for large pages over the whole 2 MiB pages inside [data, data + size): a buffer
// written front to back once then costs far fewer page faults. A hint only: where the
// system gives none nothing changes.
void AdviseLargePages(const void* data, std::size_t size);

}  // namespace ostrivan::platform

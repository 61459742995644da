#include "common/large_buffer.h"

#include <sys/mman.h>

#include <cstdint>

namespace ostrivan {

namespace {
constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
}

void AdviseHugePages(const void* data, std::size_t size) {
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (start + size) & ~(kHugePage - 1);
  if (data == nullptr || last <= first) return;
  ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace ostrivan

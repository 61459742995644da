#include "platform/memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace ostrivan::platform {

namespace {
constexpr std::uintptr_t kMemoryHugePage = std::uintptr_t{2} << 20;
}

void AdviseLargePages(const void* data, std::size_t size) {
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (start + kMemoryHugePage - 1) & ~(kMemoryHugePage - 1);
  const std::uintptr_t last = (start + size) & ~(kMemoryHugePage - 1);
  if (data == nullptr || last <= first) return;
  ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace ostrivan::platform

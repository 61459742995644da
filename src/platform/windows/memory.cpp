#include "platform/memory.h"

namespace ostrivan::platform {

// Large pages on Windows need a privilege and an allocation of their own (VirtualAlloc with
// MEM_LARGE_PAGES); memory already in use cannot be advised into them.
void AdviseLargePages(const void*, std::size_t) {}

}  // namespace ostrivan::platform

#include "common/large_buffer.h"

#include "platform/memory.h"

namespace ostrivan {

void AdviseHugePages(const void* data, std::size_t size) { platform::AdviseLargePages(data, size); }

}  // namespace ostrivan

#include "platform/process.h"

#include <unistd.h>

namespace ostrivan::platform {

std::int64_t ProcessId() noexcept { return static_cast<std::int64_t>(::getpid()); }

}  // namespace ostrivan::platform

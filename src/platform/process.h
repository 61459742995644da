#pragma once
// The running process as the system names it.
#include <cstdint>

namespace ostrivan::platform {

// The process's id: unique among the processes running now.
std::int64_t ProcessId() noexcept;

}  // namespace ostrivan::platform

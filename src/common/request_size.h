#pragma once
// The largest request body the service accepts unless configured otherwise (5 MiB, a job
// archive of about 3.8 MB in base64). Here, below the engine, so that the client refuses
// an oversized job before it sends it without linking the engine.
#include <cstdint>

namespace ostrivan {

inline constexpr std::int64_t kDefaultMaxRequestSize = 5 * 1024 * 1024;

}  // namespace ostrivan

#pragma once
// The largest request body the service accepts unless configured otherwise (5 MiB, a job
// archive of about 3.8 MB in base64). Here, below the engine, so that the client refuses
// an oversized job before it sends it without linking the engine.
#include <cstdint>
#include <string_view>

namespace ostrivan {

inline constexpr std::int64_t kDefaultMaxRequestSize = 5 * 1024 * 1024;
// How the refusal of a larger body begins ("... [5120 KiB] (1)"): the engine words it,
// the client recognises it.
inline constexpr std::string_view kRequestSizeExceededText = "Request size exceeded the max allowed size";

}  // namespace ostrivan

#pragma once
// Small text helpers of the engine. Trimming and ASCII letter-case comparisons are the
// HTTP layer's (http/text_codec.h), shared with the header and media-type code.
#include <string>
#include <string_view>
#include <vector>

#include "http/text_codec.h"

namespace ostrivan::web {

std::vector<std::string> SplitString(std::string_view text, char separator);
// Decodes "%XX" escapes into bytes; malformed escapes stay as they are.
std::string PercentDecode(std::string_view text);

}  // namespace ostrivan::web

#pragma once
// Small text helpers of the engine. Letter-case operations are ASCII-only, like the
// header and media-type comparisons they serve.
#include <string>
#include <string_view>
#include <vector>

namespace ostrivan::web {

// Removes leading and trailing characters with codes 0..32 (blanks and controls).
std::string TrimBlanks(std::string_view text);
std::string AsciiLower(std::string_view text);
bool SameTextAscii(std::string_view a, std::string_view b);
bool StartsTextAscii(std::string_view text, std::string_view prefix);
std::vector<std::string> SplitString(std::string_view text, char separator);
// Decodes "%XX" escapes into bytes; malformed escapes stay as they are.
std::string PercentDecode(std::string_view text);

}  // namespace ostrivan::web

#pragma once
// Media type and charset of a Content-Type text, and the composed form the engine
// gives replies ("application/json;charset=utf-8").
#include <string>
#include <string_view>

namespace ostrivan::web {

struct TContentTypeParts {
  std::string media_type;
  std::string charset;
};

// "application/json; charset=UTF-8" -> {"application/json", "UTF-8"}. The media type is
// the text without its charset piece, not trimmed and not lower-cased.
TContentTypeParts SplitContentType(std::string_view content_type);
// ("Application/JSON ", "UTF-8") -> "application/json;charset=utf-8"; the charset is
// added only to text/ and application/ types.
std::string ComposeContentType(std::string_view media_type, std::string_view charset);

}  // namespace ostrivan::web

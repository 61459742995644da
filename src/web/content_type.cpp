#include "web/content_type.h"

#include <vector>

#include "common/text.h"
#include "web/string_utils.h"

namespace ostrivan::web {

TContentTypeParts SplitContentType(std::string_view content_type) {
  TContentTypeParts parts;
  if (content_type.empty()) return parts;
  std::vector<std::string> pieces = SplitString(content_type, ';');
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    std::string trimmed = Trim(pieces[i]);
    if (!StartsWithText(trimmed, "charset")) continue;
    // "charset" without "=" yields an empty charset.
    std::vector<std::string> halves = SplitString(trimmed, '=');
    if (halves.size() > 1) parts.charset = Trim(halves[1]);
    pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(i));
    for (std::size_t j = 0; j < pieces.size(); ++j) {
      if (j > 0) parts.media_type += ';';
      parts.media_type += pieces[j];
    }
    return parts;
  }
  parts.media_type = std::string(content_type);
  return parts;
}

std::string ComposeContentType(std::string_view media_type, std::string_view charset) {
  std::string trimmed = Trim(LowerCase(media_type));
  std::string result;
  result.reserve(trimmed.size());
  for (char c : trimmed) {
    if (c != ' ') result.push_back(c);
  }
  if (result.empty()) return result;
  if (!charset.empty() && (result.starts_with("text/") || result.starts_with("application/"))) {
    result += ";charset=" + LowerCase(charset);
  }
  return result;
}

}  // namespace ostrivan::web

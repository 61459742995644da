#include "http/http_request_info.h"

#include "http/text_codec.h"

namespace ostrivan::http {

namespace {

// The media type's subtype decides the default charset of text types.
std::string DefaultTextCharset(const std::string& media_type) {
  std::string m = LowerCase(Trim(media_type));
  if (m.rfind("text/", 0) != 0) return {};
  std::string sub = m.substr(5);
  if (sub == "xml" || sub == "xml-external-parsed-entity" ||
      (sub.size() >= 4 && sub.compare(sub.size() - 4, 4, "+xml") == 0))
    return "us-ascii";
  return "ISO-8859-1";
}

}  // namespace

THTTPCommandType CommandTypeOf(const std::string& method) {
  static const char* const kNames[] = {"UNKNOWN", "HEAD", "GET", "POST", "DELETE", "PUT", "TRACE", "OPTIONS"};
  for (int i = 1; i < 8; ++i)
    if (SameText(method, kNames[i])) return static_cast<THTTPCommandType>(i);
  return hcUnknown;
}

void ApplyContentTypeRule(const std::string& value, std::string& content_type, std::string& char_set) {
  if (value.empty()) {
    content_type.clear();
    char_set.clear();
    return;
  }
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    size_t semi = value.find(';', start);
    pieces.push_back(value.substr(start, semi == std::string::npos ? std::string::npos : semi - start));
    if (semi == std::string::npos) break;
    start = semi + 1;
  }
  bool found = false;
  std::string kept;
  for (size_t i = 0; i < pieces.size(); ++i) {
    std::string piece = Trim(pieces[i]);
    if (i > 0 && !found && StartsWithText(piece, "charset")) {
      std::string rest = Trim(std::string_view(piece).substr(7));
      if (rest.empty() || rest[0] == '=') {
        std::string v = rest.empty() ? std::string() : Trim(std::string_view(rest).substr(1));
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        char_set = v;
        found = true;
        continue;
      }
    }
    if (i == 0) kept = piece;
    else if (!piece.empty()) kept += "; " + piece;
  }
  content_type = kept;
  if (!found && char_set.empty()) char_set = DefaultTextCharset(kept);
}

void THTTPRequestInfo::SetContentType(const std::string& value) {
  ApplyContentTypeRule(value, content_type_, char_set_);
}

std::string DecodePathSegment(const std::string& text) {
  std::string bytes;
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t c = NextCodePoint(text, pos);
    if (c != '%') {
      bytes += static_cast<char>(c & 0xFF);
      continue;
    }
    // A malformed escape consumes what it claimed and adds nothing.
    if (pos < text.size() && (text[pos] == 'u' || text[pos] == 'U')) {
      size_t p = pos + 1;
      int value = 0;
      int digits = 0;
      bool valid = true;
      while (digits < 4 && p < text.size()) {
        int h = HexDigitValue(static_cast<unsigned char>(text[p]));
        ++p;
        ++digits;
        if (h < 0) valid = false;
        else value = value * 16 + h;
      }
      if (valid && digits == 4) AppendUtf8(bytes, static_cast<char32_t>(value));
      pos = p;
      continue;
    }
    size_t p = pos;
    int value = 0;
    int digits = 0;
    bool valid = true;
    while (digits < 2 && p < text.size()) {
      int h = HexDigitValue(static_cast<unsigned char>(text[p]));
      ++p;
      ++digits;
      if (h < 0) valid = false;
      else value = value * 16 + h;
    }
    if (valid && digits == 2) bytes += static_cast<char>(value);
    pos = p;
  }
  return Utf8FromBytes(bytes);
}

std::string DocumentFromURI(const std::string& raw_uri, std::string* absolute_host) {
  if (raw_uri == "*") return "*";
  std::string uri = raw_uri;
  size_t hash = uri.find('#');
  if (hash != std::string::npos) uri.erase(hash);
  for (char& c : uri)
    if (c == '\\') c = '/';
  size_t scheme = uri.find("://");
  if (scheme != std::string::npos || uri.rfind("//", 0) == 0) {
    size_t authority_start = scheme != std::string::npos ? scheme + 3 : 2;
    size_t path_start = uri.find('/', authority_start);
    std::string authority =
        uri.substr(authority_start, path_start == std::string::npos ? std::string::npos : path_start - authority_start);
    size_t at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);
    std::string host = authority;
    if (!host.empty() && host[0] == '[') {
      size_t close = host.find(']');
      if (close != std::string::npos) host.erase(close + 1);
    } else {
      size_t colon = host.find(':');
      if (colon != std::string::npos) host.erase(colon);
    }
    if (absolute_host) *absolute_host = host;
    uri = path_start == std::string::npos ? std::string("/") : uri.substr(path_start);
  }
  size_t last_slash = uri.rfind('/');
  if (last_slash == std::string::npos) return DecodePathSegment(uri);
  return DecodePathSegment(uri.substr(0, last_slash + 1)) + DecodePathSegment(uri.substr(last_slash + 1));
}

}  // namespace ostrivan::http

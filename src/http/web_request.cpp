#include "http/web_request.h"

#include <limits>

#include "common/error.h"
#include "http/text_codec.h"

namespace ostrivan::http {

namespace {}  // namespace

TDateTime TWebRequest::GetDateVariable(int index) { return ParseHTTPDate(GetStringVariable(index)); }

int64_t TWebRequest::GetIntegerVariable(int index) {
  std::string text = Trim(GetStringVariable(index));
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i == text.size()) return -1;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return -1;
    if (value > (std::numeric_limits<int64_t>::max() - (c - '0')) / 10) return -1;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

const TNameValueList& TWebRequest::QueryFields() {
  if (!query_fields_) {
    TNameValueList fields;
    ExtractHTTPFields(Query(), fields);
    query_fields_ = std::move(fields);
  }
  return *query_fields_;
}

const TNameValueList& TWebRequest::ContentFields() {
  if (!content_fields_) {
    TNameValueList fields;
    // Multipart bodies are not parsed here: no path of this system posts them.
    if (ContentLength() > 0 && !StartsWithText(ContentType(), "multipart/form-data"))
      ExtractHTTPFields(Content(), fields);
    content_fields_ = std::move(fields);
  }
  return *content_fields_;
}

std::string HTTPDecode(const std::string& text) {
  std::string bytes;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '+') {
      bytes += ' ';
      ++i;
    } else if (c == '%') {
      if (i + 1 < text.size() && text[i + 1] == '%') {  // "%%" is a percent sign
        bytes += '%';
        i += 2;
        continue;
      }
      // Positions count from 1, at the "%".
      if (i + 2 >= text.size())
        throw EConvertError("Error decoding URL style (%XX) encoded string at position " + std::to_string(i + 1));
      int hi = HexDigitValue(static_cast<unsigned char>(text[i + 1]));
      int lo = HexDigitValue(static_cast<unsigned char>(text[i + 2]));
      if (hi < 0 || lo < 0)
        throw EConvertError("Invalid URL encoded character (" + text.substr(i, 3) + ") at position " +
                            std::to_string(i + 1));
      bytes += static_cast<char>(hi * 16 + lo);
      i += 3;
    } else {
      bytes += c;  // UTF-8 text: characters above U+007F already are their UTF-8 bytes
      ++i;
    }
  }
  return Utf8FromBytes(bytes);
}

void ExtractHTTPFields(const std::string& text, TNameValueList& dest) {
  if (text.empty()) return;
  std::string piece;
  bool quoted = false;
  auto flush = [&] {
    if (!piece.empty()) dest.Add(HTTPDecode(piece));
    piece.clear();
  };
  for (char c : text) {
    if (c == '"') quoted = !quoted;
    if (c == '&' && !quoted) {
      flush();
      continue;
    }
    piece += c;
  }
  flush();
}

std::string HTTPEncode(const std::string& text) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (const char byte : text) {
    const auto c = static_cast<unsigned char>(byte);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
        c == '.' || c == '~' || c == '*') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace ostrivan::http

#include "web/body_encoding.h"

#include "common/error.h"
#include "http/text_codec.h"
#include "web/string_utils.h"

namespace ostrivan::web {

namespace {
struct NamedEncoding {
  std::string_view name;
  TBodyEncoding encoding;
};

constexpr NamedEncoding kNames[] = {
    {"utf-8", TBodyEncoding::kUtf8},           {"utf8", TBodyEncoding::kUtf8},
    {"cp65001", TBodyEncoding::kUtf8},         {"iso-8859-1", TBodyEncoding::kLatin1},
    {"iso8859-1", TBodyEncoding::kLatin1},     {"iso_8859-1", TBodyEncoding::kLatin1},
    {"latin1", TBodyEncoding::kLatin1},        {"cp28591", TBodyEncoding::kLatin1},
    {"us-ascii", TBodyEncoding::kAscii},       {"ascii", TBodyEncoding::kAscii},
    {"cp20127", TBodyEncoding::kAscii},        {"windows-1252", TBodyEncoding::kWindows1252},
    {"cp1252", TBodyEncoding::kWindows1252},   {"utf-16", TBodyEncoding::kUtf16LE},
    {"utf-16le", TBodyEncoding::kUtf16LE},     {"unicode", TBodyEncoding::kUtf16LE},
    {"cp1200", TBodyEncoding::kUtf16LE},       {"utf-16be", TBodyEncoding::kUtf16BE},
    {"unicodefffe", TBodyEncoding::kUtf16BE},  {"cp1201", TBodyEncoding::kUtf16BE},
};

std::string DecodeUtf16(std::string_view bytes, bool little_endian) {
  std::string out;
  out.reserve(bytes.size());
  auto unit_at = [&](std::size_t i) -> char32_t {
    auto a = static_cast<unsigned char>(bytes[i]);
    auto b = static_cast<unsigned char>(bytes[i + 1]);
    return little_endian ? (a | (b << 8)) : ((a << 8) | b);
  };
  std::size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) {
    char32_t unit = unit_at(i);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
      char32_t low = unit_at(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        http::AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) unit = 0xFFFD;  // lone surrogate
    http::AppendUtf8(out, unit);
  }
  if (i < bytes.size()) http::AppendUtf8(out, 0xFFFD);  // odd trailing byte
  return out;
}
}  // namespace

TBodyEncoding FindBodyEncoding(std::string_view name) {
  for (const auto& entry : kNames) {
    if (http::SameText(name, entry.name)) return entry.encoding;
  }
  throw EEncodingError("Invalid encoding name");
}

std::string DecodeBody(TBodyEncoding encoding, std::string_view bytes) {
  switch (encoding) {
    case TBodyEncoding::kUtf8:
      return http::Utf8FromBytes(bytes);
    case TBodyEncoding::kLatin1:
      return http::Latin1ToUtf8(bytes);
    case TBodyEncoding::kAscii: {
      std::string out(bytes);
      for (char& c : out) {
        if (static_cast<unsigned char>(c) > 127) c = '?';
      }
      return out;
    }
    case TBodyEncoding::kWindows1252:
      return http::TCharsetEncoding(http::TCharsetEncoding::Kind::kWindows1252).Decode(bytes);
    case TBodyEncoding::kUtf16LE:
      return DecodeUtf16(bytes, true);
    case TBodyEncoding::kUtf16BE:
      return DecodeUtf16(bytes, false);
  }
  return std::string(bytes);
}

}  // namespace ostrivan::web

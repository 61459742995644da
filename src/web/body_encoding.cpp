#include "web/body_encoding.h"

#include "common/error.h"
#include "common/text.h"
#include "http/text_codec.h"
#include "web/string_utils.h"

namespace ostrivan::web {

namespace {
struct NamedEncoding {
  std::string_view name;
  TBodyEncoding encoding;
};

constexpr NamedEncoding kNames[] = {
    {"utf-8", TBodyEncoding::kUtf8},          {"utf8", TBodyEncoding::kUtf8},
    {"cp65001", TBodyEncoding::kUtf8},        {"iso-8859-1", TBodyEncoding::kLatin1},
    {"iso8859-1", TBodyEncoding::kLatin1},    {"iso_8859-1", TBodyEncoding::kLatin1},
    {"latin1", TBodyEncoding::kLatin1},       {"cp28591", TBodyEncoding::kLatin1},
    {"us-ascii", TBodyEncoding::kAscii},      {"ascii", TBodyEncoding::kAscii},
    {"cp20127", TBodyEncoding::kAscii},       {"windows-1252", TBodyEncoding::kWindows1252},
    {"cp1252", TBodyEncoding::kWindows1252},  {"utf-16", TBodyEncoding::kUtf16LE},
    {"utf-16le", TBodyEncoding::kUtf16LE},    {"unicode", TBodyEncoding::kUtf16LE},
    {"cp1200", TBodyEncoding::kUtf16LE},      {"utf-16be", TBodyEncoding::kUtf16BE},
    {"unicodefffe", TBodyEncoding::kUtf16BE}, {"cp1201", TBodyEncoding::kUtf16BE},
};
}  // namespace

TBodyEncoding FindBodyEncoding(std::string_view name) {
  for (const auto& entry : kNames) {
    if (SameText(name, entry.name)) return entry.encoding;
  }
  throw EEncodingError("Invalid encoding name");
}

std::string DecodeBody(TBodyEncoding encoding, std::string_view bytes) {
  switch (encoding) {
    case TBodyEncoding::kUtf8: return Utf8FromBytes(bytes);
    case TBodyEncoding::kLatin1: return Latin1ToUtf8(bytes);
    case TBodyEncoding::kAscii: {
      std::string out(bytes);
      for (char& c : out) {
        if (static_cast<unsigned char>(c) > 127) c = '?';
      }
      return out;
    }
    case TBodyEncoding::kWindows1252:
      return http::TCharsetEncoding(http::TCharsetEncoding::Kind::kWindows1252).Decode(bytes);
    case TBodyEncoding::kUtf16LE: return Utf16ToUtf8(bytes, ByteOrder::kLittleEndian, Utf16OddByte::kReplaced);
    case TBodyEncoding::kUtf16BE: return Utf16ToUtf8(bytes, ByteOrder::kBigEndian, Utf16OddByte::kReplaced);
  }
  return std::string(bytes);
}

}  // namespace ostrivan::web

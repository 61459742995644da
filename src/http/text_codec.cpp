#include "http/text_codec.h"

#include <array>

namespace ostrivan::http {

namespace {

// Windows-1252 characters for bytes 0x80..0x9F (0 = undefined, read as the byte itself).
constexpr std::array<char32_t, 32> kCp1252High = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                                  0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

std::string DecodeAscii7(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) < 0x80) out += c;
    else AppendUtf8(out, kReplacementCharacter);
  }
  return out;
}

std::string EncodeAscii7(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    char32_t cp = NextCodePoint(text, pos);
    out += cp < 0x80 ? static_cast<char>(cp) : '?';
  }
  return out;
}

std::string HeadLineText(std::string text) {
  for (char& c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = ' ';
  }
  return text;
}

TCharsetEncoding TCharsetEncoding::ByName(std::string_view raw) {
  std::string name = LowerCase(Trim(raw));
  if (name == "utf-8" || name == "utf8") return TCharsetEncoding(Kind::kUtf8);
  if (name == "iso-8859-1" || name == "latin1" || name == "iso8859-1" || name == "latin-1")
    return TCharsetEncoding(Kind::kLatin1);
  if (name == "us-ascii" || name == "ascii") return TCharsetEncoding(Kind::kAscii);
  if (name == "windows-1252" || name == "cp1252") return TCharsetEncoding(Kind::kWindows1252);
  return TCharsetEncoding(Kind::kSingleByte);
}

bool TCharsetEncoding::IsKnownName(std::string_view name) { return ByName(name).kind() != Kind::kSingleByte; }

std::string TCharsetEncoding::Encode(std::string_view text) const {
  if (kind_ == Kind::kUtf8) return Utf8FromBytes(text);
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    char32_t cp = NextCodePoint(text, pos);
    switch (kind_) {
      case Kind::kAscii: out += cp < 0x80 ? static_cast<char>(cp) : '?'; break;
      case Kind::kWindows1252: {
        char mapped = '?';
        if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
          mapped = static_cast<char>(cp);
        } else {
          for (size_t i = 0; i < kCp1252High.size(); ++i) {
            char32_t table = kCp1252High[i] ? kCp1252High[i] : static_cast<char32_t>(0x80 + i);
            if (table == cp) {
              mapped = static_cast<char>(0x80 + i);
              break;
            }
          }
        }
        out += mapped;
        break;
      }
      default:  // Latin-1 and the single-byte fallback
        out += cp <= 0xFF ? static_cast<char>(cp) : '?';
        break;
    }
  }
  return out;
}

std::string TCharsetEncoding::Decode(std::string_view bytes) const {
  switch (kind_) {
    case Kind::kUtf8: return Utf8FromBytes(bytes);
    case Kind::kAscii: return DecodeAscii7(bytes);
    case Kind::kWindows1252: {
      std::string out;
      for (char c : bytes) {
        unsigned char b = static_cast<unsigned char>(c);
        char32_t cp = b;
        if (b >= 0x80 && b <= 0x9F && kCp1252High[b - 0x80]) cp = kCp1252High[b - 0x80];
        AppendUtf8(out, cp);
      }
      return out;
    }
    default: return Latin1ToUtf8(bytes);
  }
}

}  // namespace ostrivan::http

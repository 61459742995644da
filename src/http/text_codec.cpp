#include "http/text_codec.h"

#include <array>

namespace ostrivan::http {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Windows-1252 characters for bytes 0x80..0x9F (0 = undefined, read as the byte itself).
constexpr std::array<char32_t, 32> kCp1252High = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0, 0x017D, 0, 0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};

char ToUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
char ToLowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

}  // namespace

char32_t NextCodePoint(std::string_view text, size_t& pos) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char b0 = byte(pos);
  if (b0 < 0x80) { ++pos; return b0; }
  int extra;
  char32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) { extra = 1; cp = b0 & 0x1F; }
  else if (b0 >= 0xE0 && b0 <= 0xEF) { extra = 2; cp = b0 & 0x0F; }
  else if (b0 >= 0xF0 && b0 <= 0xF4) { extra = 3; cp = b0 & 0x07; }
  else { ++pos; return kReplacement; }
  if (pos + extra >= text.size()) { ++pos; return kReplacement; }
  for (int i = 1; i <= extra; ++i) {
    unsigned char b = byte(pos + i);
    if ((b & 0xC0) != 0x80) { ++pos; return kReplacement; }
    cp = (cp << 6) | (b & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not valid UTF-8.
  if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return kReplacement;
  }
  pos += extra + 1;
  return cp;
}

std::string DecodeAscii7(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) < 0x80) out += c;
    else AppendUtf8(out, kReplacement);
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

std::string Utf8FromBytes(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t pos = 0; pos < bytes.size();) AppendUtf8(out, NextCodePoint(bytes, pos));
  return out;
}

std::string HeadLineText(std::string text) {
  for (char& c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = ' ';
  }
  return text;
}

std::string Latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) AppendUtf8(out, static_cast<unsigned char>(c));
  return out;
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

bool TCharsetEncoding::IsKnownName(std::string_view name) {
  return ByName(name).kind() != Kind::kSingleByte;
}

std::string TCharsetEncoding::Encode(std::string_view text) const {
  if (kind_ == Kind::kUtf8) return Utf8FromBytes(text);
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    char32_t cp = NextCodePoint(text, pos);
    switch (kind_) {
      case Kind::kAscii:
        out += cp < 0x80 ? static_cast<char>(cp) : '?';
        break;
      case Kind::kWindows1252: {
        char mapped = '?';
        if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
          mapped = static_cast<char>(cp);
        } else {
          for (size_t i = 0; i < kCp1252High.size(); ++i) {
            char32_t table = kCp1252High[i] ? kCp1252High[i] : static_cast<char32_t>(0x80 + i);
            if (table == cp) { mapped = static_cast<char>(0x80 + i); break; }
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
    case Kind::kUtf8:
      return Utf8FromBytes(bytes);
    case Kind::kAscii:
      return DecodeAscii7(bytes);
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
    default:
      return Latin1ToUtf8(bytes);
  }
}

std::string UpperCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ToUpperAscii(c);
  return out;
}

std::string LowerCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ToLowerAscii(c);
  return out;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (ToLowerAscii(a[i]) != ToLowerAscii(b[i])) return false;
  return true;
}

bool StartsWithText(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && SameText(s.substr(0, prefix.size()), prefix);
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

}  // namespace ostrivan::http

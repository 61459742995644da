#include "common/text.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ostrivan {

namespace {

constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";

unsigned char Byte(std::string_view text, std::size_t i) noexcept { return static_cast<unsigned char>(text[i]); }

// End of the run of ASCII bytes that starts at from. Bodies and log lines are nearly
// all ASCII, so the run is skipped a block at a time.
std::size_t AsciiRunEnd(std::string_view text, std::size_t from) noexcept {
  const char* data = text.data();
  const std::size_t size = text.size();
  std::size_t i = from;
#if defined(__SSE2__)
  for (; i + 16 <= size; i += 16) {
    if (_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i))) != 0) break;
  }
#else
  for (std::uint64_t word; i + 8 <= size; i += 8) {
    std::memcpy(&word, data + i, 8);
    if (word & 0x8080808080808080ULL) break;
  }
#endif
  while (i < size && Byte(text, i) < 0x80) ++i;
  return i;
}

// Length of the well-formed sequence at pos (1..4), or 0 when none starts there; then
// subpart holds the length of the maximal ill-formed subpart (at least 1).
std::size_t WellFormedLength(std::string_view text, std::size_t pos, std::size_t& subpart) noexcept {
  const unsigned char b0 = Byte(text, pos);
  if (b0 < 0x80) return 1;
  std::size_t len = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;  // no overlong forms
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    subpart = 1;
    return 0;
  }
  std::size_t good = 1;
  while (good < len && pos + good < text.size()) {
    const unsigned char b = Byte(text, pos + good);
    if (good == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) break;
    ++good;
  }
  if (good == len) return len;
  subpart = good;
  return 0;
}

std::size_t BadStep(std::size_t subpart, Utf8Repair rule) noexcept {
  return rule == Utf8Repair::kEachByte ? 1 : subpart;
}

}  // namespace

char32_t NextCodePoint(std::string_view text, std::size_t& pos, Utf8Repair rule) noexcept {
  std::size_t subpart = 0;
  const std::size_t len = WellFormedLength(text, pos, subpart);
  if (len == 0) {
    pos += BadStep(subpart, rule);
    return kReplacementCharacter;
  }
  static constexpr unsigned char kLeadMask[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t cp = Byte(text, pos) & kLeadMask[len];
  for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (Byte(text, pos + k) & 0x3F);
  pos += len;
  return cp;
}

bool IsValidUtf8(std::string_view text) noexcept {
  std::size_t pos = 0;
  while ((pos = AsciiRunEnd(text, pos)) < text.size()) {
    std::size_t subpart = 0;
    const std::size_t len = WellFormedLength(text, pos, subpart);
    if (len == 0) return false;
    pos += len;
  }
  return true;
}

void AppendValidUtf8(std::string& out, std::string_view bytes, Utf8Repair rule) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const std::size_t run = AsciiRunEnd(bytes, pos);
    out.append(bytes.data() + pos, run - pos);
    pos = run;
    if (pos >= bytes.size()) break;
    std::size_t subpart = 0;
    const std::size_t len = WellFormedLength(bytes, pos, subpart);
    if (len != 0) {
      out.append(bytes.data() + pos, len);
      pos += len;
    } else {
      out.append(kReplacementUtf8, 3);
      pos += BadStep(subpart, rule);
    }
  }
}

std::string Utf8FromBytes(std::string_view bytes, Utf8Repair rule) {
  std::string out;
  out.reserve(bytes.size());
  AppendValidUtf8(out, bytes, rule);
  return out;
}

std::string Latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) AppendUtf8(out, static_cast<unsigned char>(c));
  return out;
}

std::string Utf16ToUtf8(std::string_view bytes, ByteOrder order, Utf16OddByte odd_byte) {
  std::string out;
  out.reserve(bytes.size());
  auto unit_at = [&](std::size_t i) -> char32_t {
    const char32_t a = Byte(bytes, i), b = Byte(bytes, i + 1);
    return order == ByteOrder::kLittleEndian ? (a | (b << 8)) : ((a << 8) | b);
  };
  std::size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) {
    const char32_t unit = unit_at(i);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
      const char32_t low = unit_at(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    AppendUtf8(out, unit);  // a lone surrogate becomes U+FFFD
  }
  if (i < bytes.size() && odd_byte == Utf16OddByte::kReplaced) AppendUtf8(out, kReplacementCharacter);
  return out;
}

std::size_t Utf16Length(std::string_view text) noexcept {
  std::size_t units = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t len = Utf8SequenceLength(Byte(text, pos));
    units += len == 4 && pos + len <= text.size() ? 2u : 1u;
    pos += len;
  }
  return units;
}

std::string_view TruncateUtf16(std::string_view text, std::size_t max_units) noexcept {
  std::size_t units = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t len = std::min(Utf8SequenceLength(Byte(text, pos)), text.size() - pos);
    const std::size_t need = len == 4 ? 2 : 1;
    if (units + need > max_units) break;
    units += need;
    pos += len;
  }
  return text.substr(0, pos);
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int hi = HexDigitValue(static_cast<unsigned char>(text[i + 1]));
      int lo = HexDigitValue(static_cast<unsigned char>(text[i + 2]));
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

std::string UpperCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = UpperAscii(c);
  return out;
}

std::string LowerCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

bool SameText(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

bool StartsWithText(std::string_view s, std::string_view prefix) noexcept {
  return s.size() >= prefix.size() && SameText(s.substr(0, prefix.size()), prefix);
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string EscapeControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if ((u < 0x20 && c != '\t') || u == 0x7F) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

std::string PercentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
        c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace ostrivan

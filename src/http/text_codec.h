#pragma once
// Text is UTF-8 in memory; the wire speaks bytes. These helpers convert between the
// two under the rules of the connection (7-bit) and of named character sets.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/utf8.h"

namespace ostrivan::http {

// Next code point of UTF-8 text at pos (advanced). A byte that does not start a
// valid sequence yields U+FFFD and advances by one.
char32_t NextCodePoint(std::string_view text, size_t& pos);
using ostrivan::AppendUtf8;

// Wire bytes to text under the connection's 7-bit rule: 0x80..0xFF become U+FFFD.
std::string DecodeAscii7(std::string_view bytes);
// Text to wire bytes under the 7-bit rule: every character above U+007F becomes "?".
std::string EncodeAscii7(std::string_view text);
// Bytes read as UTF-8; invalid sequences become U+FFFD.
std::string Utf8FromBytes(std::string_view bytes);
// Bytes read one character per byte (U+0000..U+00FF).
std::string Latin1ToUtf8(std::string_view bytes);
// Text for a line of a reply's head (status line, header): every control character,
// CR and LF included, becomes a space, so text taken from a request cannot end the
// line and add lines of the client's own.
std::string HeadLineText(std::string text);

// A character set known by name. Unknown or empty names mean one byte per
// character (U+0000..U+00FF as their byte, anything else "?").
class TCharsetEncoding {
 public:
  enum class Kind { kUtf8, kLatin1, kAscii, kWindows1252, kSingleByte };
  explicit TCharsetEncoding(Kind kind) : kind_(kind) {}
  static TCharsetEncoding ByName(std::string_view name);
  // True when the name denotes a character set this system knows.
  static bool IsKnownName(std::string_view name);

  std::string Encode(std::string_view text) const;
  std::string Decode(std::string_view bytes) const;
  int64_t ByteCount(std::string_view text) const { return static_cast<int64_t>(Encode(text).size()); }
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// ASCII-only case helpers; HTTP tokens are compared this way.
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
bool SameText(std::string_view a, std::string_view b);
bool StartsWithText(std::string_view s, std::string_view prefix);
std::string Trim(std::string_view s);  // removes characters <= ' ' at both ends

}  // namespace ostrivan::http

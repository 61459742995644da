#pragma once
// Text is UTF-8 in memory; the wire speaks bytes. These helpers convert between the
// two under the rules of the connection (7-bit) and of named character sets.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/text.h"

namespace ostrivan::http {

// Wire bytes to text under the connection's 7-bit rule: 0x80..0xFF become U+FFFD.
std::string DecodeAscii7(std::string_view bytes);
// Text to wire bytes under the 7-bit rule: every character above U+007F becomes "?".
std::string EncodeAscii7(std::string_view text);
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

}  // namespace ostrivan::http

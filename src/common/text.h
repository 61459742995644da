#pragma once
// Text is UTF-8 in memory. This is the one place bytes become UTF-8 text and back, the
// one place a malformed byte becomes U+FFFD, and home of the ASCII text helpers every
// layer shares.
//   Utf8FromBytes("a\xE2\x82" "b")                          == "a\uFFFD\uFFFDb"
//   Utf8FromBytes("a\xE2\x82" "b", Utf8Repair::kEachSubpart) == "a\uFFFDb"
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ostrivan {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// How bytes that are not UTF-8 become U+FFFD.
enum class Utf8Repair {
  // One U+FFFD for every byte that starts no well-formed sequence. Request bodies and
  // paths, JSON text and archive entry names are read this way, so replies, error
  // positions and stored file names count one character per bad byte.
  kEachByte,
  // One U+FFFD for each maximal ill-formed subpart: a lead byte together with the
  // continuation bytes that still fit it. Log files are written this way.
  kEachSubpart,
};

// Appends the UTF-8 form of a code point. Surrogates and values above U+10FFFF, which
// UTF-8 cannot carry, become U+FFFD.
inline void AppendUtf8(std::string& out, char32_t cp) {
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = kReplacementCharacter;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Next code point of text at pos (pos < text.size(), advanced). A byte that starts no
// well-formed sequence yields U+FFFD and advances as the rule says.
char32_t NextCodePoint(std::string_view text, std::size_t& pos, Utf8Repair rule = Utf8Repair::kEachByte) noexcept;

// True when text is well-formed UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF, no cut sequence.
bool IsValidUtf8(std::string_view text) noexcept;

// Appends bytes as UTF-8 text: well-formed sequences as they are, the rest as U+FFFD.
void AppendValidUtf8(std::string& out, std::string_view bytes, Utf8Repair rule = Utf8Repair::kEachByte);
// Bytes read as UTF-8; what is not UTF-8 becomes U+FFFD.
std::string Utf8FromBytes(std::string_view bytes, Utf8Repair rule = Utf8Repair::kEachByte);
// Bytes read one character per byte (U+0000..U+00FF): the fallback for text that is
// not UTF-8.
std::string Latin1ToUtf8(std::string_view bytes);

// What a UTF-16 text whose byte count is odd does with its last byte.
enum class Utf16OddByte { kDropped, kReplaced };
enum class ByteOrder { kLittleEndian, kBigEndian };
// UTF-16 bytes (no byte-order mark expected) read as UTF-8 text; a lone surrogate
// becomes U+FFFD. "A\0" -> "A".
std::string Utf16ToUtf8(std::string_view bytes, ByteOrder order, Utf16OddByte odd_byte);

// Bytes of the sequence that lead byte b starts: 1 for ASCII and for bytes that start
// no sequence, so that a walk over malformed text still advances one byte at a time.
// The caller cuts it at the end of the text.
inline std::size_t Utf8SequenceLength(unsigned char b) noexcept {
  if (b >= 0xF0) return b <= 0xF7 ? 4 : 1;
  if (b >= 0xE0) return 3;
  if (b >= 0xC0) return 2;
  return 1;
}
// UTF-16 units the text takes, counted from its lead bytes: a four-byte sequence is a
// surrogate pair (two), every other sequence or stray byte one. "a\u20AC\U0001D11E" -> 4.
std::size_t Utf16Length(std::string_view text) noexcept;
// Longest prefix of text that fits into max_units UTF-16 units without cutting a
// character: ("a\U0001D11E", 2) -> "a".
std::string_view TruncateUtf16(std::string_view text, std::size_t max_units) noexcept;

// Value of a hexadecimal digit (either letter case), -1 for any other character.
inline int HexDigitValue(char32_t c) noexcept {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}
inline bool IsHexDigit(char32_t c) noexcept { return HexDigitValue(c) >= 0; }
// Decodes "%XX" escapes into bytes; malformed escapes stay as they are:
// "a%41%zz%4" -> "aA%zz%4".
std::string PercentDecode(std::string_view text);
// One path segment of a URL: every byte but letters, digits and "-._~" as "%XX", so a
// name with blanks, '/', '%', '?' or '#' stays one segment: "P 1/a" -> "P%201%2Fa".
std::string PercentEncode(std::string_view text);

// ASCII-only letter case: protocol tokens, names and keys are compared this way; every
// other byte, UTF-8 included, stays as it is.
inline char UpperAscii(char c) noexcept { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
inline char LowerAscii(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
bool SameText(std::string_view a, std::string_view b) noexcept;
bool StartsWithText(std::string_view s, std::string_view prefix) noexcept;
// Removes characters <= ' ' at both ends: " a b\r\n" -> "a b".
std::string Trim(std::string_view s);

// One line of a log whatever the text holds: CR and LF become "\r" and "\n", every other
// control character but TAB (and DEL) "\xNN"; nothing else changes, so text without
// them comes back as it was. "a\r\nb\x00" -> "a\\r\\nb\\x00".
std::string EscapeControls(std::string_view text);

// Text for an HTML page: "&", "<", ">" and '"' become entities, nothing else changes. An
// apostrophe stays: the pages put text between tags and into double-quoted attributes
// only, where it means nothing. "a<b & 'c'" -> "a&lt;b &amp; 'c'".
std::string HtmlEscape(std::string_view text);

}  // namespace ostrivan

#pragma once
// Base64 with the standard alphabet and "=" padding. Encoding writes CR LF after every
// 76 characters, as job payloads carry it; decoding never fails and follows one of two
// rules for what is not in the alphabet, named by the caller:
//   DecodeBase64("QU=JD", Base64Decoding::kStopAtPadding)        == "A"
//   DecodeBase64("QU=JD", Base64Decoding::kSkipOutsideAlphabet)  == "ABC"
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ostrivan {

enum class Base64Decoding {
  // The first "=" ends the text; anything else outside the alphabet is skipped. The
  // credentials of an "Authorization: Basic" header are read this way.
  kStopAtPadding,
  // The text is UTF-8, and only the low eight bits of each of its characters (of each
  // UTF-16 unit) count: U+0141 reads as "A", U+00E8 as a byte outside the alphabet.
  // Everything outside the alphabet ("=", CR, LF, blanks) is skipped. Job payloads are
  // read this way.
  kSkipOutsideAlphabet,
};

// "ABC" -> "QUJD"; 57 bytes -> 76 characters + CR LF (also at the very end).
std::string EncodeBase64(const void* data, std::size_t size);
inline std::string EncodeBase64(std::string_view bytes) { return EncodeBase64(bytes.data(), bytes.size()); }

// The alphabet characters that count, in groups of four; a trailing group of 3/2/1
// characters gives 2/1/0 bytes.
std::string DecodeBase64(std::string_view text, Base64Decoding rule);
// The same, written over the text itself (a payload of megabytes needs no second buffer).
void DecodeBase64InPlace(std::string& text, Base64Decoding rule);

}  // namespace ostrivan

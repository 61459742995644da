#pragma once
// Base64 as job payloads carry it: standard alphabet with "=" padding, CR LF after every
// 76 output characters, and decoding that skips whatever is not in the alphabet.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ostrivan::jobs {

// "ABC" -> "QUJD"; 57 bytes -> 76 characters + CR LF (also at the very end).
std::string EncodeBase64(const void* data, std::size_t size);
inline std::string EncodeBase64(std::string_view bytes) { return EncodeBase64(bytes.data(), bytes.size()); }

// Never fails: every byte outside the alphabet (CR, LF, blanks, "=", anything non-ASCII)
// is skipped; a trailing group of 3/2/1 characters gives 2/1/0 bytes.
std::string DecodeBase64(std::string_view text);

}  // namespace ostrivan::jobs

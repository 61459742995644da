#pragma once
// Bulk scanning helpers shared by the JSON reader and writer. Bodies are mostly one long
// base64 string, so strings are scanned 16 bytes at a time rather than byte by byte.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ostrivan::web::json_detail {

// Index of the first byte at or after from that is below 32, '"' or '\\'; size when none.
inline std::size_t FindStringSpecial(const char* data, std::size_t size, std::size_t from) noexcept {
  std::size_t i = from;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control_max = _mm_set1_epi8(0x1F);
  for (; i + 16 <= size; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    // Unsigned v <= 31 exactly when max(v, 31) == 31.
    const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, control_max), control_max);
    const __m128i hit = _mm_or_si128(control, _mm_or_si128(_mm_cmpeq_epi8(v, quote),
                                                            _mm_cmpeq_epi8(v, backslash)));
    const int mask = _mm_movemask_epi8(hit);
    if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
#endif
  for (; i < size; ++i) {
    const auto c = static_cast<unsigned char>(data[i]);
    if (c < 32 || c == '"' || c == '\\') return i;
  }
  return size;
}

// Number of UTF-16 units that the valid UTF-8 text encodes.
inline std::size_t Utf16Length(std::string_view text) noexcept {
  std::size_t units = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++units;  // every lead byte starts one unit
    if (c >= 0xF0) ++units;           // four-byte sequences are surrogate pairs
  }
  return units;
}

// Length in bytes of the UTF-8 sequence led by c (valid text assumed).
inline std::size_t Utf8SequenceLength(unsigned char c) noexcept {
  if (c < 0x80) return 1;
  if (c < 0xE0) return 2;
  if (c < 0xF0) return 3;
  return 4;
}

// Appends the UTF-8 form of a code point; surrogates become U+FFFD.
inline void AppendCodePoint(std::string& out, std::uint32_t cp) { ostrivan::AppendUtf8(out, cp); }

// True when text is well-formed UTF-8 (no overlong forms, no surrogates, <= U+10FFFF).
bool IsValidUtf8(std::string_view text) noexcept;
// Copy of text where every byte that starts no well-formed sequence becomes U+FFFD.
std::string RepairUtf8(std::string_view text);

// Appends text as a JSON string: quotes, and escapes for 0-31, '"' and '\\' only.
void AppendJsonString(std::string& out, std::string_view text);

}  // namespace ostrivan::web::json_detail

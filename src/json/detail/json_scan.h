#pragma once
// Bulk scanning helpers shared by the JSON reader and writer (UTF-8 rules are common/text.h). Bodies are mostly one long
// base64 string, so strings are scanned 16 bytes at a time rather than byte by byte.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ostrivan::json::json_detail {

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
    const __m128i hit = _mm_or_si128(control, _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
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

// Appends text as a JSON string: quotes, and escapes for 0-31, '"' and '\\' only.
void AppendJsonString(std::string& out, std::string_view text);

}  // namespace ostrivan::json::json_detail

#pragma once
// The one way text becomes an integer: digits of the base and nothing else, so that a
// header, a setting and a command-line value accept and refuse the same texts.
//   ParseNumber("42", n)                   -> true, n == 42
//   ParseNumber(" 42", n), ("4 2"), ("")   -> false, n unchanged
//   ParseNumber("+7", n, 10, TSign::kPlusOrMinus) -> true;  ParseNumber("+7", n) -> false
//   ParseNumber("1F90", n, 16)             -> true, n == 8080 (no "0x": the caller strips it)
#include <charconv>
#include <concepts>
#include <string_view>
#include <system_error>

namespace ostrivan {

// Which signs may lead the digits: '-' only where T is signed, or '+' as well.
enum class TSign { kMinus, kPlusOrMinus };

// Digits of base (letters in either case) with an optional leading sign as sign allows;
// no blanks, no prefix, no empty text. A value outside T fails; value is left alone
// whenever the text is refused.
template <std::integral T>
bool ParseNumber(std::string_view text, T& value, int base = 10, TSign sign = TSign::kMinus) noexcept {
  if (sign == TSign::kPlusOrMinus && text.starts_with('+')) {
    text.remove_prefix(1);
    if (text.starts_with('-')) return false;  // one sign at most
  }
  if (text.empty()) return false;
  T parsed{};
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, parsed, base);
  if (error != std::errc() || stop != end) return false;
  value = parsed;
  return true;
}

}  // namespace ostrivan

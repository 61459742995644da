#pragma once
// The small pattern language shared by log file names, the line layout and the
// formatted log calls:
//   "%" [index ":"] ["-"] [width] ["." precision] ("s" | "d"),  "%%" is a literal "%".
// Example: FormatLogPattern("%0:s.%1:2.2d.%2:s.log", {"Ostrivan", 0, "torniomvc"})
//          gives "Ostrivan.00.torniomvc.log".
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/text.h"

namespace ostrivan::logging {

// One argument of a pattern: an integer or a text.
class TLogParam {
 public:
  template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char>)
      TLogParam(T value) {  // NOLINT: implicit on purpose, {1, "a"} lists read naturally
    if constexpr (std::is_signed_v<T>) {
      value_ = static_cast<std::int64_t>(value);
    } else {
      value_ = static_cast<std::uint64_t>(value);
    }
  }
  TLogParam(const char* text) : value_(std::string(text ? text : "")) {}  // NOLINT
  TLogParam(std::string text) : value_(std::move(text)) {}                // NOLINT
  TLogParam(std::string_view text) : value_(std::string(text)) {}         // NOLINT

  const std::variant<std::int64_t, std::uint64_t, std::string>& Value() const noexcept { return value_; }

 private:
  std::variant<std::int64_t, std::uint64_t, std::string> value_;
};

using TLogParams = std::vector<TLogParam>;

// Fills the pattern. A malformed placeholder, a missing argument or a text given to
// "d" (or a number to "s") raises EConvertError.
std::string FormatLogPattern(std::string_view pattern, const TLogParams& params);

// Appends the filled pattern to out; the hot path of line formatting reuses one buffer.
void AppendLogPattern(std::string& out, std::string_view pattern, const TLogParams& params);

// Widths and precisions count UTF-16 code units, as the line layout was designed for
// UTF-16 text.
using ostrivan::Utf16Length;

}  // namespace ostrivan::logging

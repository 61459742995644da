#include "logging/log_pattern.h"

#include <charconv>

#include "common/error.h"
#include "common/text.h"

namespace ostrivan::logging {

namespace {

[[noreturn]] void InvalidPattern(std::string_view pattern) {
  throw EConvertError("Format '" + std::string(pattern) + "' invalid or incompatible with argument");
}

struct Spec {
  bool left = false;
  std::size_t width = 0;
  bool has_precision = false;
  std::size_t precision = 0;
};

// Reads a run of digits; false when the number is absurdly large.
bool ReadNumber(std::string_view pattern, std::size_t& pos, std::size_t& value) {
  value = 0;
  while (pos < pattern.size() && pattern[pos] >= '0' && pattern[pos] <= '9') {
    value = value * 10 + static_cast<std::size_t>(pattern[pos] - '0');
    // Widths beyond this are mistakes, not layouts; refuse rather than allocate.
    if (value > 1'000'000) return false;
    ++pos;
  }
  return true;
}

void AppendPadded(std::string& out, std::string_view text, const Spec& spec) {
  const std::size_t len = Utf16Length(text);
  const std::size_t pad = spec.width > len ? spec.width - len : 0;
  if (!spec.left) out.append(pad, ' ');
  out.append(text);
  if (spec.left) out.append(pad, ' ');
}

void AppendInteger(std::string& out, const TLogParam& param, const Spec& spec, std::string_view pattern) {
  char digits[24];
  bool negative = false;
  char* end = nullptr;
  if (auto* s = std::get_if<std::int64_t>(&param.Value())) {
    negative = *s < 0;
    const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(*s) : static_cast<std::uint64_t>(*s);
    end = std::to_chars(digits, digits + sizeof digits, magnitude).ptr;
  } else if (auto* u = std::get_if<std::uint64_t>(&param.Value())) {
    end = std::to_chars(digits, digits + sizeof digits, *u).ptr;
  } else {
    InvalidPattern(pattern);
  }
  const std::size_t count = static_cast<std::size_t>(end - digits);
  std::string number;
  if (negative) number.push_back('-');
  if (spec.has_precision && spec.precision > count) number.append(spec.precision - count, '0');
  number.append(digits, count);
  AppendPadded(out, number, spec);
}

}  // namespace

void AppendLogPattern(std::string& out, std::string_view pattern, const TLogParams& params) {
  std::size_t next_arg = 0;
  std::size_t pos = 0;
  while (pos < pattern.size()) {
    const std::size_t percent = pattern.find('%', pos);
    if (percent == std::string_view::npos) {
      out.append(pattern.substr(pos));
      break;
    }
    out.append(pattern.substr(pos, percent - pos));
    pos = percent + 1;
    if (pos >= pattern.size()) InvalidPattern(pattern);
    if (pattern[pos] == '%') {
      out.push_back('%');
      ++pos;
      continue;
    }
    Spec spec;
    std::size_t number = 0;
    const std::size_t digits_start = pos;
    if (!ReadNumber(pattern, pos, number)) InvalidPattern(pattern);
    bool have_digits = pos > digits_start;
    if (pos < pattern.size() && pattern[pos] == ':') {
      if (!have_digits) InvalidPattern(pattern);
      next_arg = number;
      ++pos;
      have_digits = false;
    }
    if (!have_digits) {
      if (pos < pattern.size() && pattern[pos] == '-') {
        spec.left = true;
        ++pos;
      }
      if (!ReadNumber(pattern, pos, number)) InvalidPattern(pattern);
    }
    spec.width = number;
    if (pos < pattern.size() && pattern[pos] == '.') {
      ++pos;
      spec.has_precision = true;
      if (!ReadNumber(pattern, pos, spec.precision)) InvalidPattern(pattern);
    }
    if (pos >= pattern.size()) InvalidPattern(pattern);
    const char type = pattern[pos++];
    if (next_arg >= params.size()) InvalidPattern(pattern);
    const TLogParam& param = params[next_arg++];
    switch (type) {
      case 's':
      case 'S': {
        auto* text = std::get_if<std::string>(&param.Value());
        if (!text) InvalidPattern(pattern);
        AppendPadded(out, spec.has_precision ? TruncateUtf16(*text, spec.precision) : std::string_view(*text), spec);
        break;
      }
      case 'd':
      case 'D': AppendInteger(out, param, spec, pattern); break;
      default: InvalidPattern(pattern);
    }
  }
}

std::string FormatLogPattern(std::string_view pattern, const TLogParams& params) {
  std::string out;
  out.reserve(pattern.size() + 32);
  AppendLogPattern(out, pattern, params);
  return out;
}

}  // namespace ostrivan::logging

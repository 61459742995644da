// The one integer parser: digits of the base and the signs its caller allows, nothing
// else, and a value outside the type refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "common/numbers.h"

namespace ostrivan {
namespace {

template <typename T>
std::optional<T> Parsed(const std::string& text, int base = 10, TSign sign = TSign::kMinus) {
  T value = static_cast<T>(77);
  if (!ParseNumber(text, value, base, sign)) {
    EXPECT_EQ(value, static_cast<T>(77)) << "a refused text changed the value: " << text;
    return std::nullopt;
  }
  return value;
}

TEST(ParseNumber, SignedDecimal) {
  const struct {
    std::string text;
    std::optional<std::int64_t> minus_only, plus_or_minus;
  } cases[] = {
      {"0", 0, 0},
      {"42", 42, 42},
      {"-3", -3, -3},
      {"+7", std::nullopt, 7},
      {"007", 7, 7},
      {"", std::nullopt, std::nullopt},
      {"+", std::nullopt, std::nullopt},
      {"-", std::nullopt, std::nullopt},
      {"+-5", std::nullopt, std::nullopt},
      {"-+5", std::nullopt, std::nullopt},
      {"--5", std::nullopt, std::nullopt},
      {" 5", std::nullopt, std::nullopt},
      {"5 ", std::nullopt, std::nullopt},
      {"5x", std::nullopt, std::nullopt},
      {"0x10", std::nullopt, std::nullopt},
      {"1e3", std::nullopt, std::nullopt},
      {"9223372036854775807", INT64_MAX, INT64_MAX},
      {"-9223372036854775808", INT64_MIN, INT64_MIN},
      {"9223372036854775808", std::nullopt, std::nullopt},
      {"-9223372036854775809", std::nullopt, std::nullopt},
      {"99999999999999999999999", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Parsed<std::int64_t>(c.text), c.minus_only) << '"' << c.text << '"';
    EXPECT_EQ(Parsed<std::int64_t>(c.text, 10, TSign::kPlusOrMinus), c.plus_or_minus) << '"' << c.text << '"';
  }
}

TEST(ParseNumber, TheTypeBoundsTheValue) {
  EXPECT_EQ(Parsed<std::int32_t>("2147483647"), 2147483647);
  EXPECT_EQ(Parsed<std::int32_t>("2147483648"), std::nullopt);
  EXPECT_EQ(Parsed<std::int32_t>("-2147483648"), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(Parsed<std::uint16_t>("65535"), 65535);
  EXPECT_EQ(Parsed<std::uint16_t>("65536"), std::nullopt);
  EXPECT_EQ(Parsed<std::uint32_t>("-1"), std::nullopt);  // no sign for an unsigned type
  EXPECT_EQ(Parsed<std::uint32_t>("+1", 10, TSign::kPlusOrMinus), 1u);
  EXPECT_EQ(Parsed<std::uint32_t>("4294967295"), 4294967295u);
  EXPECT_EQ(Parsed<std::uint32_t>("4294967296"), std::nullopt);
}

TEST(ParseNumber, Hexadecimal) {
  const struct {
    std::string text;
    std::optional<std::uint64_t> value;
  } cases[] = {
      {"1F90", 0x1F90},
      {"1f90", 0x1F90},
      {"00000000000000003", 3},  // leading zeros are no digits of the value
      {"FFFFFFFFFFFFFFFF", UINT64_MAX},
      {"10000000000000000", std::nullopt},
      {"0x1F", std::nullopt},
      {"$1F", std::nullopt},
      {"1G", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(Parsed<std::uint64_t>(c.text, 16), c.value) << '"' << c.text << '"';
}

}  // namespace
}  // namespace ostrivan

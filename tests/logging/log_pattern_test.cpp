#include "logging/log_pattern.h"

#include <gtest/gtest.h>

#include "common/error.h"

namespace ostrivan::logging {
namespace {

struct PatternCase {
  const char* pattern;
  TLogParams params;
  const char* expected;
};

TEST(LogPattern, FillsPlaceholders) {
  const PatternCase cases[] = {
      {"%0:s.%1:2.2d.%2:s.log", {"Ostrivan", 0, "torniomvc"}, "Ostrivan.00.torniomvc.log"},
      {"%0:s.%1:2.2d.%2:s.log", {"Ostrivan", 5, "t"}, "Ostrivan.05.t.log"},
      {"%0:s.%1:2.2d.%2:s.log", {"O", 123, "t"}, "O.123.t.log"},
      {"[TID %0:-8d]", {4512}, "[TID 4512    ]"},
      {"[TID %0:-8d]", {123456789}, "[TID 123456789]"},  // width never cuts
      {"[%0:-10s]", {"INFO"}, "[INFO      ]"},
      {"[%0:-10s]", {"WARNINGWARNING"}, "[WARNINGWARNING]"},
      {"[%0:6s]", {"ab"}, "[    ab]"},
      {"[%6d]", {42}, "[    42]"},
      {"[%-6d]", {42}, "[42    ]"},
      {"%.3d", {7}, "007"},
      {"%.3d", {-7}, "-007"},
      {"%5.3d", {-7}, " -007"},
      {"%d", {-9223372036854775807LL - 1}, "-9223372036854775808"},
      {"%d", {18446744073709551615ULL}, "18446744073709551615"},
      {"%.2s", {"abcdef"}, "ab"},
      {"%s and %s", {"a", "b"}, "a and b"},
      {"%1:s %0:s", {"a", "b"}, "b a"},
      {"%1:s %s", {"a", "b", "c"}, "b c"},  // unindexed continues after the last index
      {"%0:s %0:s", {"x"}, "x x"},
      {"100%%", {}, "100%"},
      {"%%%d%%", {5}, "%5%"},
      {"no placeholders", {}, "no placeholders"},
      {"", {}, ""},
      {"%S|%D", {"up", 3}, "up|3"},
      {"Server started on port %d", {8080}, "Server started on port 8080"},
      // Widths count UTF-16 units: "è" is one, "𝄞" (outside the BMP) is two.
      {"[%0:-4s]", {"è"}, "[è   ]"},
      {"[%0:-4s]", {"\xF0\x9D\x84\x9E"}, "[\xF0\x9D\x84\x9E  ]"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatLogPattern(c.pattern, c.params), c.expected) << "pattern: " << c.pattern;
  }
}

TEST(LogPattern, RejectsMalformedOrMismatched) {
  const PatternCase cases[] = {
      {"%", {}, ""},
      {"abc %", {1}, ""},
      {"%d", {}, ""},              // missing argument
      {"%1:d", {5}, ""},           // index past the end
      {"%d", {"text"}, ""},        // text given to d
      {"%s", {5}, ""},             // number given to s
      {"%x", {5}, ""},             // unknown type
      {"%:d", {5}, ""},            // index without digits
      {"%5", {5}, ""},             // no type letter
      {"%99999999999d", {5}, ""},  // absurd width
  };
  for (const auto& c : cases) {
    EXPECT_THROW(FormatLogPattern(c.pattern, c.params), EConvertError) << "pattern: " << c.pattern;
  }
}

}  // namespace
}  // namespace ostrivan::logging

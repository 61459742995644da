// The shared text rules: UTF-8 repair under both rules, UTF-16, units, hex digits and
// the ASCII helpers.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "common/text.h"

namespace ostrivan {
namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// Ill-formed input under both rules. The rules differ only where a lead byte is followed
// by some, but not all, of the continuation bytes it needs.
TEST(Utf8Repair, EachByteOrEachSubpart) {
  struct Case {
    std::string bytes;
    std::string each_byte;
    std::string each_subpart;
  };
  const Case cases[] = {
      {"", "", ""},
      {"plain", "plain", "plain"},
      {"\xC3\xA8\xE2\x82\xAC\xF0\x9D\x84\x9E", "\xC3\xA8\xE2\x82\xAC\xF0\x9D\x84\x9E",
       "\xC3\xA8\xE2\x82\xAC\xF0\x9D\x84\x9E"},
      {"a\xFF"
       "b",
       "a" + R + "b", "a" + R + "b"},
      {"\x80\xBF", R + R, R + R},                          // stray continuation bytes
      {"\xC0\xAF", R + R, R + R},                          // overlong lead
      {"\xE0\x80\xAF", R + R + R, R + R + R},              // overlong three-byte form
      {"\xED\xA0\x80", R + R + R, R + R + R},              // encoded surrogate
      {"\xF4\x90\x80\x80", R + R + R + R, R + R + R + R},  // above U+10FFFF
      {"\xF5\x80", R + R, R + R},
      {"a\xC3", "a" + R, "a" + R},  // cut at the end
      {"a\xE2\x82"
       "b",
       "a" + R + R + "b", "a" + R + "b"},  // cut before an ASCII byte
      {"\xF0\x9F\x98", R + R + R, R},
      {"\xF0\x9F\x98\xC3\xA8", R + R + R + "\xC3\xA8", R + "\xC3\xA8"},
      {"\xE2\x82\xE2\x82\xAC", R + R + "\xE2\x82\xAC", R + "\xE2\x82\xAC"},
      {R, R, R},  // a real U+FFFD stays one
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(Utf8FromBytes(c.bytes), c.each_byte);  // the default rule
    EXPECT_EQ(Utf8FromBytes(c.bytes, Utf8Repair::kEachByte), c.each_byte);
    EXPECT_EQ(Utf8FromBytes(c.bytes, Utf8Repair::kEachSubpart), c.each_subpart);
    EXPECT_EQ(IsValidUtf8(c.bytes), c.each_byte == c.bytes);

    // Walking code points gives the same text under each rule.
    for (Utf8Repair rule : {Utf8Repair::kEachByte, Utf8Repair::kEachSubpart}) {
      std::string walked;
      for (std::size_t pos = 0; pos < c.bytes.size();) AppendUtf8(walked, NextCodePoint(c.bytes, pos, rule));
      EXPECT_EQ(walked, rule == Utf8Repair::kEachByte ? c.each_byte : c.each_subpart);
    }
  }
}

// Long ASCII runs are skipped a block at a time; a bad byte at any offset around a block
// edge is still found.
TEST(Utf8Repair, BadByteAtEveryOffsetOfALongAsciiRun) {
  for (std::size_t at = 0; at < 40; ++at) {
    std::string bytes(40, 'x');
    bytes[at] = '\xFF';
    std::string expected = bytes.substr(0, at) + R + bytes.substr(at + 1);
    EXPECT_FALSE(IsValidUtf8(bytes)) << at;
    EXPECT_EQ(Utf8FromBytes(bytes), expected) << at;
    std::string out = "kept:";
    AppendValidUtf8(out, bytes, Utf8Repair::kEachSubpart);
    EXPECT_EQ(out, "kept:" + expected) << at;
  }
}

TEST(Utf8Repair, NextCodePointDecodesEveryLength) {
  const std::string text = "A\xC3\xA8\xE2\x82\xAC\xF0\x9D\x84\x9E";
  std::size_t pos = 0;
  for (char32_t expected : {U'A', U'\u00E8', U'\u20AC', U'\U0001D11E'}) {
    ASSERT_LT(pos, text.size());
    EXPECT_EQ(NextCodePoint(text, pos), expected);
  }
  EXPECT_EQ(pos, text.size());
}

TEST(AppendUtf8, WritesEveryLengthAndReplacesWhatUtf8CannotCarry) {
  struct Case {
    char32_t cp;
    std::string bytes;
  };
  const Case cases[] = {
      {0x41, "A"},
      {0x7F, "\x7F"},
      {0x80, "\xC2\x80"},
      {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"},
      {0xFFFF, "\xEF\xBF\xBF"},
      {0x10000, "\xF0\x90\x80\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
      {0xD800, R},
      {0xDFFF, R},
      {0x110000, R},
  };
  for (const Case& c : cases) {
    std::string out;
    AppendUtf8(out, c.cp);
    EXPECT_EQ(out, c.bytes) << std::hex << static_cast<unsigned>(c.cp);
  }
}

TEST(Latin1ToUtf8, EveryByteIsItsCharacter) {
  EXPECT_EQ(Latin1ToUtf8("a\xE8\xFF\x80"), "a\xC3\xA8\xC3\xBF\xC2\x80");
  EXPECT_EQ(Latin1ToUtf8(std::string("\0", 1)), std::string("\0", 1));
}

TEST(Utf16ToUtf8, ByteOrderPairsLoneSurrogatesAndAnOddByte) {
  using B = ByteOrder;
  using O = Utf16OddByte;
  struct Case {
    std::string bytes;
    B order;
    O odd;
    std::string text;
  };
  const Case cases[] = {
      {std::string("A\0\xE8\0", 4), B::kLittleEndian, O::kDropped, "A\xC3\xA8"},
      {std::string("\0A\0\xE8", 4), B::kBigEndian, O::kDropped, "A\xC3\xA8"},
      {"\x34\xD8\x1E\xDD", B::kLittleEndian, O::kDropped, "\xF0\x9D\x84\x9E"},  // pair
      {"\xD8\x34\xDD\x1E", B::kBigEndian, O::kDropped, "\xF0\x9D\x84\x9E"},
      {std::string("\x3D\xD8"
                   "A\0",
                   4),
       B::kLittleEndian, O::kDropped, R + "A"},                        // lone high
      {"\x3D\xD8", B::kLittleEndian, O::kDropped, R},                  // high at end
      {std::string("\x00\xDE", 2), B::kLittleEndian, O::kDropped, R},  // lone low
      {std::string("A\0B", 3), B::kLittleEndian, O::kDropped, "A"},
      {std::string("A\0B", 3), B::kLittleEndian, O::kReplaced, "A" + R},
      {"B", B::kBigEndian, O::kReplaced, R},
      {"", B::kLittleEndian, O::kReplaced, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(Utf16ToUtf8(c.bytes, c.order, c.odd), c.text);
  }
}

TEST(Utf16Units, LengthAndTruncationNeverSplitACharacter) {
  struct Case {
    std::string text;
    std::size_t units;
  };
  const Case lengths[] = {
      {"", 0},         {"abc", 3}, {"\xC3\xA8", 1}, {"\xE2\x82\xAC", 1}, {"\xF0\x9D\x84\x9E", 2},
      {"\xF0\x9D", 1},  // a cut sequence still counts, never overruns
      {"\xFF\x80", 2},  // stray bytes count one each
  };
  for (const Case& c : lengths) EXPECT_EQ(Utf16Length(c.text), c.units) << testing::PrintToString(c.text);

  const std::string text =
      "a\xC3\xA8\xF0\x9D\x84\x9E"
      "b";  // 1 + 1 + 2 + 1 units
  const std::string_view expected[] = {"", "a", "a\xC3\xA8", "a\xC3\xA8", "a\xC3\xA8\xF0\x9D\x84\x9E", text};
  for (std::size_t max = 0; max < std::size(expected); ++max) EXPECT_EQ(TruncateUtf16(text, max), expected[max]) << max;
  EXPECT_EQ(TruncateUtf16(text, 100), text);
  EXPECT_EQ(TruncateUtf16("a\xF0\x9D", 5), "a\xF0\x9D");  // a cut tail is kept whole, not overrun
}

TEST(HexDigitValue, BothCasesAndNothingElse) {
  struct Case {
    char32_t c;
    int value;
  };
  const Case cases[] = {
      {'0', 0},    {'9', 9},  {'a', 10}, {'f', 15}, {'A', 10},
      {'F', 15},   {'/', -1}, {':', -1}, {'@', -1}, {'G', -1},
      {'`', -1},   {'g', -1}, {' ', -1}, {'x', -1}, {0xFF10, -1} /* fullwidth 0 */,
      {0x130, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HexDigitValue(c.c), c.value) << static_cast<unsigned>(c.c);
    EXPECT_EQ(IsHexDigit(c.c), c.value >= 0) << static_cast<unsigned>(c.c);
  }
}

TEST(PercentDecode, TwoHexDigitsMakeAByteAnythingElseStays) {
  struct Case {
    std::string text;
    std::string bytes;
  };
  const Case cases[] = {
      {"", ""},
      {"a%41b", "aAb"},
      {"%e8%E8", "\xE8\xE8"},
      {"%25%32", "%2"},  // a decoded "%" starts nothing
      {"%zz%4g% 1%+1", "%zz%4g% 1%+1"},
      {"%4", "%4"},  // cut at the end
      {"%41", "A"},
      {"%%41", "%A"},
      {"%00", std::string("\0", 1)},
      {"a+b", "a+b"},  // "+" is no blank here
  };
  for (const Case& c : cases) EXPECT_EQ(PercentDecode(c.text), c.bytes) << c.text;
}

TEST(AsciiText, CaseTrimAndComparison) {
  EXPECT_EQ(UpperCase("aZ\xC3\xA8-z"), "AZ\xC3\xA8-Z");  // ASCII letters only
  EXPECT_EQ(LowerCase("Az\xC3\x88-Z"), "az\xC3\x88-z");
  EXPECT_TRUE(SameText("Content-Type", "content-TYPE"));
  EXPECT_FALSE(SameText("abc", "abcd"));
  EXPECT_FALSE(SameText("\xC3\xA8", "\xC3\x88"));  // non-ASCII letters are not folded
  EXPECT_TRUE(StartsWithText("Charset=utf-8", "CHARSET"));
  EXPECT_FALSE(StartsWithText("char", "charset"));
  EXPECT_EQ(Trim(" \t a b\r\n"), "a b");
  EXPECT_EQ(Trim(std::string("\0x\x01", 3)), "x");  // every control character is trimmed
  EXPECT_EQ(Trim("\xC2\xA0x"), "\xC2\xA0x");        // bytes above ' ' are not blanks
  EXPECT_EQ(Trim("   "), "");
}

TEST(AsciiText, OneLetterAtATime) {
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const bool upper = b >= 'A' && b <= 'Z', lower = b >= 'a' && b <= 'z';
    EXPECT_EQ(LowerAscii(c), upper ? static_cast<char>(b + 32) : c) << b;
    EXPECT_EQ(UpperAscii(c), lower ? static_cast<char>(b - 32) : c) << b;
  }
}

// The pages' one escape: the four characters markup could take, nothing else.
TEST(HtmlEscape, OnlyTheFourCharacters) {
  const struct {
    std::string text, escaped;
  } cases[] = {
      {"", ""},
      {"&&", "&amp;&amp;"},
      {"<>\"'\t\r\n\xC3\xA8/", "&lt;&gt;&quot;'\t\r\n\xC3\xA8/"},
      {"&amp;", "&amp;amp;"},  // already escaped text is escaped again
      {"<script>alert('x')</script>", "&lt;script&gt;alert('x')&lt;/script&gt;"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) EXPECT_EQ(HtmlEscape(c.text), c.escaped) << c.text;
}

// A URL path segment: unreserved characters stay, every other byte is escaped, and the
// common decoder reads it back.
TEST(PercentEncode, OneSegmentReadBack) {
  const struct {
    std::string text, encoded;
  } cases[] = {
      {"P1001.zip", "P1001.zip"},
      {"P 1/a?b#c%", "P%201%2Fa%3Fb%23c%25"},
      {"\xC3\xA8-_.~", "%C3%A8-_.~"},
      {std::string("a\0b", 3), "a%00b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PercentEncode(c.text), c.encoded) << c.text;
    EXPECT_EQ(PercentDecode(c.encoded), c.text) << c.encoded;
  }
}

// A log line's escape: control characters only, so a caller's text never ends a line.
TEST(EscapeControls, ControlCharactersOnly) {
  const struct {
    std::string text, escaped;
  } cases[] = {
      {"", ""},
      {"/x\r\n2026-12-11 00:00:00:000 [TID 1][ERROR] FORGED", "/x\\r\\n2026-12-11 00:00:00:000 [TID 1][ERROR] FORGED"},
      {std::string("a\0b", 3), "a\\x00b"},
      {"\x1B[31m\x7F\x1F", "\\x1B[31m\\x7F\\x1F"},
      {"tab\tstays, \\ and \xC3\xA8 too", "tab\tstays, \\ and \xC3\xA8 too"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeControls(c.text), c.escaped) << c.text;
}

}  // namespace
}  // namespace ostrivan

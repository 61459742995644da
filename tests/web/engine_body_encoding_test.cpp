#include <gtest/gtest.h>

#include "common/error.h"
#include "web/body_encoding.h"

namespace ostrivan::web {
namespace {

TEST(BodyEncoding, NamesAreFoundCaseInsensitivelyIncludingCodePages) {
  struct Case {
    const char* name;
    TBodyEncoding expected;
  };
  const Case cases[] = {
      {"UTF-8", TBodyEncoding::kUtf8},         {"utf-8", TBodyEncoding::kUtf8},
      {"cp65001", TBodyEncoding::kUtf8},       {"ISO-8859-1", TBodyEncoding::kLatin1},
      {"CP28591", TBodyEncoding::kLatin1},     {"us-ascii", TBodyEncoding::kAscii},
      {"cp20127", TBodyEncoding::kAscii},      {"Windows-1252", TBodyEncoding::kWindows1252},
      {"cp1252", TBodyEncoding::kWindows1252}, {"utf-16", TBodyEncoding::kUtf16LE},
      {"UTF-16LE", TBodyEncoding::kUtf16LE},   {"cp1200", TBodyEncoding::kUtf16LE},
      {"utf-16be", TBodyEncoding::kUtf16BE},   {"cp1201", TBodyEncoding::kUtf16BE},
  };
  for (const auto& c : cases) EXPECT_EQ(FindBodyEncoding(c.name), c.expected) << c.name;
  for (const char* unknown : {"", "klingon", "utf-8 ", "cp", "cp99999", "cp1251", "utf-32"}) {
    try {
      FindBodyEncoding(unknown);
      FAIL() << "[" << unknown << "] must be unknown";
    } catch (const EEncodingError& e) {
      EXPECT_STREQ(e.what(), "Invalid encoding name");
    }
  }
}

TEST(BodyEncoding, DecodesToUtf8AndReplacesWhatCannotBeRead) {
  struct Case {
    TBodyEncoding encoding;
    std::string bytes;
    std::string text;
  };
  const Case cases[] = {
      {TBodyEncoding::kUtf8, "\xEF\xBB\xBF{}", "\xEF\xBB\xBF{}"},  // the mark stays
      {TBodyEncoding::kUtf8,
       "a\xFF"
       "b",
       "a\xEF\xBF\xBD"
       "b"},
      {TBodyEncoding::kLatin1, "\xE8\x80", "\xC3\xA8\xC2\x80"},
      {TBodyEncoding::kAscii, "a\xE8", "a?"},
      {TBodyEncoding::kWindows1252, "\x80\xE8", "\xE2\x82\xAC\xC3\xA8"},
      {TBodyEncoding::kUtf16LE, std::string("A\0\xE8\0", 4), "A\xC3\xA8"},
      {TBodyEncoding::kUtf16BE, std::string("\0A\0\xE8", 4), "A\xC3\xA8"},
      {TBodyEncoding::kUtf16LE, std::string("\x3D\xD8\x00\xDE", 4), "\xF0\x9F\x98\x80"},  // surrogate pair
      {TBodyEncoding::kUtf16LE,
       std::string("\x3D\xD8"
                   "A\0",
                   4),
       "\xEF\xBF\xBD"
       "A"},                                                                  // lone high
      {TBodyEncoding::kUtf16LE, std::string("\x00\xDE", 2), "\xEF\xBF\xBD"},  // lone low
      {TBodyEncoding::kUtf16LE, std::string("A\0B", 3), "A\xEF\xBF\xBD"},     // odd length
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeBody(c.encoding, c.bytes), c.text);
}

}  // namespace
}  // namespace ostrivan::web

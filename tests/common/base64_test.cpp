// Base64: line breaks after every 76 characters, and the two decoding rules.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

#include "common/base64.h"

namespace ostrivan {
namespace {

std::string Bytes(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 131 + 7) & 0xFF);
  return bytes;
}

TEST(Base64Encode, KnownTexts) {
  struct Case {
    std::string bytes;
    std::string text;
  };
  const Case cases[] = {
      {"", ""},
      {"A", "QQ=="},
      {"AB", "QUI="},
      {"ABC", "QUJD"},
      {"ABCDEF", "QUJDREVG"},
      {std::string("\xff\xfe\x00", 3), "//4A"},
      {std::string("\xfb\xff", 2), "+/8="},
  };
  for (const auto& c : cases) EXPECT_EQ(EncodeBase64(c.bytes), c.text) << c.text;
}

TEST(Base64Encode, LineBreaksAfterEveryNineteenthGroup) {
  struct Case {
    std::size_t size;
    std::size_t length;       // total characters
    std::size_t line_breaks;  // CR LF pairs
    bool ends_with_crlf;
  };
  const Case cases[] = {
      {56, 76, 0, false},
      {57, 78, 1, true},
      {58, 82, 1, false},
      {59, 82, 1, false},
      {60, 82, 1, false},
      {114, 156, 2, true},
      {1000, 1336 + 2 * 17, 17, false},
  };
  for (const auto& c : cases) {
    const std::string text = EncodeBase64(Bytes(c.size));
    EXPECT_EQ(text.size(), c.length) << c.size;
    std::size_t breaks = 0;
    for (std::size_t pos = text.find("\r\n"); pos != std::string::npos; pos = text.find("\r\n", pos + 2)) {
      EXPECT_EQ((pos - breaks * 78) % 76, 0u) << c.size;  // only at line ends
      EXPECT_EQ(pos, breaks * 78 + 76) << c.size;
      ++breaks;
    }
    EXPECT_EQ(breaks, c.line_breaks) << c.size;
    EXPECT_EQ(text.size() >= 2 && text.substr(text.size() - 2) == "\r\n", c.ends_with_crlf) << c.size;
  }
  const std::string text58 = EncodeBase64(Bytes(58));
  EXPECT_EQ(text58.substr(76, 2), "\r\n");
  EXPECT_EQ(text58.substr(80), "==");
}

// Both rules skip what is outside the alphabet; they differ only from the first "=" on.
TEST(Base64Decode, SkipOrStopAtPadding) {
  struct Case {
    std::string text;
    std::string skipped;  // Base64Decoding::kSkipOutsideAlphabet
    std::string stopped;  // Base64Decoding::kStopAtPadding
  };
  const Case cases[] = {
      {"QUJD", "ABC", "ABC"},
      {"QU\r\nJD", "ABC", "ABC"},
      {" Q U J D ", "ABC", "ABC"},
      {"\r\nQUJD\r\n", "ABC", "ABC"},
      {"Q=U=J=D", "ABC", ""},
      {"QU=JD", "ABC", "A"},
      {"QUJD\r\nREVG", "ABCDEF", "ABCDEF"},
      {"QQ==", "A", "A"},
      {"QQ==QQ==", "A\x04\x10", "A"},  // skipped padding regroups "QQQQ"
      {"QQ", "A", "A"},
      {"QUI", "AB", "AB"},
      {"QUJDR", "ABC", "ABC"},  // one trailing character gives nothing
      {"", "", ""},
      {"=QUJD", "ABC", ""},
      {"\r\n =*!", "", ""},
      // A payload's characters count by their low eight bits: U+00C9 is 0xC9 (skipped),
      // U+0141 is 0x41 ("A"), U+0152 and U+0144 are "R" and "D"; U+1F600 is the pair
      // D83D DE00, "=" and NUL (skipped). The header's credentials skip all of them.
      {"QU\xC3\x89JD", "ABC", "ABC"},
      {"QU\xC5\x81JD", "A@\t", "ABC"},
      {"QUJD\xC5\x92\xC3\x89VG", "ABCEQ", "ABCT"},
      {"QUJD\xC5\x92\xC5\x84VG", "ABCD5F", "ABCT"},
      {"QU\xF0\x9F\x98\x80JD", "ABC", "ABC"},
      {std::string("Q\x00UJD", 5), "ABC", "ABC"},
      {"dXNlcjpwYXNz", "user:pass", "user:pass"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DecodeBase64(c.text, Base64Decoding::kSkipOutsideAlphabet), c.skipped);
    EXPECT_EQ(DecodeBase64(c.text, Base64Decoding::kStopAtPadding), c.stopped);
    // Decoded over the text itself: the same bytes.
    std::string in_place = c.text;
    DecodeBase64InPlace(in_place, Base64Decoding::kSkipOutsideAlphabet);
    EXPECT_EQ(in_place, c.skipped);
    in_place = c.text;
    DecodeBase64InPlace(in_place, Base64Decoding::kStopAtPadding);
    EXPECT_EQ(in_place, c.stopped);
  }
}

TEST(Base64RoundTrip, AnyBytesAnyLength) {
  std::mt19937 rng(12345);
  for (std::size_t size : {0u, 1u, 2u, 3u, 56u, 57u, 58u, 113u, 114u, 115u, 4096u, 100003u}) {
    std::string bytes(size, '\0');
    for (auto& b : bytes) b = static_cast<char>(rng() & 0xFF);
    const std::string text = EncodeBase64(bytes);
    EXPECT_EQ(DecodeBase64(text, Base64Decoding::kSkipOutsideAlphabet), bytes) << size;
    EXPECT_EQ(DecodeBase64(text, Base64Decoding::kStopAtPadding), bytes) << size;
    std::string in_place = text;  // long runs of whole groups, where the fast path writes
    DecodeBase64InPlace(in_place, Base64Decoding::kSkipOutsideAlphabet);
    EXPECT_EQ(in_place, bytes) << size;
  }
}

TEST(Base64RoundTrip, InsertedBreaksAndBlanksDoNotMatter) {
  const std::string text = EncodeBase64(std::string("ABC"));
  for (std::size_t at = 0; at <= text.size(); ++at) {
    for (const char* noise : {"\r\n", " ", "\t", "=="}) {
      std::string noisy = text;
      noisy.insert(at, noise);
      EXPECT_EQ(DecodeBase64(noisy, Base64Decoding::kSkipOutsideAlphabet), "ABC") << at << " " << noise;
      if (std::string_view(noise) != "==") {
        EXPECT_EQ(DecodeBase64(noisy, Base64Decoding::kStopAtPadding), "ABC") << at << " " << noise;
      }
    }
  }
}

}  // namespace
}  // namespace ostrivan

// Names of the copies kept in sent, unsent and received: the time stamp first, the
// extension last, cut to fit the file system's name limit whatever the job is called.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "common/file_tree.h"
#include "jobfiles/job_files.h"

namespace ostrivan::jobfiles {
namespace {

// Every byte sequence a well-formed UTF-8 text may hold, and nothing cut at its end.
bool WholeUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80           ? 1
                               : (lead >> 5) == 0x6  ? 2
                               : (lead >> 4) == 0xE  ? 3
                               : (lead >> 3) == 0x1E ? 4
                                                     : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += length;
  }
  return true;
}

std::string Repeat(const std::string& piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

TEST(KeptName, KeepsTheStampAndTheExtensionAndFitsTheNameLimitWithItsPartialCopy) {
  const std::regex stamp(R"(\d{8}-\d{6}\.\d{3}-)");
  struct Case {
    const char* what;
    std::string stem;
    std::string extension;
    std::string expected_stem;  // when the stem stays whole
  };
  const Case cases[] = {
      {"short", "P1001", ".zip", "P1001"},
      {"folder, no extension", "P1001", "", "P1001"},
      {"a job of 250 characters", std::string(250, 'A'), ".zip", ""},
      {"discarded files of it", std::string(250, 'A'), ".discarded.zip", ""},
      {"two-byte characters across the cut", "x" + Repeat("\xC3\xA9", 200), ".zip", ""},
      {"three-byte characters", Repeat("\xE6\x97\xA5", 120), ".NC.zip", ""},
      {"four-byte characters", "ab" + Repeat("\xF0\x9F\x94\xA7", 80), ".zip", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = KeptName(c.stem, c.extension);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(name, m, stamp, std::regex_constants::match_continuous)) << name;
    EXPECT_LE(name.size(), 255u);
    EXPECT_LE(FileNameOf(PartialCopyName("/d/" + name)).size(), 255u) << name;
    EXPECT_TRUE(name.ends_with(c.extension)) << name;
    EXPECT_TRUE(WholeUtf8(name)) << name;
    const auto at = static_cast<std::size_t>(m.length());
    const std::string stem = name.substr(at, name.size() - at - c.extension.size());
    EXPECT_TRUE(c.stem.starts_with(stem)) << name;
    if (!c.expected_stem.empty()) EXPECT_EQ(stem, c.expected_stem);
    else EXPECT_GE(stem.size(), 200u) << "cut more than it needs";
  }
}

TEST(KeptName, AFileNameKeepsWhatFollowsItsLastDot) {
  const std::regex shape(R"(\d{8}-\d{6}\.\d{3}-(.*))");
  struct Case {
    std::string name;
    std::string tail;  // what the kept name must end with
  };
  const Case cases[] = {
      {"J 7.zip", "-J 7.zip"},
      {"job.tar.gz", "-job.tar.gz"},
      {"noextension", "-noextension"},
      {Repeat("\xC3\xA9", 150) + ".zip", ".zip"},
      // An "extension" longer than any name: cut like the rest, never past the limit.
      {"a." + std::string(400, 'z'), "-a.zzz"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.substr(0, 40));
    const std::string name = KeptName(c.name);
    EXPECT_TRUE(std::regex_match(name, shape)) << name;
    EXPECT_LE(FileNameOf(PartialCopyName("/d/" + name)).size(), 255u) << name;
    EXPECT_TRUE(WholeUtf8(name)) << name;
    if (c.name.size() < 200) EXPECT_TRUE(name.ends_with(c.tail)) << name;
    else EXPECT_NE(name.find(c.tail), std::string::npos) << name;
  }
}

}  // namespace
}  // namespace ostrivan::jobfiles

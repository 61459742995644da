// The kept folders keep only their newest archives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "jobfiles/kept_folders.h"
#include "support/scratch_files.h"

namespace ostrivan::jobfiles {
namespace {

namespace fs = std::filesystem;
using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteFile;

TEST(SentFolder, KeepsTheNewestTwentyByTimeWithinTheSizeLimit) {
  TempDir d;
  // Names in the opposite order of their times, as after a clock step: time decides.
  const auto lay = [&](const std::string& name, long long seconds, std::uintmax_t size) {
    WriteFile(d / name, "");
    fs::resize_file(d / name, size);
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (d / name).c_str(), times, 0), 0);
  };
  for (int i = 0; i < 25; ++i) lay("2026-" + std::to_string(200 - i) + "-J.zip", 1000000 + i, 1);
  PruneKeptFolder(d.Path());
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(d.Path())) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  ASSERT_EQ(names.size(), kSentKeepCount);
  EXPECT_EQ(names.front(), "2026-176-J.zip");  // the five oldest by time went
  EXPECT_EQ(names.back(), "2026-195-J.zip");
  // Two large ones: the older goes, the newest stays even alone over the limit.
  lay("2026-001-big.zip", 2000001, kSentKeepBytes + 1);
  lay("2026-002-big.zip", 2000000, kSentKeepBytes / 2 + 1);
  PruneKeptFolder(d.Path());
  names.clear();
  for (const auto& e : fs::directory_iterator(d.Path())) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"2026-001-big.zip"});
}

}  // namespace
}  // namespace ostrivan::jobfiles

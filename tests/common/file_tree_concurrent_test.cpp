// Moves across file systems and trees removed or flushed on several threads.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <utility>

#include "common/file_tree.h"
#include "support/scratch_files.h"

namespace ostrivan {
namespace {

namespace fs = std::filesystem;
using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteFile;

// Across file systems a move copies: the copy lies under a hidden partial name until it
// is whole and flushed, and a source that cannot be removed fails the move, its copy
// going again, so the file is never in two places or cut short under its name.
TEST(MovingAcrossFileSystems, CopiesUnderAPartialNameAndFailsWhenTheSourceStays) {
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm to be a second file system";
  TempDir disk;
  const std::string other = "/dev/shm/ostrivan-move-" + std::to_string(::getpid());
  fs::remove_all(other);
  fs::create_directories(other);
  struct stat a {
  }, b{};
  ASSERT_EQ(::stat(disk.Path().c_str(), &a), 0);
  ASSERT_EQ(::stat(other.c_str(), &b), 0);
  if (a.st_dev == b.st_dev) GTEST_SKIP() << "/dev/shm is on the same file system here";
  WriteFile(disk / "P1.NC", std::string(100000, 'p'));
  ::chmod((disk / "P1.NC").c_str(), 0640);
  EXPECT_EQ(PartialCopyName(other + "/P1.NC"), other + "/.P1.NC.ostrivan-partial");
  WriteFile(other + "/.P1.NC.ostrivan-partial", "left by a kill");
  EXPECT_EQ(MoveNoReplace(disk / "P1.NC", other + "/P1.NC"), 0);
  EXPECT_EQ(ReadFile(other + "/P1.NC"), std::string(100000, 'p'));
  EXPECT_EQ(fs::status(other + "/P1.NC").permissions(), fs::perms(0640));
  EXPECT_FALSE(fs::exists(disk / "P1.NC"));
  EXPECT_FALSE(fs::exists(other + "/.P1.NC.ostrivan-partial"));
  WriteFile(disk / "P1.NC", "taken");
  EXPECT_EQ(MoveNoReplace(other + "/P1.NC", disk / "P1.NC"), EEXIST);
  EXPECT_EQ(ReadFile(disk / "P1.NC"), "taken");
  if (::geteuid() != 0) {
    // A source folder this account cannot write: the copy is made, the source stays.
    ::chmod(other.c_str(), 0555);
    EXPECT_EQ(MoveNoReplace(other + "/P1.NC", disk / "P2.NC"), EACCES);
    ::chmod(other.c_str(), 0755);
    EXPECT_FALSE(fs::exists(disk / "P2.NC"));
    EXPECT_TRUE(fs::exists(other + "/P1.NC"));
  }
  fs::remove_all(other);
}

TEST(RemovingATreeConcurrently, EverythingGoesWhateverTheModesAndLinksAreNeverFollowed) {
  TempDir root;
  const std::string outside = root / "outside";
  fs::create_directories(outside);
  WriteFile(outside + "/keep.txt", "must survive");
  const std::string t = root / "tree";
  for (const unsigned threads : {1u, 3u, 8u}) {
    SCOPED_TRACE(threads);
    for (int i = 0; i < 30; ++i) WriteFile(t + "/a/b" + std::to_string(i % 4) + "/f" + std::to_string(i), "x");
    WriteFile(t + "/top.txt", "t");
    fs::create_directories(t + "/empty");
    ASSERT_EQ(::symlink(outside.c_str(), (t + "/a/link").c_str()), 0);
    ::chmod((t + "/a/b1").c_str(), 0500);  // no write permission: given back before its files go
    ::chmod((t + "/a").c_str(), 0555);
    EXPECT_TRUE(RemoveTreeConcurrently(t, threads));
    EXPECT_FALSE(fs::exists(t));
  }
  EXPECT_TRUE(RemoveTreeConcurrently(root / "missing"));
  WriteFile(root / "single", "s");
  EXPECT_TRUE(RemoveTreeConcurrently(root / "single"));
  EXPECT_FALSE(fs::exists(root / "single"));
  EXPECT_EQ(ReadFile(outside + "/keep.txt"), "must survive");
}

// Flushing an unpacked job opens every file and folder, read-only ones included, and
// changes nothing about them; a tree that is not there is an error, not a success.
TEST(SyncingATreeConcurrently, FlushesWithoutTouchingModesOrTimes) {
  TempDir root;
  const std::string t = root / "job";
  for (int i = 0; i < 12; ++i) WriteFile(t + "/programs/d" + std::to_string(i % 3) + "/P" + std::to_string(i), "G");
  WriteFile(t + "/tools/T.CFG", "T");
  ::chmod((t + "/tools/T.CFG").c_str(), 0444);
  ::chmod((t + "/programs/d1").c_str(), 0555);
  const auto modes = [&] {
    std::map<std::string, std::pair<unsigned, long long>> m;
    for (auto it = fs::recursive_directory_iterator(t); it != fs::recursive_directory_iterator(); ++it) {
      struct stat st {};
      ::lstat(it->path().c_str(), &st);
      m[it->path().string()] = {st.st_mode, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
    }
    return m;
  };
  const auto before = modes();
  for (const unsigned threads : {1u, 8u}) EXPECT_EQ(SyncTreeConcurrently(t, threads), 0) << threads;
  EXPECT_EQ(SyncTreeConcurrently(t + "/tools/T.CFG"), 0);
  EXPECT_EQ(modes(), before);
  EXPECT_EQ(SyncTreeConcurrently(root / "missing"), ENOENT);
}

}  // namespace
}  // namespace ostrivan

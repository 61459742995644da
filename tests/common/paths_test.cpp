// Path texts: one rule each for the parent, the file name, the stem, joining and
// existence.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/error.h"
#include "common/paths.h"

namespace ostrivan {
namespace {

namespace fs = std::filesystem;

TEST(Paths, ParentFolder) {
  const struct {
    std::string path, parent;
  } cases[] = {{"a/b/c", "a/b"}, {"/a/b", "/a"}, {"/a", "/"},  {"/", "/"},    {"a", "."},  {"", "."},
               {"a/", "a"},      {"a//b", "a/"}, {"./x", "."}, {"a\\b", "."}, {"C:x", "."}};
  for (const auto& c : cases) EXPECT_EQ(ParentFolder(c.path), c.parent) << c.path;
}

TEST(Paths, FileNameAndStem) {
  const struct {
    std::string path, name, stem;
  } cases[] = {
      {"a/b/P1.NC", "P1.NC", "P1"},
      {"P1", "P1", "P1"},
      {"/a.b/P1", "P1", "P1"},
      {"x.tar.gz", "x.tar.gz", "x.tar"},
      {".hidden", ".hidden", ""},
      {"dir/.zip", ".zip", ""},
      {"a/", "", ""},
      {"", "", ""},
      {"a\\b.c", "a\\b.c", "a\\b"},
      {"trail.", "trail.", "trail"},
      {"/", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FileNameOf(c.path), c.name) << c.path;
    EXPECT_EQ(FileStem(c.path), c.stem) << c.path;
  }
}

TEST(Paths, JoinPath) {
  const struct {
    std::string dir, name, joined;
  } cases[] = {{"a", "b", "a/b"}, {"a/", "b", "a/b"}, {"", "b", "b"},       {"a", "/abs", "/abs"},
               {"/", "x", "/x"},  {"a", "", "a/"},    {"a", "b/c", "a/b/c"}};
  for (const auto& c : cases) EXPECT_EQ(JoinPath(c.dir, c.name), c.joined) << c.dir << " + " << c.name;
}

TEST(Paths, JoinPathRefusesANul) {
  for (const auto& [dir, name] :
       {std::pair{std::string("a\0b", 3), std::string("c")}, std::pair{std::string("a"), std::string("c\0", 2)}}) {
    try {
      JoinPath(dir, name);
      ADD_FAILURE() << "a NUL was joined";
    } catch (const EArgumentException& e) {
      EXPECT_EQ(e.Message(), "Invalid characters in path");
    }
  }
}

TEST(Paths, ExistsCountsADanglingLink) {
  std::string pattern = (fs::temp_directory_path() / "ostrivan-paths-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const std::string dir = pattern;
  const std::string link = dir + "/dangling";
  ASSERT_EQ(::symlink((dir + "/nowhere").c_str(), link.c_str()), 0);
  EXPECT_TRUE(PathExists(dir));
  EXPECT_TRUE(PathExists(link));
  EXPECT_FALSE(PathExists(dir + "/nowhere"));
  EXPECT_FALSE(PathExists(""));
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace ostrivan

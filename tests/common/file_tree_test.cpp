// Folders and durable writes: whole replacement, moves that never overwrite, trees made,
// flushed and removed.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/file_system.h"
#include "common/file_tree.h"
#include "support/scratch_files.h"

namespace ostrivan {
namespace {

namespace fs = std::filesystem;

class FileTreeTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return scratch_ / name; }

  test_support::TempDir scratch_{"ostrivan-tree-"};
  const std::string& dir_ = scratch_.Path();
};

TEST(FileTree, PartialCopyName) {
  const struct {
    std::string to, partial;
  } cases[] = {{"dir/name", "dir/.name.ostrivan-partial"},
               {"name", ".name.ostrivan-partial"},
               {"/a/b/.hidden", "/a/b/..hidden.ostrivan-partial"}};
  for (const auto& c : cases) EXPECT_EQ(PartialCopyName(c.to), c.partial) << c.to;
}

TEST_F(FileTreeTest, DurableWriteReplacesWholeAndLeavesNoTemporary) {
  const std::string file = Path("record");
  for (const std::string& text : {std::string("first, longer text"), std::string("second"), std::string()}) {
    EXPECT_EQ(TryWriteFileDurably(file, text), 0);
    EXPECT_EQ(ReadWholeFile(file), text);
    EXPECT_EQ(NamesIn(dir_), std::vector<std::string>{"record"});
  }
  EXPECT_EQ(TryWriteFileDurably(Path("missing/record"), "x"), ENOENT);
  EXPECT_THROW(WriteFileDurably(Path("missing/record"), "x"), EOSError);
}

TEST_F(FileTreeTest, MoveNeverOverwrites) {
  WriteWholeFile(Path("a"), "A");
  WriteWholeFile(Path("b"), "B");
  EXPECT_EQ(MoveNoReplace(Path("a"), Path("b")), EEXIST);
  EXPECT_EQ(ReadWholeFile(Path("a")), "A");
  EXPECT_EQ(ReadWholeFile(Path("b")), "B");
  EXPECT_EQ(MoveNoReplace(Path("a"), Path("c")), 0);
  EXPECT_EQ(ReadWholeFile(Path("c")), "A");
  EXPECT_EQ(NamesIn(dir_), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(MoveNoReplace(Path("gone"), Path("d")), ENOENT);
}

// A copy in two halves: whole under its partial name, the source untouched, and its name
// only when asked, never over a file that took it meanwhile.
TEST_F(FileTreeTest, ACopyTakesItsNameOnlyWhenAskedAndNeverOverAnother) {
  WriteWholeFile(Path("src"), std::string(70000, 'p'));
  ASSERT_EQ(::chmod(Path("src").c_str(), 0640), 0);
  struct stat copied {};
  ASSERT_EQ(CopyUnderPartialName(Path("src"), Path("to"), &copied), 0);
  EXPECT_EQ(NamesIn(dir_), (std::vector<std::string>{".to.ostrivan-partial", "src"}));
  struct stat partial {};
  ASSERT_EQ(::stat(PartialCopyName(Path("to")).c_str(), &partial), 0);
  EXPECT_EQ(copied.st_ino, partial.st_ino);
  EXPECT_EQ(partial.st_mode & 07777, 0640u);
  EXPECT_EQ(NamePartialCopy(Path("to")), 0);
  EXPECT_EQ(ReadWholeFile(Path("to")), std::string(70000, 'p'));
  EXPECT_EQ(NamesIn(dir_), (std::vector<std::string>{"src", "to"}));

  ASSERT_EQ(CopyUnderPartialName(Path("src"), Path("taken")), 0);
  WriteWholeFile(Path("taken"), "the machine's");
  EXPECT_EQ(NamePartialCopy(Path("taken")), EEXIST);
  EXPECT_EQ(ReadWholeFile(Path("taken")), "the machine's");
  EXPECT_EQ(CopyUnderPartialName(Path("gone"), Path("x")), ENOENT);
  EXPECT_EQ(NamePartialCopy(Path("x")), ENOENT);

  EXPECT_EQ(RenameNoReplace(Path("src"), Path("to")), EEXIST);
  EXPECT_EQ(RenameNoReplace(Path("src"), Path("moved")), 0);
  EXPECT_EQ(ReadWholeFile(Path("moved")), std::string(70000, 'p'));
}

TEST_F(FileTreeTest, TreesAreMadeFlushedAndRemovedWhole) {
  EXPECT_TRUE(MakeDirectories(Path("x/y/z"), 0700));
  EXPECT_TRUE(MakeDirectories(Path("x/y/z")));  // already there
  WriteWholeFile(Path("x/y/z/f"), "f");
  WriteWholeFile(Path("x/g"), "g");
  EXPECT_FALSE(MakeDirectories(Path("x/g/h")));  // a file stands in the way
  EXPECT_EQ(NamesIn(Path("x")), (std::vector<std::string>{"g", "y"}));
  EXPECT_TRUE(NamesIn(Path("nowhere")).empty());
  EXPECT_EQ(SyncTreeConcurrently(Path("x")), 0);
  EXPECT_EQ(SyncTreeConcurrently(Path("nowhere")), ENOENT);
  ASSERT_EQ(::chmod(Path("x/y/z").c_str(), 0500), 0);  // read-only folders go too
  ASSERT_EQ(::chmod(Path("x/y").c_str(), 0500), 0);
  std::error_code ec;
  fs::copy(Path("x"), Path("x2"), fs::copy_options::recursive, ec);
  ASSERT_FALSE(ec);
  EXPECT_TRUE(RemoveTree(Path("x")));
  EXPECT_TRUE(RemoveTreeConcurrently(Path("x2"), 3));
  EXPECT_TRUE(NamesIn(dir_).empty());
  EXPECT_TRUE(RemoveTree(Path("x")));  // nothing there is nothing left
}

}  // namespace
}  // namespace ostrivan

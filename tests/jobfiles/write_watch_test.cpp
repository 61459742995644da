#include "jobfiles/write_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/scratch_files.h"

using ostrivan::jobfiles::TWriteSeen;
using ostrivan::jobfiles::TWriteWatch;
using ostrivan::test_support::TempDir;
using ostrivan::test_support::WriteFile;

namespace {

// A writer that keeps its file open between bursts, as the machine software does.
class TOpenWriter {
 public:
  explicit TOpenWriter(const std::string& path) : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644)) {
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
  }
  ~TOpenWriter() { Close(); }
  void Write(const std::string& bytes) {
    if (::write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
      throw std::runtime_error("short write");
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

}  // namespace

TEST(WriteWatch, AFileModifiedAndNotClosedIsBeingWrittenUntilItsWriterCloses) {
  TempDir dir;
  WriteFile(dir / "programs/OLD.NC", "before the watch");
  TWriteWatch watch;
  ASSERT_TRUE(watch.Watch(dir.Path()));
  // What was there before the watch began is not known either way.
  EXPECT_EQ(watch.StateOf(dir / "programs/OLD.NC"), TWriteSeen::kUnknown);
  TOpenWriter writer(dir / "programs/P1.NC");
  EXPECT_EQ(watch.StateOf(dir / "programs/P1.NC"), TWriteSeen::kUnknown);  // made, nothing written yet
  writer.Write("G0 X1\n");
  EXPECT_EQ(watch.StateOf(dir / "programs/P1.NC"), TWriteSeen::kWriting);
  // However long the pause, the open writer keeps it written.
  writer.Write("G0 X2\n");
  EXPECT_EQ(watch.StateOf(dir / "programs/P1.NC"), TWriteSeen::kWriting);
  writer.Close();
  EXPECT_EQ(watch.StateOf(dir / "programs/P1.NC"), TWriteSeen::kClosed);
  // Reopened and written again.
  TOpenWriter again(dir / "programs/P1.NC");
  again.Write("M30\n");
  EXPECT_EQ(watch.StateOf(dir / "programs/P1.NC"), TWriteSeen::kWriting);
  // An old file written to is seen from then on.
  TOpenWriter old(dir / "programs/OLD.NC");
  old.Write("more\n");
  EXPECT_EQ(watch.StateOf(dir / "programs/OLD.NC"), TWriteSeen::kWriting);
}

TEST(WriteWatch, FoldersMadeLaterAreWatchedDeepAsTheyAppear) {
  TempDir dir;
  TWriteWatch watch;
  ASSERT_TRUE(watch.Watch(dir.Path()));
  // Several levels at once: the deeper ones may exist before the upper one is watched.
  ASSERT_EQ(::mkdir((dir / "a").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir / "a/b").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir / "a/b/c").c_str(), 0755), 0);
  EXPECT_EQ(watch.StateOf(dir / "a/b/c/P.NC"), TWriteSeen::kUnknown);
  TOpenWriter writer(dir / "a/b/c/P.NC");
  writer.Write("G1\n");
  EXPECT_EQ(watch.StateOf(dir / "a/b/c/P.NC"), TWriteSeen::kWriting);
  // A folder moved in from outside is watched too.
  TempDir outside;
  ASSERT_EQ(::mkdir((outside / "d").c_str(), 0755), 0);
  ASSERT_EQ(::rename((outside / "d").c_str(), (dir / "d").c_str()), 0);
  EXPECT_EQ(watch.StateOf(dir / "d/Q.NC"), TWriteSeen::kUnknown);
  TOpenWriter moved_in(dir / "d/Q.NC");
  moved_in.Write("G2\n");
  EXPECT_EQ(watch.StateOf(dir / "d/Q.NC"), TWriteSeen::kWriting);
}

TEST(WriteWatch, RenamesCarryWhatIsKnownAndMovesOutForgetIt) {
  TempDir dir;
  TempDir outside;
  ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
  TWriteWatch watch;
  ASSERT_TRUE(watch.Watch(dir.Path()));
  TOpenWriter writer(dir / "P.NC");
  writer.Write("G1\n");
  // Renamed within the tree, even into a subfolder, and the folder renamed in turn.
  ASSERT_EQ(::rename((dir / "P.NC").c_str(), (dir / "sub/R.NC").c_str()), 0);
  EXPECT_EQ(watch.StateOf(dir / "sub/R.NC"), TWriteSeen::kWriting);
  EXPECT_EQ(watch.StateOf(dir / "P.NC"), TWriteSeen::kUnknown);
  ASSERT_EQ(::rename((dir / "sub").c_str(), (dir / "moved").c_str()), 0);
  EXPECT_EQ(watch.StateOf(dir / "moved/R.NC"), TWriteSeen::kWriting);
  // Moved out and back: nothing is known of what happened outside.
  ASSERT_EQ(::rename((dir / "moved/R.NC").c_str(), (outside / "R.NC").c_str()), 0);
  ASSERT_EQ(::rename((outside / "R.NC").c_str(), (dir / "R.NC").c_str()), 0);
  EXPECT_EQ(watch.StateOf(dir / "R.NC"), TWriteSeen::kUnknown);
  // Removed and made anew under the same name: a new file.
  WriteFile(dir / "S.NC", "x");
  EXPECT_EQ(watch.StateOf(dir / "S.NC"), TWriteSeen::kClosed);
  ASSERT_EQ(::unlink((dir / "S.NC").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (dir / "S.NC").c_str()), 0);
  EXPECT_EQ(watch.StateOf(dir / "S.NC"), TWriteSeen::kUnknown);
}

TEST(WriteWatch, AnotherFolderOrTheSameNameMadeAnewStartsOver) {
  TempDir one;
  TempDir two;
  TWriteWatch watch;
  ASSERT_TRUE(watch.Watch(one.Path()));
  TOpenWriter writer(one / "P.NC");
  writer.Write("G1\n");
  ASSERT_EQ(watch.StateOf(one / "P.NC"), TWriteSeen::kWriting);
  ASSERT_TRUE(watch.Watch(two.Path()));
  EXPECT_EQ(watch.StateOf(one / "P.NC"), TWriteSeen::kUnknown);
  TOpenWriter second(two / "Q.NC");
  second.Write("G2\n");
  EXPECT_EQ(watch.StateOf(two / "Q.NC"), TWriteSeen::kWriting);
  // The folder replaced under its name is watched again when asked for by that name.
  const std::string path = two / "export";
  ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
  ASSERT_TRUE(watch.Watch(path));
  ASSERT_EQ(::rename(path.c_str(), (two / "old").c_str()), 0);
  ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
  ASSERT_TRUE(watch.Watch(path));
  TOpenWriter third(path + "/R.NC");
  third.Write("G3\n");
  EXPECT_EQ(watch.StateOf(path + "/R.NC"), TWriteSeen::kWriting);
  // A folder that is not there gives no watch.
  EXPECT_FALSE(watch.Watch(two / "missing"));
  EXPECT_EQ(watch.StateOf(path + "/R.NC"), TWriteSeen::kUnknown);
}

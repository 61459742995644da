// The shared file rules: read-only, the executable's place, whole-file reads and writes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "common/error.h"
#include "common/file_descriptor.h"
#include "common/file_system.h"
#include "support/scratch_files.h"

namespace ostrivan {
namespace {

namespace fs = std::filesystem;

class FileSystemTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return scratch_ / name; }

  test_support::TempDir scratch_{"ostrivan-common-"};
  const std::string& dir_ = scratch_.Path();
};

TEST_F(FileSystemTest, ReadOnlyIsTheOwnerWriteBitOfARegularFile) {
  const std::string file = Path("f"), link = Path("l"), sub = Path("d");
  WriteWholeFile(file, "x");
  ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
  ASSERT_EQ(::mkdir(sub.c_str(), 0555), 0);
  struct Case {
    mode_t file_mode;
    bool read_only;
  };
  for (const Case& c : {Case{0644, false}, Case{0444, true}, Case{0200, false}, Case{0000, true}, Case{0466, true}}) {
    SCOPED_TRACE(c.file_mode);
    ASSERT_EQ(::chmod(file.c_str(), c.file_mode), 0);
    EXPECT_EQ(IsReadOnlyFile(file), c.read_only);
    EXPECT_EQ(IsReadOnlyFile(link), c.read_only);  // the link's target counts
    EXPECT_EQ(IsReadOnlyMode(c.file_mode), c.read_only);
  }
  EXPECT_FALSE(IsReadOnlyFile(sub));  // a folder is not a read-only file
  EXPECT_TRUE(IsReadOnlyMode(0555));  // but its mode says read-only
  EXPECT_FALSE(IsReadOnlyFile(Path("missing")));
}

TEST(ExecutablePlace, IsTheRunningTestProgram) {
  const std::string& path = ExecutablePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(fs::path(path).filename(), "common_tests");
  EXPECT_EQ(&ExecutablePath(), &path);  // read once
  const std::string dir = ExecutableDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  EXPECT_EQ(dir + "common_tests", path);
}

TEST_F(FileSystemTest, WholeFileRoundTripsAnyBytesAndReplacesOldContent) {
  std::string big(200 * 1024 + 7, '\0');  // several read buffers
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131 + 7) & 0xFF);
  const std::string file = Path("data.bin");
  for (const std::string& bytes : {big, std::string("short\0z", 7), std::string()}) {
    WriteWholeFile(file, bytes);
    EXPECT_EQ(ReadWholeFile(file), bytes);
    std::string read = "stale";
    int code = -1;
    EXPECT_EQ(ReadWholeFile(file, read, &code), TReadFailure::kNone);
    EXPECT_EQ(read, bytes);
  }
}

TEST_F(FileSystemTest, FailuresSayWhatTheStreamsSay) {
  struct Case {
    std::string path;
    int code;
  };
  for (const Case& c : {Case{Path("missing"), ENOENT}, Case{dir_, EISDIR}}) {
    SCOPED_TRACE(c.path);
    std::string bytes;
    int code = 0;
    EXPECT_EQ(ReadWholeFile(c.path, bytes, &code), TReadFailure::kOpen);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(ReadWholeFile(c.path, bytes), TReadFailure::kOpen);  // the code is optional
    try {
      ReadWholeFile(c.path);
      ADD_FAILURE() << "no error";
    } catch (const EFOpenError& e) {
      EXPECT_EQ(e.Message(), "Cannot open file \"" + c.path + "\". " + std::strerror(c.code));
    }
  }
  const std::string nowhere = Path("no/such/folder.bin");
  try {
    WriteWholeFile(nowhere, "x");
    ADD_FAILURE() << "no error";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file \"" + nowhere + "\". " + std::strerror(ENOENT));
  }
}

// The writer's options: the mode a new file gets (under the umask), an optional flush,
// and the failure with its errno for callers that word their own errors.
TEST_F(FileSystemTest, WholeFileWriterOptionsAndFailures) {
  const mode_t mask = ::umask(022);
  const struct {
    TWriteOptions options;
    mode_t mode;
  } cases[] = {
      {TWriteOptions{}, 0644}, {TWriteOptions{.Mode = 0600}, 0600}, {TWriteOptions{.Mode = 0644, .Sync = true}, 0644}};
  int n = 0;
  for (const auto& c : cases) {
    const std::string file = Path("new" + std::to_string(n++));
    int code = -1;
    EXPECT_EQ(WriteWholeFile(file, "abc", c.options, &code), TWriteFailure::kNone);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ReadWholeFile(file), "abc");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.mode) << file;
  }
  ::umask(mask);
  int code = 0;
  EXPECT_EQ(WriteWholeFile(Path("no/such.bin"), "x", TWriteOptions{}, &code), TWriteFailure::kCreate);
  EXPECT_EQ(code, ENOENT);
  EXPECT_EQ(WriteWholeFile(dir_, "x", TWriteOptions{}, &code), TWriteFailure::kCreate);
  EXPECT_EQ(code, EISDIR);
  if (::access("/dev/full", W_OK) == 0) {
    EXPECT_EQ(WriteWholeFile("/dev/full", "x", TWriteOptions{}, &code), TWriteFailure::kWrite);
    EXPECT_EQ(code, ENOSPC);
  }
}

TEST(WriteAll, ReportsTheErrorOfAFullDevice) {
  TFileDescriptor full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  if (full.get() < 0) GTEST_SKIP() << "no /dev/full here";
  EXPECT_EQ(WriteAll(full.get(), "bytes"), ENOSPC);
  EXPECT_EQ(WriteAll(full.get(), ""), 0);  // nothing to write, nothing asked of the file
  EXPECT_THROW(WriteWholeFile("/dev/full", "bytes"), EWriteError);
}

}  // namespace
}  // namespace ostrivan

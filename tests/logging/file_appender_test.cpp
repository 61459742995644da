#include "logging/log_file_appender.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include <string>
#include <vector>

#include "common/error.h"
#include "logging/log_writer_error.h"
#include "logging_test_support.h"

namespace ostrivan::logging {
namespace {

using testing::FileExists;
using testing::ReadFile;
using testing::ReadFileOrEmpty;
using testing::SplitCrLf;
using testing::TempDir;

std::string Name(int number, const std::string& tag = "torniomvc") {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%02d", number);
  return ExecutableBaseName() + "." + digits + "." + tag + ".log";
}

TLogItem Item(const std::string& message, const std::string& tag = "torniomvc") {
  return TLogItem(TLogType::Info, message, tag);
}

// Message of a log line ("... ] <message> [tag]"), or the line itself for ROTATE/START.
std::string MessageOf(const std::string& line) {
  const auto open = line.find("] ", line.find("][") + 2);
  const auto close = line.rfind(" [");
  if (open == std::string::npos || close == std::string::npos || close < open) return line;
  return line.substr(open + 2, close - open - 2);
}

TEST(FileAppender, FileNameFromExecutableAndTag) {
  EXPECT_EQ(ExecutableBaseName(), "logging_tests");
  TLogFileAppender appender(5, 2000, "/some/logs");
  EXPECT_EQ(appender.GetLogFileName("torniomvc", 0), "/some/logs/logging_tests.00.torniomvc.log");
  EXPECT_EQ(appender.GetLogFileName("jobs", 5), "/some/logs/logging_tests.05.jobs.log");
  TLogFileAppender trailing(5, 2000, "/some/logs/");
  EXPECT_EQ(trailing.GetLogFileName("t", 12), "/some/logs/logging_tests.12.t.log");

  TLogFileAppender with_pid(5, 2000, "/l", {TFileAppenderOption::IncludePID});
  char pid[16];
  std::snprintf(pid, sizeof pid, "%06d", static_cast<int>(::getpid()));
  EXPECT_EQ(with_pid.GetLogFileName("t", 0), std::string("/l/logging_tests_pid_") + pid + ".00.t.log");
}

TEST(FileAppender, BackupCountIsAtLeastOne) {
  EXPECT_EQ(TLogFileAppender(0, 1, "/x").MaxBackupFileCount(), 1);
  EXPECT_EQ(TLogFileAppender(-3, 1, "/x").MaxBackupFileCount(), 1);
  EXPECT_EQ(TLogFileAppender(7, 1, "/x").MaxBackupFileCount(), 7);
}

TEST(FileAppender, SetupCreatesMissingFoldersAndWritesCrLfLines) {
  TempDir dir;
  const std::string logs = dir / "a/b/logs";
  TLogFileAppender appender(5, 2000, logs);
  appender.Setup();
  ASSERT_TRUE(FileExists(logs));
  EXPECT_FALSE(FileExists(logs + "/" + Name(0))) << "the file comes with the first line";
  appender.WriteLog(Item("first"));
  appender.WriteLog(Item("line one\r\nline two"));
  // Flushed per line: visible before TearDown.
  const auto lines = SplitCrLf(ReadFile(logs + "/" + Name(0)));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(MessageOf(lines[0]), "first");
  EXPECT_NE(lines[0].find("  [TID "), std::string::npos);
  EXPECT_EQ(lines[1].substr(lines[1].size() - 8), "line one");
  EXPECT_EQ(lines[2], "line two [torniomvc]");
  appender.TearDown();
}

TEST(FileAppender, AppendsToExistingFileWithoutStartLine) {
  TempDir dir;
  testing::WriteFile(dir / Name(0), "earlier line\r\n");
  TLogFileAppender appender(5, 2000, dir.Path());
  appender.Setup();
  appender.WriteLog(Item("next"));
  appender.TearDown();
  const auto lines = SplitCrLf(ReadFile(dir / Name(0)));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "earlier line");
  EXPECT_EQ(MessageOf(lines[1]), "next");
}

TEST(FileAppender, InvalidUtf8IsReplacedAndValidTextKept) {
  TempDir dir;
  TLogFileAppender appender(5, 2000, dir.Path());
  appender.Setup();
  appender.WriteLog(Item("ok \xC3\xA8 \xE2\x82\xAC \xF0\x9D\x84\x9E|\xFF|\xC3|\xED\xA0\x80|\xC0\xAF|end"));
  appender.TearDown();
  const auto lines = SplitCrLf(ReadFile(dir / Name(0)));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(MessageOf(lines[0]),
            "ok \xC3\xA8 \xE2\x82\xAC \xF0\x9D\x84\x9E|\xEF\xBF\xBD|\xEF\xBF\xBD|"
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD|end");
}

TEST(FileAppender, TagThatCannotBeAFileNameFailsTheWrite) {
  TempDir dir;
  TLogFileAppender appender(5, 2000, dir / "logs");
  appender.Setup();
  for (const std::string& tag : std::vector<std::string>{"../escape", "a/b", "back\\slash", std::string("nul\0x", 5)}) {
    EXPECT_THROW(appender.WriteLog(Item("x", tag)), EInOutError) << tag;
  }
  EXPECT_FALSE(FileExists(dir / Name(0, "escape")));
  appender.TearDown();
}

TEST(FileAppender, LogsFolderThatCannotBeCreatedFailsSetup) {
  TempDir dir;
  testing::WriteFile(dir / "logs", "a file where the folder should be");
  TLogFileAppender appender(5, 2000, dir / "logs");
  EXPECT_THROW(appender.Setup(), EInOutError);
  TLogFileAppender below_file(5, 2000, dir / "logs/sub");
  EXPECT_THROW(below_file.Setup(), EInOutError);
}

// Writes numbered lines "line N" until `rotations` rotations happened; gives back N.
int WriteUntilRotated(TLogFileAppender& appender, const std::string& dir, int rotations,
                      const std::string& tag = "torniomvc") {
  int n = 0;
  int seen = 0;
  while (seen < rotations) {
    appender.WriteLog(Item("line " + std::to_string(n++), tag));
    const auto text = ReadFile(dir + "/" + Name(0, tag));
    if (text.rfind("#[START LOG ", 0) == 0 && SplitCrLf(text).size() == 1) ++seen;
    if (n > 100000) ADD_FAILURE() << "no rotation";
    if (n > 100000) break;
  }
  return n;
}

TEST(FileAppender, RotationKeepsFiveBackupsAndDropsTheOldest) {
  TempDir dir;
  TLogFileAppender appender(5, 1, dir.Path());  // rotate past 1024 bytes
  appender.Setup();
  const int written = WriteUntilRotated(appender, dir.Path(), 7);
  appender.WriteLog(Item("line " + std::to_string(written)));
  appender.TearDown();

  EXPECT_FALSE(FileExists(dir / Name(6)));
  int expected_next = -1;
  for (int number = 5; number >= 0; --number) {
    ASSERT_TRUE(FileExists(dir / Name(number))) << number;
    const std::string text = ReadFile(dir / Name(number));
    const auto lines = SplitCrLf(text);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front().rfind("#[START LOG ", 0), 0u) << number;
    EXPECT_EQ(lines.front().back(), ']');
    EXPECT_EQ(lines.front()[lines.front().size() - 2], ' ') << "time stamp text keeps its blank";
    std::size_t content_end = lines.size();
    if (number > 0) {
      // A backup ends with the line that crossed the limit, then ROTATE.
      EXPECT_EQ(lines.back().rfind("#[ROTATE LOG ", 0), 0u) << number;
      EXPECT_EQ(lines.back().substr(lines.back().size() - 2), " ]");
      const std::size_t rotate_size = lines.back().size() + 2;
      const std::size_t crossing = lines[lines.size() - 2].size() + 2;
      EXPECT_GT(text.size() - rotate_size, 1024u) << number;
      EXPECT_LE(text.size() - rotate_size - crossing, 1024u) << number;
      content_end = lines.size() - 1;
    }
    // Line numbers run on without gap from the oldest backup to the current file.
    for (std::size_t i = 1; i < content_end; ++i) {
      const int value = std::stoi(MessageOf(lines[i]).substr(5));
      if (expected_next >= 0) {
        EXPECT_EQ(value, expected_next) << "file " << number;
      }
      expected_next = value + 1;
    }
  }
  EXPECT_EQ(expected_next, written + 1);
}

// Every file of the tag, oldest backup first, with the time stamps of the ROTATE and
// START lines cut off (they are the only text that depends on when the test ran).
std::vector<std::vector<std::string>> FilesOldestFirst(const std::string& dir, int backups) {
  std::vector<std::vector<std::string>> files;
  for (int number = backups; number >= 0; --number) {
    if (!FileExists(dir + "/" + Name(number))) continue;
    auto lines = SplitCrLf(ReadFile(dir + "/" + Name(number)));
    for (auto& line : lines) {
      if (line.rfind("#[", 0) == 0) line = line.substr(0, line.find(" LOG "));
    }
    files.push_back(std::move(lines));
  }
  return files;
}

TEST(FileAppender, BufferedLinesRotateAfterTheSameLineAsSingleWrites) {
  // How often the buffered forms flush: 0 = WriteLog for every line.
  constexpr int kLines = 80;
  const TLogTimeStamp stamp = LogTimeStampNow();
  std::vector<std::vector<std::string>> reference;
  for (const int flush_every : {0, 1, 7, kLines}) {
    TempDir dir;
    TLogFileAppender appender(5, 1, dir.Path());
    appender.Setup();
    for (int i = 0; i < kLines; ++i) {
      const TLogItem item(TLogType::Info, "buffered line number " + std::to_string(i), "torniomvc", stamp, 42);
      if (flush_every == 0) {
        appender.WriteLog(item);
      } else {
        appender.AppendLog(item);
        if ((i + 1) % flush_every == 0) appender.FlushLog();
      }
    }
    appender.TearDown();
    const auto files = FilesOldestFirst(dir.Path(), 5);
    ASSERT_EQ(files.size(), 6u) << flush_every;
    for (std::size_t f = 0; f + 1 < files.size(); ++f) {
      EXPECT_EQ(files[f].back(), "#[ROTATE") << flush_every;
    }
    if (flush_every == 0) {
      reference = files;
    } else {
      EXPECT_EQ(files, reference) << "flush every " << flush_every;
    }
  }
}

TEST(FileAppender, RotationFollowsTheFileSizeChangedFromOutside) {
  // Grown by another writer past the limit: the next line rotates.
  {
    TempDir dir;
    TLogFileAppender appender(5, 1, dir.Path());
    appender.Setup();
    appender.WriteLog(Item("first"));
    {
      std::ofstream out(dir / Name(0), std::ios::binary | std::ios::app);
      out << std::string(1100, 'x') << "\r\n";
    }
    appender.WriteLog(Item("second"));
    appender.TearDown();
    ASSERT_TRUE(FileExists(dir / Name(1)));
    const auto lines = SplitCrLf(ReadFile(dir / Name(1)));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.back().rfind("#[ROTATE LOG ", 0), 0u);
    EXPECT_EQ(MessageOf(lines[lines.size() - 2]), "second");
  }
  // Emptied from outside: the count starts again from what is really there.
  {
    TempDir dir;
    TLogFileAppender appender(5, 1, dir.Path());
    appender.Setup();
    int n = 0;
    while (ReadFileOrEmpty(dir / Name(0)).size() < 900) appender.WriteLog(Item("line " + std::to_string(n++)));
    ASSERT_EQ(::truncate((dir / Name(0)).c_str(), 0), 0);
    // Four lines take the old count well past 1024 bytes; the file holds far less.
    for (int i = 0; i < 4; ++i) appender.WriteLog(Item("after " + std::to_string(i)));
    appender.TearDown();
    EXPECT_FALSE(FileExists(dir / Name(1)));
    const auto lines = SplitCrLf(ReadFile(dir / Name(0)));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(MessageOf(lines[0]), "after 0");
  }
}

TEST(FileAppender, FirstFileOfAFreshFolderHasNoStartLineUntilRotated) {
  TempDir dir;
  TLogFileAppender appender(2, 1, dir.Path());
  appender.Setup();
  appender.WriteLog(Item("line 0"));
  EXPECT_EQ(MessageOf(SplitCrLf(ReadFile(dir / Name(0)))[0]), "line 0");
  WriteUntilRotated(appender, dir.Path(), 3);
  appender.TearDown();
  EXPECT_TRUE(FileExists(dir / Name(1)));
  EXPECT_TRUE(FileExists(dir / Name(2)));
  EXPECT_FALSE(FileExists(dir / Name(3)));
}

TEST(FileAppender, TwoTagsTwoFilesRotatedApart) {
  TempDir dir;
  TLogFileAppender appender(5, 1, dir.Path());
  appender.Setup();
  appender.WriteLog(Item("quiet one", "other"));
  WriteUntilRotated(appender, dir.Path(), 2, "busy");
  appender.WriteLog(Item("quiet two", "other"));
  appender.TearDown();
  EXPECT_TRUE(FileExists(dir / Name(2, "busy")));
  EXPECT_FALSE(FileExists(dir / Name(1, "other")));
  const auto other = SplitCrLf(ReadFile(dir / Name(0, "other")));
  ASSERT_EQ(other.size(), 2u);
  EXPECT_EQ(MessageOf(other[1]), "quiet two");
}

TEST(FileAppender, CurrentFileRemovedByHandStillRotates) {
  TempDir dir;
  TLogFileAppender appender(5, 1, dir.Path());
  appender.Setup();
  appender.WriteLog(Item("before removal"));
  ASSERT_EQ(::unlink((dir / Name(0)).c_str()), 0);
  for (int i = 0; i < 40 && !FileExists(dir / Name(0)); ++i) {
    appender.WriteLog(Item("filler line to pass the size limit " + std::to_string(i)));
  }
  appender.TearDown();
  const auto lines = SplitCrLf(ReadFile(dir / Name(0)));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("#[START LOG ", 0), 0u);
  EXPECT_FALSE(FileExists(dir / Name(1)));
}

TEST(FileAppender, ReadOnlyFolderMakesRotationFail) {
  struct Case {
    bool oldest_backup_present;
    const char* why;
  };
  for (const Case c : {Case{false, "move of the current file"}, Case{true, "delete of the oldest backup"}}) {
    TempDir dir;
    TLogFileAppender appender(5, 1, dir.Path());
    appender.Setup();
    if (c.oldest_backup_present) testing::WriteFile(dir / Name(5), "oldest\r\n");
    appender.WriteLog(Item("opened while writable"));
    testing::SetOwnerWritable(dir.Path(), false);
    bool failed = false;
    for (int i = 0; i < 40 && !failed; ++i) {
      try {
        appender.WriteLog(Item("filler line to pass the size limit " + std::to_string(i)));
      } catch (const ELogWriterError& e) {
        failed = true;
        EXPECT_FALSE(c.oldest_backup_present) << c.why;
        EXPECT_EQ(e.Message(), "Cannot rename " + (dir / Name(0)) + " to " + (dir / Name(1)));
      } catch (const EInOutError&) {
        failed = true;
        EXPECT_TRUE(c.oldest_backup_present) << c.why;
      }
    }
    EXPECT_TRUE(failed) << c.why;
    testing::SetOwnerWritable(dir.Path(), true);
    appender.TearDown();
    // The ROTATE line was written before the move failed; nothing was moved.
    const auto lines = SplitCrLf(ReadFile(dir / Name(0)));
    EXPECT_EQ(lines.back().rfind("#[ROTATE LOG ", 0), 0u) << c.why;
    EXPECT_FALSE(FileExists(dir / Name(1))) << c.why;
    EXPECT_EQ(FileExists(dir / Name(5)), c.oldest_backup_present) << c.why;
  }
}

TEST(FileAppender, ReadOnlyFileCannotBeOpened) {
  TempDir dir;
  testing::WriteFile(dir / Name(0), "kept\r\n");
  testing::SetOwnerWritable(dir / Name(0), false);
  TLogFileAppender appender(5, 2000, dir.Path());
  appender.Setup();
  EXPECT_THROW(appender.WriteLog(Item("refused")), EFOpenError);
  appender.TearDown();
  EXPECT_EQ(ReadFile(dir / Name(0)), "kept\r\n");
}

}  // namespace
}  // namespace ostrivan::logging

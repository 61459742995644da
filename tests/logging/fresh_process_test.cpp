// The process-wide writer is created once per process, so these tests run a copy of
// this test program as the service would run: from its own folder, with the logs
// folder beside it. The DISABLED_ tests are the child's parts and run only when asked.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "logging/default_log_writer.h"
#include "logging/framework_log.h"
#include "logging_test_support.h"

namespace ostrivan::logging {
namespace {

constexpr int kBurst = 5000;

void LogStartAndBurst() {
  FrameworkLogInfo("Server started on port 8080");
  for (int i = 0; i < kBurst; ++i) FrameworkLogDebug("burst " + std::to_string(i));
  FrameworkLogWarn("last before stop");
}

TEST(FreshProcessChild, DISABLED_LogThenShutDown) {
  LogStartAndBurst();
  ShutdownDefaultLogWriter();
  FrameworkLogError("after the stop");  // dropped, and must not fail
  ShutdownDefaultLogWriter();
}

TEST(FreshProcessChild, DISABLED_LogThenExit) {
  // No explicit stop: the exit of the process drains the queues.
  LogStartAndBurst();
}

TEST(FreshProcessChild, DISABLED_CustomWriter) {
  auto appender = MakeDefaultFileAppender();
  InstallLogWriter(MakeLogWriter({appender}));
  InstallLogWriter(nullptr);  // ignored: a writer exists
  FrameworkLog(TFrameworkLogLevel::fllCritical, "critical");
  FrameworkLogEnter("engine");
  FrameworkLogLeave("engine");
  ShutdownDefaultLogWriter();
}

TEST(FreshProcessChild, DISABLED_LogAfterTheExecutableIsReplaced) {
  // An upgrade in place: a new file takes the running executable's name.
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  const std::filesystem::path fresh = self.string() + ".new";
  std::filesystem::copy_file("/proc/self/exe", fresh, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::rename(fresh, self);
  FrameworkLogInfo("after the upgrade");
  ShutdownDefaultLogWriter();
}

TEST(FreshProcessChild, DISABLED_WaitForALineThenEndAbruptly) {
  LogStartAndBurst();
  const bool written =
      DefaultLogWriter()->LogAndWait(TLogType::Info, "the job's line", "journal", std::chrono::seconds(20));
  // As a kill -9 would: no drain, no exit handlers.
  ::_exit(written ? 0 : 3);
}

struct Line {
  std::string level;
  std::string message;
  std::string tag;
};

Line Parse(const std::string& text) {
  Line line;
  const auto level_start = text.find("][") + 2;
  const auto level_end = text.find(']', level_start);
  line.level = text.substr(level_start, level_end - level_start);
  line.level.erase(line.level.find_last_not_of(' ') + 1);
  const auto tag_start = text.rfind(" [");
  line.message = text.substr(level_end + 2, tag_start - level_end - 2);
  line.tag = text.substr(tag_start + 2, text.size() - tag_start - 3);
  return line;
}

class FreshProcess : public ::testing::Test {
 protected:
  // Runs one child part from a copy named like the service; gives back its log lines.
  std::vector<std::string> RunChild(const std::string& part) {
    const std::string exe = dir_ / "Ostrivan";
    std::filesystem::copy_file("/proc/self/exe", exe, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(exe, std::filesystem::perms::owner_all);
    const std::string cmd = "cd / && '" + exe + "' --gtest_also_run_disabled_tests --gtest_filter=FreshProcessChild." +
                            part + " > '" + (dir_ / "child.out") + "' 2>&1";
    const int status = std::system(cmd.c_str());
    EXPECT_EQ(status, 0) << testing::ReadFile(dir_ / "child.out");
    return testing::SplitCrLf(testing::ReadFile(LogFile()));
  }
  std::string LogFile() const { return dir_ / "logs/Ostrivan.00.torniomvc.log"; }

  void ExpectStartAndBurst(const std::vector<std::string>& lines, std::size_t first) {
    ASSERT_GE(lines.size(), first + kBurst + 3);
    const Line init = Parse(lines[first]);
    EXPECT_EQ(init.message, "Default Logger initialized");
    EXPECT_EQ(init.level, "INFO");
    EXPECT_EQ(init.tag, "torniomvc");
    const Line start = Parse(lines[first + 1]);
    EXPECT_EQ(start.message, "Server started on port 8080");
    EXPECT_EQ(start.level, "INFO");
    for (std::size_t i = 0; i < kBurst; ++i) {
      const Line burst = Parse(lines[first + 2 + i]);
      ASSERT_EQ(burst.message, "burst " + std::to_string(i));
      ASSERT_EQ(burst.level, "DEBUG");
    }
    EXPECT_EQ(Parse(lines[first + 2 + kBurst]).message, "last before stop");
    EXPECT_EQ(lines.size(), first + kBurst + 3);
  }

  testing::TempDir dir_;
};

TEST_F(FreshProcess, FirstLinesAndEveryLineBeforeTheStopAreWritten) {
  const auto lines = RunChild("DISABLED_LogThenShutDown");
  ExpectStartAndBurst(lines, 0);
  EXPECT_EQ(testing::ReadFile(LogFile()).find("after the stop"), std::string::npos);
}

TEST_F(FreshProcess, ExitWithoutStopStillDrains) { ExpectStartAndBurst(RunChild("DISABLED_LogThenExit"), 0); }

TEST_F(FreshProcess, RestartAppendsToTheExistingFile) {
  RunChild("DISABLED_LogThenShutDown");
  const auto lines = RunChild("DISABLED_LogThenShutDown");
  // The second run continues the same file, with no START line between the runs.
  ExpectStartAndBurst(lines, kBurst + 3);
  for (const auto& line : lines) EXPECT_NE(line.rfind("#[", 0), 0u) << line;
}

TEST_F(FreshProcess, ReplacingTheExecutableKeepsTheLogFileName) {
  const auto lines = RunChild("DISABLED_LogAfterTheExecutableIsReplaced");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(Parse(lines.back()).message, "after the upgrade");
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_ / "logs")) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"Ostrivan.00.torniomvc.log"});
}

TEST_F(FreshProcess, AWaitedLineAndAllBeforeItOutliveAnAbruptEnd) {
  ExpectStartAndBurst(RunChild("DISABLED_WaitForALineThenEndAbruptly"), 0);
  const auto journal = testing::SplitCrLf(testing::ReadFile(dir_ / "logs/Ostrivan.00.journal.log"));
  ASSERT_EQ(journal.size(), 1u);
  const Line line = Parse(journal[0]);
  EXPECT_EQ(line.message, "the job's line");
  EXPECT_EQ(line.tag, "journal");
}

TEST_F(FreshProcess, CustomWriterIsAnnouncedAndShorthandsMapLevels) {
  const auto lines = RunChild("DISABLED_CustomWriter");
  ASSERT_EQ(lines.size(), 4u);
  const Line expected[] = {{"INFO", "Custom Logger initialized", "torniomvc"},
                           {"ERROR", "critical", "torniomvc"},
                           {"INFO", ">> engine", "torniomvc"},
                           {"INFO", "<< engine", "torniomvc"}};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Line got = Parse(lines[i]);
    EXPECT_EQ(got.level, expected[i].level);
    EXPECT_EQ(got.message, expected[i].message);
    EXPECT_EQ(got.tag, expected[i].tag);
  }
}

}  // namespace
}  // namespace ostrivan::logging

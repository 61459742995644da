// A line whose writing the caller waits for: in its file when LogAndWait returns, after
// every line logged before it; never a wait without end, whatever the appender does.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "logging/log_file_appender.h"
#include "logging/log_writer.h"
#include "logging_test_support.h"

namespace ostrivan::logging {
namespace {

using namespace std::chrono_literals;
using testing::TMemoryAppender;

// A file appender that takes its time over each line, so a line only queued is
// certainly not in the file yet when the caller looks.
class TSlowFileAppender : public TLogFileAppender {
 public:
  explicit TSlowFileAppender(const std::string& folder) : TLogFileAppender(5, 2000, folder) {}
  void AppendLog(const TLogItem& log_item) override {
    std::this_thread::sleep_for(2ms);
    TLogFileAppender::AppendLog(log_item);
  }
};

std::string FileOf(const testing::TempDir& dir, const std::string& tag) {
  return testing::ReadFileOrEmpty(dir / ("logs/" + ExecutableBaseName() + ".00." + tag + ".log"));
}

TEST(WriteThrough, TheLineAndEveryLineBeforeItAreInTheirFilesOnReturn) {
  testing::TempDir dir;
  auto appender = std::make_shared<TSlowFileAppender>(dir / "logs");
  auto writer = MakeLogWriter({appender});
  for (int i = 0; i < 50; ++i) writer->Info("main line " + std::to_string(i), "torniomvc");
  ASSERT_TRUE(writer->LogAndWait(TLogType::Info, "export job=\"P1001\" outcome=\"delivered\"", "journal", 20s));
  // Read at once, before anything else could have written.
  const std::string journal = FileOf(dir, "journal");
  const std::string main_log = FileOf(dir, "torniomvc");
  const auto journal_lines = testing::SplitCrLf(journal);
  ASSERT_EQ(journal_lines.size(), 1u) << journal;
  EXPECT_NE(journal_lines[0].find("][INFO      ] export job=\"P1001\" outcome=\"delivered\" [journal]"),
            std::string::npos)
      << journal_lines[0];
  const auto main_lines = testing::SplitCrLf(main_log);
  ASSERT_EQ(main_lines.size(), 50u);
  for (std::size_t i = 0; i < 50; ++i)
    EXPECT_NE(main_lines[i].find("main line " + std::to_string(i) + " ["), std::string::npos);
  // Lines after it go the usual way.
  writer->Info("after", "journal");
  writer->Shutdown();
  EXPECT_EQ(testing::SplitCrLf(FileOf(dir, "journal")).size(), 2u);
}

TEST(WriteThrough, RotationStaysAsItWas) {
  // A limit of 1 KiB: the waited-for lines rotate the file like any other line.
  testing::TempDir dir;
  auto appender = std::make_shared<TLogFileAppender>(5, 1, dir / "logs");
  auto writer = MakeLogWriter({appender});
  const std::string filler(300, 'f');
  for (int i = 0; i < 6; ++i)
    ASSERT_TRUE(writer->LogAndWait(TLogType::Info, filler + std::to_string(i), "journal", 20s));
  // Each line once, in order, across the current file and its backups, which begin and
  // end with the usual marks.
  std::string all;
  for (int n = 5; n >= 0; --n) {
    char number[8];
    std::snprintf(number, sizeof number, "%02d", n);
    all += testing::ReadFileOrEmpty(dir / ("logs/" + ExecutableBaseName() + "." + number + ".journal.log"));
  }
  size_t at = 0;
  for (int i = 0; i < 6; ++i) {
    const size_t found = all.find(filler + std::to_string(i) + " [journal]", at);
    ASSERT_NE(found, std::string::npos) << i;
    at = found + 1;
    EXPECT_EQ(all.find(filler + std::to_string(i) + " [journal]", at), std::string::npos) << i;
  }
  EXPECT_NE(all.find("#[ROTATE LOG "), std::string::npos);
  EXPECT_EQ(FileOf(dir, "journal").rfind("#[START LOG ", 0), 0u);
  writer->Shutdown();
}

TEST(WriteThrough, AnAppenderThatCannotWriteEndsTheWaitWithFalse) {
  auto appender = std::make_shared<TMemoryAppender>();
  appender->write_failures_left = 1000;
  auto writer = MakeLogWriter({appender});
  EXPECT_FALSE(writer->LogAndWait(TLogType::Info, "lost", "journal", 20s));
  writer->Shutdown();
}

TEST(WriteThrough, AStuckAppenderHoldsTheCallerNoLongerThanItsWait) {
  auto appender = std::make_shared<TMemoryAppender>();
  appender->write_delay = 1500ms;
  auto writer = MakeLogWriter({appender});
  writer->Info("keeps the appender busy", "t");
  EXPECT_FALSE(writer->LogAndWait(TLogType::Info, "late", "journal", 100ms));
  // Still queued, and written once the appender gets to it.
  EXPECT_TRUE(test_support::WaitFor([&] { return appender->Messages().size() == 2; }));
  EXPECT_EQ(appender->Messages().back(), "late");
  writer->Shutdown();
}

TEST(WriteThrough, NothingToWaitForIsFalseAtOnce) {
  // Below the writer's level, without an appender, after the stop.
  {
    auto appender = std::make_shared<TMemoryAppender>();
    auto writer = MakeLogWriter({appender}, nullptr, TLogType::Warning);
    EXPECT_FALSE(writer->LogAndWait(TLogType::Info, "filtered", "journal", 20s));
    writer->Shutdown();
    EXPECT_TRUE(appender->Messages().empty());
  }
  {
    auto writer = MakeLogWriter({});
    EXPECT_FALSE(writer->LogAndWait(TLogType::Info, "nobody", "journal", 20s));
    writer->Shutdown();
  }
  {
    auto appender = std::make_shared<TMemoryAppender>();
    auto writer = MakeLogWriter({appender});
    writer->Shutdown();
    EXPECT_FALSE(writer->LogAndWait(TLogType::Info, "too late", "journal", 20s));
    EXPECT_TRUE(appender->Messages().empty());
  }
}

TEST(WriteThrough, EveryAppenderHasWrittenIt) {
  auto fast = std::make_shared<TMemoryAppender>();
  auto slow = std::make_shared<TMemoryAppender>();
  slow->write_delay = 50ms;
  auto writer = MakeLogWriter({fast, slow});
  ASSERT_TRUE(writer->LogAndWait(TLogType::Info, "both", "journal", 20s));
  EXPECT_EQ(fast->Messages(), std::vector<std::string>{"both"});
  EXPECT_EQ(slow->Messages(), std::vector<std::string>{"both"});
  writer->Shutdown();
}

}  // namespace
}  // namespace ostrivan::logging

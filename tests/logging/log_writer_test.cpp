#include "logging/log_writer.h"

#include <gtest/gtest.h>

#include <thread>

#include "common/error.h"
#include "logging/log_file_appender.h"
#include "logging_test_support.h"

namespace ostrivan::logging {
namespace {

using namespace std::chrono_literals;
using test_support::WaitFor;
using testing::TMemoryAppender;

TEST(LogWriter, FormsAndLevelsReachTheAppender) {
  auto appender = std::make_shared<TMemoryAppender>();
  auto writer = MakeLogWriter({appender});
  writer->Info("50% done %s %d", "t");   // plain form: unchanged
  writer->Info("port %d", {8080}, "t");  // params form: filled
  writer->DebugFmt("%s-%s", {"a", "b"}, "t");
  writer->Warn("w", "t");
  writer->ErrorFmt("code %.3d", {7}, "t");
  writer->Log(TLogType::Error, "e %d", {1}, "t");
  writer->LogFmt(TLogType::Debug, "%1:s%0:s", {"x", "y"}, "t");
  writer->Debug("d", "t");
  writer->Shutdown();
  const std::vector<std::string> expected = {"50% done %s %d", "port 8080", "a-b", "w", "code 007", "e 1", "yx", "d"};
  EXPECT_EQ(appender->Messages(), expected);
  const auto lines = appender->Lines();
  ASSERT_EQ(lines.size(), expected.size());
  EXPECT_NE(lines[2].find("][DEBUG     ] a-b [t]"), std::string::npos);
  EXPECT_NE(lines[3].find("][WARNING   ] w [t]"), std::string::npos);
}

TEST(LogWriter, WriterAndAppenderLevelsFilter) {
  auto all = std::make_shared<TMemoryAppender>();
  auto errors_only = std::make_shared<TMemoryAppender>();
  errors_only->SetLogLevel(TLogType::Error);
  auto writer = MakeLogWriter({all, errors_only}, nullptr, TLogType::Info);
  writer->Debug("dropped by the writer", "t");
  writer->DebugFmt("%d", {}, "t");  // filtered before formatting: a bad pattern does not matter
  writer->Info("info", "t");
  writer->Warn("warn", "t");
  writer->Error("error", "t");
  writer->Shutdown();
  EXPECT_EQ(all->Messages(), (std::vector<std::string>{"info", "warn", "error"}));
  EXPECT_EQ(errors_only->Messages(), (std::vector<std::string>{"error"}));
  EXPECT_EQ(writer->AppendersCount(), 2);
  EXPECT_EQ(writer->GetAppendersClassNames(), (std::vector<std::string>{"TMemoryAppender", "TMemoryAppender"}));
}

TEST(LogWriter, BadPatternRaisesInTheCaller) {
  auto writer = MakeLogWriter({std::make_shared<TMemoryAppender>()});
  EXPECT_THROW(writer->InfoFmt("%d", {"not a number"}, "t"), EConvertError);
}

TEST(LogWriter, ShutdownWritesEveryLineLoggedBeforeIt) {
  auto appender = std::make_shared<TMemoryAppender>();
  appender->write_delay = 50us;  // the appender lags, so lines are still queued at the stop
  auto writer = MakeLogWriter({appender});
  constexpr int kThreads = 2;
  constexpr int kEach = 3000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) writer->Info(std::to_string(t * kEach + i), "t");
    });
  }
  for (auto& t : threads) t.join();
  writer->Shutdown();
  const auto messages = appender->Messages();
  ASSERT_EQ(messages.size(), static_cast<std::size_t>(kThreads * kEach));
  std::vector<int> last(kThreads, -1);
  for (const auto& m : messages) {
    const int v = std::stoi(m);
    const auto thread_index = static_cast<std::size_t>(v / kEach);
    EXPECT_GT(v, last[thread_index]) << "per-thread order kept";
    last[thread_index] = v;
  }
  EXPECT_EQ(appender->TearDownCalls(), 1);
  // Afterwards calls are dropped quietly instead of failing or blocking the caller.
  EXPECT_NO_THROW(writer->Info("too late", "t"));
  writer->Shutdown();
  EXPECT_EQ(appender->Messages().size(), messages.size());
}

TEST(LogWriter, LineLoggedAsTheStopBeginsIsStillWritten) {
  // Each change of the appenders wakes the logger thread; after two of them it comes
  // back from a wait empty-handed about when the line and the stop arrive. Many rounds,
  // since the window is narrow; each round must write its line.
  constexpr int kRounds = 200;
  int lost = 0;
  for (int round = 0; round < kRounds; ++round) {
    auto appender = std::make_shared<TMemoryAppender>();
    auto writer = MakeLogWriter({appender});
    writer->Info("first", "t");
    ASSERT_TRUE(WaitFor([&] { return appender->Messages().size() == 1; }));
    auto passing = std::make_shared<TMemoryAppender>();
    writer->AddAppender(passing);
    writer->DelAppender(passing);
    writer->Info("last", "t");
    writer->Shutdown();
    if (appender->Messages() != std::vector<std::string>{"first", "last"}) ++lost;
  }
  EXPECT_EQ(lost, 0) << "of " << kRounds << " rounds";
}

TEST(LogWriter, AddedAppenderGetsLaterLinesAndRemovedOneStops) {
  auto first = std::make_shared<TMemoryAppender>();
  auto second = std::make_shared<TMemoryAppender>();
  auto writer = MakeLogWriter({first});
  writer->Info("one", "t");
  ASSERT_TRUE(WaitFor([&] { return first->Messages().size() == 1; }));
  writer->AddAppender(second);
  writer->DelAppender(first);
  EXPECT_EQ(writer->GetAppenders(0), second);
  EXPECT_THROW(writer->GetAppenders(1), EArgumentException);
  writer->Info("two", "t");
  writer->Shutdown();
  EXPECT_EQ(first->Messages(), (std::vector<std::string>{"one"}));
  EXPECT_EQ(second->Messages(), (std::vector<std::string>{"two"}));
  EXPECT_EQ(first->TearDownCalls(), 1);
}

TEST(LogWriter, FailingFileAppenderNeverWritesAgainAndCallersCarryOn) {
  testing::TempDir dir;
  auto appender = std::make_shared<TLogFileAppender>(5, 1, dir.Path());
  auto writer = MakeLogWriter({appender});
  const std::string current = appender->GetLogFileName("t", 0);
  writer->Info("written before", "t");
  ASSERT_TRUE(WaitFor([&] { return testing::FileExists(current); }));
  testing::SetOwnerWritable(dir.Path(), false);  // the next rotation cannot move the file
  for (int i = 0; i < 30; ++i) writer->Info("filler line to pass the size limit of one KiB " + std::to_string(i), "t");
  ASSERT_TRUE(WaitFor([&] { return testing::ReadFileOrEmpty(current).find("#[ROTATE LOG ") != std::string::npos; }));
  std::this_thread::sleep_for(1500ms);  // the five moves (about 0.5 s) are tried and given up
  testing::SetOwnerWritable(dir.Path(), true);
  for (const std::string tag : {"t", "other"}) writer->Info("after the failure", tag);
  std::this_thread::sleep_for(100ms);
  writer->Shutdown();
  const std::string text = testing::ReadFile(current);
  EXPECT_EQ(text.find("after the failure"), std::string::npos);
  EXPECT_FALSE(testing::FileExists(appender->GetLogFileName("other", 0)));
  EXPECT_FALSE(testing::FileExists(appender->GetLogFileName("t", 1)));
  EXPECT_EQ(testing::SplitCrLf(text).back().rfind("#[ROTATE LOG ", 0), 0u);
}

TEST(LogWriter, StopWithAStuckAppenderIsNotHeldByTheBackOffAndIsReported) {
  // An appender that never gets past Setup: its queue fills at 50000 items and the
  // logger thread then backs off on the next one (361 s before giving up).
  auto stuck = std::make_shared<TMemoryAppender>();
  stuck->setup_failures_left = 1'000'000;
  auto handler = std::make_shared<TLogEventsHandler>();
  std::atomic<int> reports{0};
  std::atomic<bool> report_ok{true};
  handler->OnAppenderError = [&](const std::string& name, const TLogItem&, TLogErrorReason reason,
                                 TLogErrorAction& action) {
    if (name != "TMemoryAppender" || reason != TLogErrorReason::QueueFull) report_ok = false;
    action = TLogErrorAction::SkipNewLog;
    ++reports;
  };
  TAppenderThreadTimings timings;
  timings.setup_retry_delay = 1h;
  auto writer = MakeLogWriter({stuck}, handler, TLogType::Debug, timings);
  constexpr int kItems = 50000 + 5;
  for (int i = 0; i < kItems; ++i) writer->Info("x", "t");
  // A stop that waited out the back-off would outlast the test's time limit.
  writer->Shutdown();
  EXPECT_GE(reports.load(), 1);
  EXPECT_TRUE(report_ok.load());
  EXPECT_TRUE(stuck->Messages().empty());
  EXPECT_EQ(stuck->TearDownCalls(), 1);
}

}  // namespace
}  // namespace ostrivan::logging

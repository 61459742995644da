#include "logging/appender_thread.h"

#include <gtest/gtest.h>

#include "logging/log_file_appender.h"
#include "logging_test_support.h"

namespace ostrivan::logging {
namespace {

using namespace std::chrono_literals;
using test_support::WaitFor;
using testing::TMemoryAppender;

// The state machine's pauses, shortened so that each transition shows within a test.
TAppenderThreadTimings Quick() {
  TAppenderThreadTimings t;
  t.setup_retry_delay = 5ms;
  t.failing_poll = 5ms;
  t.restart_after = 50ms;
  return t;
}

std::unique_ptr<TLogItem> Item(const std::string& message) {
  return std::make_unique<TLogItem>(TLogType::Info, message, "t");
}

TEST(AppenderThread, SetupRetriedThenRunning) {
  auto appender = std::make_shared<TMemoryAppender>();
  appender->setup_failures_left = 10;  // the eleventh call succeeds
  TAppenderQueue queue(100, 10);
  TAppenderThread thread(appender, queue, Quick());
  ASSERT_TRUE(queue.Enqueue(Item("after setup")));
  ASSERT_TRUE(WaitFor([&] { return appender->Messages().size() == 1; }));
  EXPECT_EQ(appender->SetupCalls(), 11);
  EXPECT_EQ(thread.State(), TAppenderThreadState::Running);
}

TEST(AppenderThread, SetupFailingElevenTimesGoesFailingAndNeverWrites) {
  auto appender = std::make_shared<TMemoryAppender>();
  appender->setup_failures_left = 11;
  TAppenderQueue queue(100, 10);
  {
    TAppenderThread thread(appender, queue, Quick());
    ASSERT_TRUE(queue.Enqueue(Item("never written")));
    ASSERT_TRUE(WaitFor([&] {
      return thread.State() == TAppenderThreadState::Failing || thread.State() == TAppenderThreadState::Restarting;
    }));
    std::this_thread::sleep_for(100ms);  // through several Failing/Restarting rounds
    EXPECT_EQ(appender->SetupCalls(), 11);
  }  // termination while failing ends the thread although an item is queued
  EXPECT_TRUE(appender->Messages().empty());
  EXPECT_EQ(appender->TearDownCalls(), 1);
  EXPECT_EQ(queue.QueueSize(), 1u);
}

TEST(AppenderThread, WriteFailureParksTheAppenderUntilARestartSucceeds) {
  auto appender = std::make_shared<TMemoryAppender>();
  appender->write_failures_left = 1;
  appender->restart_answer = false;
  TAppenderQueue queue(100, 10);
  TAppenderThread thread(appender, queue, Quick());
  ASSERT_TRUE(queue.Enqueue(Item("lost with the failure")));
  ASSERT_TRUE(
      WaitFor([&] { return thread.State() != TAppenderThreadState::Running && appender->write_failures_left == 0; }));
  ASSERT_TRUE(queue.Enqueue(Item("waits while failing")));
  // A refused restart keeps it parked: it cycles between Failing and Restarting.
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(appender->Messages().empty());
  EXPECT_NE(appender->GetLastErrorTimeStamp(), TLogTimeStamp{});
  appender->restart_answer = true;
  ASSERT_TRUE(WaitFor([&] { return appender->Messages().size() == 1; }));
  EXPECT_EQ(appender->Messages()[0], "waits while failing");
  EXPECT_EQ(thread.State(), TAppenderThreadState::Running);
  EXPECT_EQ(appender->GetLastErrorTimeStamp(), TLogTimeStamp{});
}

TEST(AppenderThread, TerminationWritesEverythingQueuedFirst) {
  auto appender = std::make_shared<TMemoryAppender>();
  appender->write_delay = 1ms;  // slower than the producer, so items pile up
  TAppenderQueue queue(1000, 10);
  auto thread = std::make_unique<TAppenderThread>(appender, queue, Quick());
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(queue.Enqueue(Item(std::to_string(i))));
  thread->Terminate();
  thread->WaitFor();
  const auto messages = appender->Messages();
  ASSERT_EQ(messages.size(), 200u);
  for (std::size_t i = 0; i < 200; ++i) EXPECT_EQ(messages[i], std::to_string(i));
  EXPECT_EQ(appender->TearDownCalls(), 1);
}

TEST(AppenderThread, ItemsAfterAFailedOneInTheSameBatchWaitForTheRestart) {
  auto appender = std::make_shared<TMemoryAppender>();
  appender->write_failures_left = 1;
  appender->restart_answer = true;
  TAppenderQueue queue(100, 10);
  // Queued before the thread exists, so the first batch holds all of them.
  for (const char* m : {"1", "2", "3"}) ASSERT_TRUE(queue.Enqueue(Item(m)));
  TAppenderThread thread(appender, queue, Quick());
  ASSERT_TRUE(WaitFor([&] { return appender->Messages().size() == 2; }));
  EXPECT_EQ(appender->Messages(), (std::vector<std::string>{"2", "3"}));
  EXPECT_EQ(queue.QueueSize(), 0u);
}

TEST(AppenderThread, FileLinesBeforeAFailedOneInTheSameBatchAreWritten) {
  testing::TempDir dir;
  auto appender = std::make_shared<TLogFileAppender>(5, 2000, dir.Path());
  TAppenderQueue queue(100, 10);
  ASSERT_TRUE(queue.Enqueue(std::make_unique<TLogItem>(TLogType::Info, "before", "t")));
  ASSERT_TRUE(queue.Enqueue(std::make_unique<TLogItem>(TLogType::Info, "bad tag", "a/b")));
  ASSERT_TRUE(queue.Enqueue(std::make_unique<TLogItem>(TLogType::Info, "after", "t")));
  {
    TAppenderThread thread(appender, queue, Quick());
    ASSERT_TRUE(WaitFor([&] { return thread.State() != TAppenderThreadState::Running && queue.QueueSize() == 1; }));
  }
  const auto lines = testing::SplitCrLf(testing::ReadFile(appender->GetLogFileName("t", 0)));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("] before [t]"), std::string::npos);
  // The line after the failure never reaches the file: the file appender stays Failing.
  EXPECT_EQ(queue.QueueSize(), 1u);
}

}  // namespace
}  // namespace ostrivan::logging

// The logging threads' heartbeats, as the service watchdog reads them: a writer stuck in
// a write is seen as not alive within the stall limit, and alive again once it moves.
#include "logging/thread_heartbeat.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "logging/appender_thread.h"
#include "logging/log_writer.h"
#include "logging_test_support.h"

namespace ostrivan::logging {
namespace {

using namespace std::chrono_literals;
using test_support::WaitFor;

// Holds every write until released: a file system that does not answer.
class TStuckAppender : public testing::TMemoryAppender {
 public:
  void WriteLog(const TLogItem& log_item) override {
    while (!released.load()) std::this_thread::sleep_for(1ms);
    TMemoryAppender::WriteLog(log_item);
  }
  std::atomic<bool> released{false};
};

TEST(ThreadHeartbeat, AStuckAppenderThreadIsNotAliveUntilItMovesAgain) {
  auto appender = std::make_shared<TStuckAppender>();
  TAppenderQueue queue(100, 10);
  TAppenderThread thread(appender, queue);
  // Other writers of this process beat at least every half second when idle.
  ASSERT_TRUE(WaitFor([] { return LoggingThreadsAlive(1000ms); }));
  ASSERT_TRUE(queue.Enqueue(std::make_unique<TLogItem>(TLogType::Info, "stuck", "t")));
  EXPECT_TRUE(WaitFor([] { return !LoggingThreadsAlive(1000ms); }, 5s));
  appender->released = true;
  EXPECT_TRUE(WaitFor([] { return LoggingThreadsAlive(1000ms); }, 5s));
  EXPECT_TRUE(WaitFor([&] { return appender->Messages().size() == 1; }));
}

TEST(ThreadHeartbeat, AnIdleWriterKeepsBeatingAndAnEndedThreadNoLongerCounts) {
  auto appender = std::make_shared<testing::TMemoryAppender>();
  auto writer = MakeLogWriter({appender});
  {
    // A thread that stopped beating holds the answer down while it is registered.
    TThreadHeartbeat silent;
    // Idle for longer than the stall limit: the writer's queue waits time out and its
    // threads turn all the same.
    std::this_thread::sleep_for(1300ms);
    EXPECT_FALSE(LoggingThreadsAlive(1000ms));
    silent.Beat();
    EXPECT_TRUE(LoggingThreadsAlive(1000ms));
    std::this_thread::sleep_for(1300ms);
    EXPECT_FALSE(LoggingThreadsAlive(1000ms));
  }
  EXPECT_TRUE(LoggingThreadsAlive(1000ms));
  writer->Shutdown();
}

}  // namespace
}  // namespace ostrivan::logging

#include "platform/console.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <future>
#include <string>

#include "platform/service.h"

namespace platform = ostrivan::platform;
using namespace std::chrono_literals;

namespace {

struct TTestPty {
  int master = -1, slave = -1;
  TTestPty() { EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0); }
  ~TTestPty() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
  void Type(const std::string& keys) const {
    ASSERT_EQ(write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
};

}  // namespace

TEST(Console, RawModeHoldsWhileItLivesAndIsGivenBack) {
  TTestPty pty;
  termios before{};
  ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
  ASSERT_NE(before.c_lflag & ICANON, 0u);
  {
    platform::TRawTerminalMode mode;
    ASSERT_TRUE(mode.TryEnter(pty.slave));
    termios during{};
    ASSERT_EQ(tcgetattr(pty.slave, &during), 0);
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_NE(during.c_lflag & ISIG, 0u) << "Ctrl-C must still request a stop";
  }
  termios after{};
  ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
}

TEST(Console, StandardInputThatIsNoTerminalFailsAndChangesNothing) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  {
    platform::TRawTerminalMode mode;
    const auto entered = mode.TryEnter(p[0]);
    EXPECT_FALSE(entered);
    EXPECT_EQ(entered.Code(), ENOTTY);
  }  // nothing to give back: the destructor touches no descriptor
  close(p[0]);
  close(p[1]);
}

TEST(Console, OnlyALoneEscEndsTheWait) {
  TTestPty pty;
  platform::TRawTerminalMode mode;
  ASSERT_TRUE(mode.TryEnter(pty.slave));
  auto waiting = std::async(std::launch::async, [&] { return platform::TryWaitForEsc(pty.slave); });
  for (const char* keys : {"x", "\x1b[A", "\x1bOQ", "\x1b[24~", "\n"}) {
    pty.Type(keys);
    EXPECT_EQ(waiting.wait_for(150ms), std::future_status::timeout) << keys;
  }
  pty.Type("\x1b");
  ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
  EXPECT_TRUE(waiting.get());
}

TEST(Console, TheTerminalGoingAwayIsAnInputFailure) {
  TTestPty pty;
  auto waiting = std::async(std::launch::async, [&] { return platform::TryWaitForEsc(pty.slave); });
  close(pty.master);
  pty.master = -1;
  ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
  const auto ended = waiting.get();
  EXPECT_FALSE(ended);
  EXPECT_EQ(ended.Code(), EIO);
}

TEST(Console, AStopRequestWakesTheKeyWaitAndIsNoted) {
  TTestPty pty;
  platform::TWaitHandle stop = platform::kNoWaitHandle;
  ASSERT_TRUE(platform::TryCatchStopRequests(stop));
  ASSERT_NE(stop, platform::kNoWaitHandle);
  platform::TWaitHandle again = platform::kNoWaitHandle;
  ASSERT_TRUE(platform::TryCatchStopRequests(again));
  EXPECT_EQ(again, stop);
  auto waiting = std::async(std::launch::async, [&] { return platform::TryWaitForEsc(pty.slave, stop); });
  EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
  // The process goes on: the request is only noted.
  ASSERT_EQ(std::raise(SIGTERM), 0);
  ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
  EXPECT_TRUE(waiting.get());
  EXPECT_EQ(platform::StopRequestSignal(), SIGTERM);
  EXPECT_TRUE(platform::TryWaitForStopRequest(stop));
  ASSERT_EQ(std::raise(SIGINT), 0);
  EXPECT_EQ(platform::StopRequestSignal(), SIGINT);
}

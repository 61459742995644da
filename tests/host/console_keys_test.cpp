#include "host/console_keys.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>

#include "common/error.h"

using namespace std::chrono_literals;
using ostrivan::host::TRawTerminal;
using ostrivan::host::WaitForEsc;

namespace {

struct Pty {
  int master = -1, slave = -1;
  Pty() { EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0); }
  ~Pty() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
  void Send(const std::string& bytes) {
    ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
};

}  // namespace

TEST(ConsoleKeys, OnlyALoneEscStops) {
  Pty pty;
  TRawTerminal raw(pty.slave);
  auto waiting = std::async(std::launch::async, [&] { WaitForEsc(pty.slave); });
  // Ordinary keys, Enter, arrow and function keys are dropped.
  for (const char* keys : {"a", "q\n", "\x1b[A", "\x1b[B", "\x1bOP", "\x1b[15~", "\r"}) {
    pty.Send(keys);
    EXPECT_EQ(waiting.wait_for(150ms), std::future_status::timeout) << keys;
  }
  pty.Send("\x1b");
  ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
  waiting.get();
}

TEST(ConsoleKeys, StopPipeEndsTheWait) {
  Pty pty;
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  auto waiting = std::async(std::launch::async, [&] { WaitForEsc(pty.slave, p[0]); });
  EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
  ASSERT_EQ(write(p[1], "x", 1), 1);
  ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
  close(p[0]);
  close(p[1]);
}

TEST(ConsoleKeys, RawModeIsRestoredAndNonTerminalsFail) {
  Pty pty;
  termios before{};
  ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
  {
    TRawTerminal raw(pty.slave);
    termios during{};
    ASSERT_EQ(tcgetattr(pty.slave, &during), 0);
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
  }
  termios after{};
  ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);

  int p[2];
  ASSERT_EQ(pipe(p), 0);
  try {
    TRawTerminal not_a_terminal(p[0]);
    ADD_FAILURE() << "a pipe was taken for a terminal";
  } catch (const ostrivan::EOSError& e) {
    EXPECT_STREQ(e.ClassName(), "EOSError");
    EXPECT_EQ(e.Message().rfind("System Error.  Code: 25.\r\n", 0), 0u) << e.Message();
  }
  close(p[0]);
  close(p[1]);
}

TEST(ConsoleKeys, HangUpFailsTheRead) {
  Pty pty;
  auto waiting = std::async(std::launch::async, [&] { WaitForEsc(pty.slave); });
  close(pty.master);
  pty.master = -1;
  ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
  EXPECT_THROW(waiting.get(), ostrivan::EOSError);
}

#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <future>

#include "platform/console.h"
#include "platform/service.h"

namespace platform = ostrivan::platform;
using namespace std::chrono_literals;

namespace {

// The console's input, made when the test has none; keys are written into it as a
// keyboard would put them.
struct TTestConsole {
  HANDLE input = INVALID_HANDLE_VALUE;
  TTestConsole() {
    input = OpenInput();
    if (input == INVALID_HANDLE_VALUE) {
      // None, or one that cannot be used (Wine's without a terminal): a new one.
      FreeConsole();
      if (AllocConsole()) input = OpenInput();
    }
    if (input != INVALID_HANDLE_VALUE) FlushConsoleInputBuffer(input);
  }
  static HANDLE OpenInput() {
    HANDLE made = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    DWORD mode = 0;
    if (made != INVALID_HANDLE_VALUE && !GetConsoleMode(made, &mode)) {
      CloseHandle(made);
      made = INVALID_HANDLE_VALUE;
    }
    return made;
  }
  ~TTestConsole() {
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  }
  bool Made() const { return input != INVALID_HANDLE_VALUE; }
  platform::TTerminal Terminal() const { return reinterpret_cast<platform::TTerminal>(input); }
  void Press(WORD key, wchar_t character, bool down = true) const {
    INPUT_RECORD record{};
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = down;
    record.Event.KeyEvent.wRepeatCount = 1;
    record.Event.KeyEvent.wVirtualKeyCode = key;
    record.Event.KeyEvent.uChar.UnicodeChar = character;
    DWORD written = 0;
    ASSERT_TRUE(WriteConsoleInputW(input, &record, 1, &written));
    ASSERT_EQ(written, 1u);
  }
};

}  // namespace

TEST(ConsoleWindows, AHandleThatIsNoConsoleFailsAndChangesNothing) {
  HANDLE read_end = nullptr, write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
  const auto pipe = reinterpret_cast<platform::TTerminal>(read_end);
  {
    platform::TRawTerminalMode mode;
    const auto entered = mode.TryEnter(pipe);
    EXPECT_FALSE(entered);
    EXPECT_EQ(entered.Code(), ENOTTY);
  }
  const auto waited = platform::TryWaitForEsc(pipe);
  EXPECT_FALSE(waited);
  EXPECT_EQ(waited.Code(), ENOTTY);
  CloseHandle(read_end);
  CloseHandle(write_end);
}

TEST(ConsoleWindows, RawModeHoldsWhileItLivesAndIsGivenBack) {
  TTestConsole console;
  if (!console.Made()) GTEST_SKIP() << "no usable console for this process (Wine has one only on a terminal)";
  DWORD before = 0;
  ASSERT_TRUE(GetConsoleMode(console.input, &before));
  ASSERT_TRUE(SetConsoleMode(console.input, before | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT));
  ASSERT_TRUE(GetConsoleMode(console.input, &before));
  {
    platform::TRawTerminalMode mode;
    ASSERT_TRUE(mode.TryEnter(console.Terminal()));
    DWORD during = 0;
    ASSERT_TRUE(GetConsoleMode(console.input, &during));
    EXPECT_EQ(during & (ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT), 0u);
    EXPECT_NE(during & ENABLE_PROCESSED_INPUT, 0u) << "Ctrl+C must still request a stop";
  }
  DWORD after = 0;
  ASSERT_TRUE(GetConsoleMode(console.input, &after));
  EXPECT_EQ(after, before);
}

TEST(ConsoleWindows, OnlyAnEscKeyPressEndsTheWait) {
  TTestConsole console;
  if (!console.Made()) GTEST_SKIP() << "no usable console for this process (Wine has one only on a terminal)";
  auto waiting = std::async(std::launch::async, [&] { return platform::TryWaitForEsc(console.Terminal()); });
  struct Key {
    WORD key;
    wchar_t character;
    bool down;
  };
  // A letter, an arrow, a function key, Enter, and ESC let go of (its press was not seen).
  for (const Key& k : {Key{'X', L'x', true}, Key{VK_UP, 0, true}, Key{VK_F2, 0, true}, Key{VK_RETURN, L'\r', true},
                       Key{VK_ESCAPE, 0x1b, false}}) {
    console.Press(k.key, k.character, k.down);
    EXPECT_EQ(waiting.wait_for(150ms), std::future_status::timeout) << k.key;
  }
  console.Press(VK_ESCAPE, 0x1b);
  ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
  EXPECT_TRUE(waiting.get());
}

TEST(ConsoleWindows, AConsoleStopRequestWakesTheKeyWaitAndIsNoted) {
  TTestConsole console;
  if (!console.Made()) GTEST_SKIP() << "no usable console for this process (Wine has one only on a terminal)";
  // A request stays noted for the life of the process.
  if (platform::StopRequestSignal() != 0) GTEST_SKIP() << "an earlier test of this process requested a stop";
  platform::TWaitHandle stop = platform::kNoWaitHandle;
  ASSERT_TRUE(platform::TryCatchStopRequests(stop));
  ASSERT_NE(stop, platform::kNoWaitHandle);
  platform::TWaitHandle again = platform::kNoWaitHandle;
  ASSERT_TRUE(platform::TryCatchStopRequests(again));
  EXPECT_EQ(again, stop);
  auto waiting = std::async(std::launch::async, [&] { return platform::TryWaitForEsc(console.Terminal(), stop); });
  EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
  // Ctrl+Break to every process of this console: the process goes on, the request noted.
  if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0)) {
    console.Press(VK_ESCAPE, 0x1b);  // the wait ends before the test does
    ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
    GTEST_SKIP() << "this console sends no Ctrl+Break to its processes (Wine's on a terminal)";
  }
  ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(waiting.get());
  EXPECT_EQ(platform::StopRequestSignal(), SIGINT);
  EXPECT_TRUE(platform::TryWaitForStopRequest(stop));
  // A wait of the network layer on the handle sees it too.
  bool ready = false;
  platform::TSocket socket = platform::kNoSocket;
  ASSERT_TRUE(platform::TryOpenTcpSocket(platform::TFamily::kIPv4, socket));
  platform::TOwnedSocket owned(socket);
  ASSERT_TRUE(platform::TryWait(stop, platform::TWaitFor::kReadable, 1000, ready));
  EXPECT_TRUE(ready);
}

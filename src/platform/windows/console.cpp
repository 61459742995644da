#include "platform/console.h"

#include "platform/windows/windows_support.h"

#include <cerrno>

namespace ostrivan::platform {

namespace {

HANDLE ConsoleHandleOf(TTerminal terminal) { return reinterpret_cast<HANDLE>(terminal); }

bool ConsoleIsConsole(HANDLE console) {
  DWORD mode = 0;
  return GetConsoleMode(console, &mode) != 0;
}

// The console went away, or its handle is no longer one.
int ConsoleReadFailure(DWORD error) {
  if (error == ERROR_INVALID_HANDLE || error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA ||
      error == ERROR_HANDLE_EOF)
    return EIO;
  return windows::ErrnoOfSystemError(error);
}

}  // namespace

struct TRawTerminalMode::TSaved {
  HANDLE console = nullptr;
  DWORD mode = 0;
};

TTerminal StandardInputTerminal() { return reinterpret_cast<TTerminal>(GetStdHandle(STD_INPUT_HANDLE)); }

TRawTerminalMode::TRawTerminalMode() noexcept = default;

TRawTerminalMode::~TRawTerminalMode() {
  if (saved_) SetConsoleMode(saved_->console, saved_->mode);
}

TStatus TRawTerminalMode::TryEnter(TTerminal terminal) {
  auto saved = std::make_unique<TSaved>();
  saved->console = ConsoleHandleOf(terminal);
  if (!GetConsoleMode(saved->console, &saved->mode)) return TStatus::Failed(ENOTTY);
  // Keys one by one, unechoed, as key events; Ctrl+C stays the console's stop request.
  DWORD raw = saved->mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_VIRTUAL_TERMINAL_INPUT);
  raw |= ENABLE_PROCESSED_INPUT;
  if (!SetConsoleMode(saved->console, raw)) return TStatus::Failed(windows::ErrnoOfSystemError(GetLastError()));
  saved_ = std::move(saved);
  return {};
}

TStatus TryWaitForEsc(TTerminal terminal, TWaitHandle stop) {
  const HANDLE console = ConsoleHandleOf(terminal);
  if (!ConsoleIsConsole(console)) return TStatus::Failed(ENOTTY);
  // The stop handle is a socket; what a console wait can watch beside it is an event.
  HANDLE stop_event = windows::StopEventOf(stop);
  HANDLE own_event = nullptr;
  if (stop_event == nullptr && stop != kNoWaitHandle) {
    own_event = WSACreateEvent();
    if (own_event == WSA_INVALID_EVENT) return TStatus::Failed(windows::ErrnoOfWinsockError(WSAGetLastError()));
    WSAEventSelect(static_cast<SOCKET>(stop), own_event, FD_READ | FD_CLOSE);
    stop_event = own_event;
  }
  struct TConsoleEventRelease {
    HANDLE event;
    TWaitHandle stop;
    ~TConsoleEventRelease() {
      if (event == nullptr) return;
      WSAEventSelect(static_cast<SOCKET>(stop), nullptr, 0);
      WSACloseEvent(event);
    }
  } release{own_event, stop};

  const HANDLE handles[2] = {console, stop_event};
  const DWORD count = stop_event != nullptr ? 2 : 1;
  for (;;) {
    const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0 + 1) return {};
    if (woke != WAIT_OBJECT_0) return TStatus::Failed(ConsoleReadFailure(GetLastError()));
    DWORD pending = 0;
    if (!GetNumberOfConsoleInputEvents(console, &pending)) return TStatus::Failed(ConsoleReadFailure(GetLastError()));
    if (pending == 0) continue;
    INPUT_RECORD records[16];
    DWORD read = 0;
    if (!ReadConsoleInputW(console, records, 16, &read)) return TStatus::Failed(ConsoleReadFailure(GetLastError()));
    // The console names each key, so an arrow or function key is never taken for ESC.
    for (DWORD i = 0; i < read; ++i) {
      const INPUT_RECORD& record = records[i];
      if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
          record.Event.KeyEvent.wVirtualKeyCode == VK_ESCAPE)
        return {};
    }
  }
}

}  // namespace ostrivan::platform

#include "platform/service.h"

#include "platform/windows/windows_support.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>

namespace ostrivan::platform {

// A stop request (the console's Ctrl+C, Ctrl+Break, close, logoff and shutdown events,
// or the service control manager's stop) wakes two things: a loopback socket pair,
// whose reading end is the handle a select of net.h watches, and an event, which the
// console's key wait watches beside the console.

namespace {

std::atomic<int> g_stop_signal{0};
std::atomic<bool> g_ignore_logoff{false};
std::once_flag g_stop_made;
TStatus g_stop_made_status;
SOCKET g_stop_read = INVALID_SOCKET;
SOCKET g_stop_write = INVALID_SOCKET;
HANDLE g_stop_event = nullptr;

// Two connected sockets over loopback: what the system offers in place of a pipe that
// select can watch.
TStatus ServiceMakeSocketPair(SOCKET& read_end, SOCKET& write_end) {
  TSocket listener = kNoSocket;
  if (const TStatus opened = TryOpenTcpSocket(TFamily::kIPv4, listener); !opened) return opened;
  TOwnedSocket owned_listener(listener);
  if (const TStatus bound = TryBindTcp(listener, TFamily::kIPv4, "127.0.0.1", 0, false); !bound) return bound;
  if (const TStatus listening = TryListen(listener, 1, std::chrono::seconds(5)); !listening) return listening;
  std::uint16_t port = 0;
  if (const TStatus asked = TryLocalPort(listener, port); !asked) return asked;
  TSocket writer = kNoSocket;
  if (const TStatus opened = TryOpenTcpSocket(TFamily::kIPv4, writer); !opened) return opened;
  TOwnedSocket owned_writer(writer);
  TEndpoint endpoint;
  endpoint.Address = {127, 0, 0, 1};
  endpoint.Port = port;
  if (const TStatus connected = TryConnect(writer, endpoint); !connected) return connected;
  TSocket reader = kNoSocket;
  std::string peer;
  if (const TStatus accepted = TryAccept(listener, reader, peer); !accepted) return accepted;
  (void)TrySetNoDelay(writer);
  read_end = static_cast<SOCKET>(reader);
  write_end = static_cast<SOCKET>(owned_writer.Release());
  return {};
}

BOOL WINAPI ServiceConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT: windows::NoteStopRequest(SIGINT); return TRUE;
    case CTRL_LOGOFF_EVENT:
      if (g_ignore_logoff) return TRUE;  // handled: another user's logoff is none of ours
      [[fallthrough]];
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      windows::NoteStopRequest(SIGTERM);
      // The process ends when this returns: hold on, so the orderly stop can run until
      // the program ends itself or the system's allowance runs out.
      Sleep(INFINITE);
      return TRUE;
    default: return FALSE;
  }
}

}  // namespace

namespace windows {

void NoteStopRequest(int signal_number) {
  g_stop_signal = signal_number;
  if (g_stop_write != INVALID_SOCKET) send(g_stop_write, "x", 1, 0);
  if (g_stop_event != nullptr) SetEvent(g_stop_event);
}

HANDLE StopEventOf(TWaitHandle handle) {
  return handle != kNoWaitHandle && static_cast<SOCKET>(handle) == g_stop_read ? g_stop_event : nullptr;
}

void IgnoreLogoff(bool ignore) { g_ignore_logoff = ignore; }

}  // namespace windows

TStatus TryCatchStopRequests(TWaitHandle& handle) {
  std::call_once(g_stop_made, [] {
    g_stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SOCKET read_end = INVALID_SOCKET, write_end = INVALID_SOCKET;
    g_stop_made_status = ServiceMakeSocketPair(read_end, write_end);
    if (g_stop_made_status) {
      g_stop_read = read_end;
      g_stop_write = write_end;
    } else if (g_stop_event == nullptr) {
      g_stop_made_status = TStatus::Failed(windows::ErrnoOfSystemError(GetLastError()));
    }
    if (g_stop_event != nullptr && g_stop_signal != 0) SetEvent(g_stop_event);
    SetConsoleCtrlHandler(&ServiceConsoleEvent, TRUE);
  });
  handle = g_stop_read != INVALID_SOCKET ? static_cast<TWaitHandle>(g_stop_read) : kNoWaitHandle;
  return g_stop_made_status;
}

int StopRequestSignal() { return g_stop_signal; }

TStatus TryWaitForStopRequest(TWaitHandle handle) {
  if (HANDLE event = windows::StopEventOf(handle); event != nullptr) {
    if (WaitForSingleObject(event, INFINITE) == WAIT_FAILED)
      return TStatus::Failed(windows::ErrnoOfSystemError(GetLastError()));
    return {};
  }
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(handle), &readable);
    const int n = select(0, &readable, nullptr, nullptr, nullptr);
    if (n == SOCKET_ERROR) return TStatus::Failed(windows::ErrnoOfWinsockError(WSAGetLastError()));
    if (n > 0) return {};
  }
}

// Windows has no SIGPIPE: a write to a vanished peer fails with an error already.
void IgnoreBrokenPipeSignal(TIgnoreBrokenPipe) {}

}  // namespace ostrivan::platform

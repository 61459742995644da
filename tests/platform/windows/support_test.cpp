// The Windows side's own plumbing, beneath what the neutral tests reach: the error codes
// it translates, its wide strings, handles no child inherits, and the stop request's
// wake-up where no console can send one.
#include "platform/windows/windows_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <future>

#include "platform/console.h"
#include "platform/net.h"
#include "platform/service.h"

namespace platform = ostrivan::platform;
namespace windows = ostrivan::platform::windows;
using namespace std::chrono_literals;

TEST(WindowsSupport, SystemErrorsReadAsErrnoValues) {
  struct Case {
    int winsock;
    int errno_value;
  };
  const Case winsock_cases[] = {
      {WSAECONNRESET, ECONNRESET},
      {WSAEWOULDBLOCK, EAGAIN},
      {WSAEMFILE, EMFILE},
      {WSAEADDRINUSE, EADDRINUSE},
      {WSAECONNABORTED, ECONNABORTED},
      {WSAECONNREFUSED, ECONNREFUSED},
      {WSAEINPROGRESS, EINPROGRESS},
      {WSAENOBUFS, ENOBUFS},
      {WSAESHUTDOWN, EPIPE},
      {WSAETIMEDOUT, ETIMEDOUT},
      {WSAEADDRNOTAVAIL, EADDRNOTAVAIL},
      {WSAEHOSTUNREACH, EHOSTUNREACH},
      {0, 0},
  };
  for (const Case& c : winsock_cases) EXPECT_EQ(windows::ErrnoOfWinsockError(c.winsock), c.errno_value) << c.winsock;
  const Case system_cases[] = {
      {ERROR_FILE_NOT_FOUND, ENOENT}, {ERROR_ACCESS_DENIED, EACCES}, {ERROR_ALREADY_EXISTS, EEXIST},
      {ERROR_DISK_FULL, ENOSPC},      {ERROR_OUTOFMEMORY, ENOMEM},   {ERROR_SUCCESS, 0},
  };
  for (const Case& c : system_cases)
    EXPECT_EQ(windows::ErrnoOfSystemError(static_cast<DWORD>(c.winsock)), c.errno_value) << c.winsock;
  EXPECT_FALSE(windows::SystemMessage(ERROR_FILE_NOT_FOUND).empty());
}

TEST(WindowsSupport, Utf8AndWideStringsRoundTrip) {
  const std::string texts[] = {"", "plain", "Kyiv \xD0\x9A\xD0\xB8\xD1\x97\xD0\xB2",
                               "\xF0\x9F\x93\xA6 outside the BMP"};
  for (const std::string& text : texts) {
    const std::wstring wide = windows::WideOf(text);
    EXPECT_EQ(windows::Utf8Of(wide.c_str(), static_cast<int>(wide.size())), text);
    EXPECT_EQ(windows::Utf8Of(wide.c_str()), text);
  }
  EXPECT_EQ(windows::WideOf("\xD0\x9A"), std::wstring(L"\u041a"));
  EXPECT_EQ(windows::WideOf("\xF0\x9F\x93\xA6").size(), 2u) << "a surrogate pair";
}

TEST(WindowsSupport, SocketsAreNotInherited) {
  std::uint16_t port = 0;
  platform::TSocket made = platform::kNoSocket;
  ASSERT_TRUE(platform::TryOpenTcpSocket(platform::TFamily::kIPv4, made));
  platform::TOwnedSocket listener(made);
  ASSERT_TRUE(platform::TryBindTcp(listener.Get(), platform::TFamily::kIPv4, "127.0.0.1", 0, false));
  ASSERT_TRUE(platform::TryListen(listener.Get(), 4, std::chrono::seconds(5)));
  ASSERT_TRUE(platform::TryLocalPort(listener.Get(), port));
  ASSERT_TRUE(platform::TryOpenTcpSocket(platform::TFamily::kIPv4, made));
  platform::TOwnedSocket client(made);
  platform::TEndpoint endpoint;
  endpoint.Address = {127, 0, 0, 1};
  endpoint.Port = port;
  ASSERT_TRUE(platform::TryConnect(client.Get(), endpoint)) << "a socket opened blocking connects before returning";
  std::string peer;
  ASSERT_TRUE(platform::TryAccept(listener.Get(), made, peer));
  platform::TOwnedSocket server(made);
  EXPECT_EQ(peer, "127.0.0.1");
  for (const platform::TSocket socket : {listener.Get(), client.Get(), server.Get()}) {
    DWORD flags = HANDLE_FLAG_INHERIT;
    ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(socket), &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
  }
  // Sending never blocks, receiving without waiting never does either.
  char got = 0;
  std::size_t n = 0;
  const auto nothing = platform::TryReceive(server.Get(), &got, 1, true, n);
  EXPECT_FALSE(nothing);
  EXPECT_EQ(nothing.Code(), EAGAIN);
  ASSERT_TRUE(platform::TrySend(client.Get(), "z", 1, n));
  ASSERT_TRUE(platform::TryReceive(server.Get(), &got, 1, false, n));
  EXPECT_EQ(got, 'z');
  // A receive that waits wakes when another thread shuts the socket down, and reads an end.
  auto waiting = std::async(std::launch::async, [&] { return platform::TryReceive(server.Get(), &got, 1, false, n); });
  EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
  platform::ShutdownBoth(server.Get());
  ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(waiting.get());
  EXPECT_EQ(n, 0u);
}

TEST(WindowsSupport, AStopRequestWakesEveryWaitOnItsHandle) {
  platform::TWaitHandle stop = platform::kNoWaitHandle;
  ASSERT_TRUE(platform::TryCatchStopRequests(stop));
  ASSERT_NE(stop, platform::kNoWaitHandle);
  ASSERT_NE(windows::StopEventOf(stop), nullptr);
  EXPECT_EQ(windows::StopEventOf(stop + 4), nullptr);
  // A network wait watching the handle, beside a socket that stays quiet.
  platform::TSocket made = platform::kNoSocket;
  ASSERT_TRUE(platform::TryOpenTcpSocket(platform::TFamily::kIPv4, made));
  platform::TOwnedSocket quiet(made);
  ASSERT_TRUE(platform::TryBindTcp(quiet.Get(), platform::TFamily::kIPv4, "127.0.0.1", 0, false));
  ASSERT_TRUE(platform::TryListen(quiet.Get(), 1, std::chrono::seconds(5)));
  auto net_wait = std::async(std::launch::async, [&] {
    bool ready = true;
    const auto waited = platform::TryWait(quiet.Get(), platform::TWaitFor::kReadable, 20000, ready, stop);
    return waited.Ok() && !ready;
  });
  auto stop_wait = std::async(std::launch::async, [&] { return platform::TryWaitForStopRequest(stop); });
  EXPECT_EQ(net_wait.wait_for(100ms), std::future_status::timeout);
  EXPECT_EQ(stop_wait.wait_for(0ms), std::future_status::timeout);
  // What the console's Ctrl+Break and the service control manager's stop both call.
  windows::NoteStopRequest(SIGTERM);
  ASSERT_EQ(net_wait.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(net_wait.get()) << "woken, not ready";
  ASSERT_EQ(stop_wait.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(stop_wait.get());
  EXPECT_EQ(platform::StopRequestSignal(), SIGTERM);
}

#include "platform/net.h"

// clang-format off
#include "platform/windows/windows_support.h"
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <iphlpapi.h>
// clang-format on

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace ostrivan::platform {

// Every socket of this layer is non-blocking underneath: a send must never block, and
// Winsock has no per-call "don't wait". The calls that block (an accept, a receive that
// may wait, a connect on a socket opened blocking) wait with select in slices and look
// between slices whether ShutdownBoth was called from another thread, because a shutdown
// wakes no wait of Winsock's the way it does on Linux (a listener cannot be shut down).
//
// The delivery proof is SIO_TCP_INFO (TCP_INFO_v0, Windows 10 1703 on): bytes the socket
// took but TCP has not sent (those handed to send, counted here, less BytesOut less
// BytesRetrans) plus BytesInFlight, plus one while our FIN waits for its acknowledgement.
// Where the system has no SIO_TCP_INFO, TryUnacknowledgedBytes fails with ENOTSUP:
// the system cannot tell.

namespace {

using windows::ErrnoOfWinsockError;

constexpr int kNetWaitSliceMs = 200;

// What Winsock does not keep for us about a socket.
struct TNetSocketState {
  bool Blocking = false;          // opened blocking: a connect waits
  bool Shut = false;              // ShutdownBoth was called
  bool SendingShut = false;       // our FIN was asked for
  std::uint64_t Handed = 0;       // bytes send took
  DWORD AcceptWaitMs = INFINITE;  // a listener's wait for a connection
};

std::mutex g_net_lock;
std::unordered_map<SOCKET, TNetSocketState> g_net_states;

template <class F>
auto NetWithState(TSocket socket, F&& use) {
  std::lock_guard<std::mutex> guard(g_net_lock);
  return use(g_net_states[static_cast<SOCKET>(socket)]);
}

bool NetShut(TSocket socket) {
  std::lock_guard<std::mutex> guard(g_net_lock);
  const auto found = g_net_states.find(static_cast<SOCKET>(socket));
  return found != g_net_states.end() && found->second.Shut;
}

SOCKET NetSock(TSocket socket) { return static_cast<SOCKET>(socket); }

TStatus NetLastError() { return TStatus::Failed(ErrnoOfWinsockError(WSAGetLastError())); }

int NetFamilyNumberOf(TFamily family) { return family == TFamily::kIPv6 ? AF_INET6 : AF_INET; }

bool NetSetNonBlocking(SOCKET s) {
  u_long one = 1;
  return ioctlsocket(s, static_cast<long>(FIONBIO), &one) == 0;
}

int NetSocketAddress(TFamily family, const TAddressBytes& bytes, std::uint16_t port, sockaddr_storage& addr) {
  addr = {};
  if (family == TFamily::kIPv6) {
    auto& a6 = reinterpret_cast<sockaddr_in6&>(addr);
    a6.sin6_family = AF_INET6;
    a6.sin6_port = htons(port);
    std::memcpy(&a6.sin6_addr, bytes.data(), 16);
    return sizeof a6;
  }
  auto& a4 = reinterpret_cast<sockaddr_in&>(addr);
  a4.sin_family = AF_INET;
  a4.sin_port = htons(port);
  std::memcpy(&a4.sin_addr, bytes.data(), 4);
  return sizeof a4;
}

std::string NetAddressTextOf(const sockaddr_storage& addr) {
  TAddressBytes bytes{};
  if (addr.ss_family == AF_INET) {
    std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, 4);
    return AddressText(TFamily::kIPv4, bytes);
  }
  if (addr.ss_family == AF_INET6) {
    std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr, 16);
    return AddressText(TFamily::kIPv6, bytes);
  }
  return {};
}

// One select on the socket (and the wake socket), up to timeout_ms (-1: without limit):
// 1 ready, 0 not, -1 failed.
int NetSelectOnce(SOCKET s, TWaitFor what, int timeout_ms, SOCKET wake, bool& woken) {
  fd_set readable, writable, failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  if (what == TWaitFor::kReadable) FD_SET(s, &readable);
  else FD_SET(s, &writable);
  FD_SET(s, &failed);  // a failed connect shows here only
  if (wake != INVALID_SOCKET) FD_SET(wake, &readable);
  timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  const int n = select(0, &readable, &writable, &failed, timeout_ms < 0 ? nullptr : &limit);
  if (n == SOCKET_ERROR) return -1;
  woken = wake != INVALID_SOCKET && FD_ISSET(wake, &readable);
  return FD_ISSET(s, &readable) || FD_ISSET(s, &writable) || FD_ISSET(s, &failed) ? 1 : 0;
}

// Waits in slices until ready, the time runs out, wake turns readable or the socket is
// shut down (which reads as ready, as a shut socket does on Linux).
TStatus NetWait(TSocket socket, TWaitFor what, int timeout_ms, bool& ready, TWaitHandle wake) {
  ready = false;
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    if (NetShut(socket)) {
      ready = true;
      return {};
    }
    int slice = kNetWaitSliceMs;
    if (timeout_ms >= 0) {
      const auto spent = static_cast<long long>(GetTickCount64() - start);
      if (timeout_ms > 0 && spent >= timeout_ms) return {};
      slice = static_cast<int>(std::min<long long>(slice, std::max<long long>(timeout_ms - spent, 0)));
    }
    bool woken = false;
    const SOCKET wake_socket = wake == kNoWaitHandle ? INVALID_SOCKET : static_cast<SOCKET>(wake);
    const int n = NetSelectOnce(NetSock(socket), what, slice, wake_socket, woken);
    if (n < 0) return NetLastError();
    if (n > 0) {
      ready = true;
      return {};
    }
    if (woken || timeout_ms == 0) return {};
  }
}

// TCP's own view of the connection, where the system gives it.
bool NetTcpInfo(TSocket socket, TCP_INFO_v0& info) {
  DWORD version = 0, returned = 0;
  return WSAIoctl(NetSock(socket), SIO_TCP_INFO, &version, sizeof version, &info, sizeof info, &returned, nullptr,
                  nullptr) == 0 &&
         returned >= sizeof info;
}

// The system's table of listening TCP sockets of one family holds the port.
bool NetListedAsListening(ULONG family, std::uint16_t port) {
  ULONG size = 0;
  GetExtendedTcpTable(nullptr, &size, FALSE, family, TCP_TABLE_BASIC_LISTENER, 0);
  for (int attempt = 0; attempt < 3 && size > 0; ++attempt) {
    std::string buffer(size, '\0');
    const DWORD rc = GetExtendedTcpTable(buffer.data(), &size, FALSE, family, TCP_TABLE_BASIC_LISTENER, 0);
    if (rc == ERROR_INSUFFICIENT_BUFFER) continue;
    if (rc != NO_ERROR) return false;
    if (family == AF_INET) {
      const auto* table = reinterpret_cast<const MIB_TCPTABLE*>(buffer.data());
      for (DWORD i = 0; i < table->dwNumEntries; ++i)
        if (ntohs(static_cast<u_short>(table->table[i].dwLocalPort)) == port) return true;
    } else {
      const auto* table = reinterpret_cast<const MIB_TCP6TABLE*>(buffer.data());
      for (DWORD i = 0; i < table->dwNumEntries; ++i)
        if (ntohs(static_cast<u_short>(table->table[i].dwLocalPort)) == port) return true;
    }
    return false;
  }
  return false;
}

bool NetLoopbackAnswers(TFamily family, std::uint16_t port) {
  TSocket made = kNoSocket;
  if (!TryOpenTcpSocket(family, made, true)) return false;
  TOwnedSocket socket(made);
  TEndpoint endpoint;
  endpoint.Family = family;
  endpoint.Port = port;
  if (family == TFamily::kIPv4) {
    endpoint.Address = {127, 0, 0, 1};
  } else {
    endpoint.Address[15] = 1;
  }
  const TStatus started = TryConnect(socket.Get(), endpoint);
  if (started) return true;
  if (started.Code() != EINPROGRESS) return false;
  bool ready = false;
  int error = -1;
  return TryWait(socket.Get(), TWaitFor::kWritable, 1000, ready) && ready && TryPendingError(socket.Get(), error) &&
         error == 0;
}

// The numeric text of an address and its reading, done here so that both read and write
// exactly as on Linux (Winsock's own differ on some IPv6 forms).
std::string NetIPv4Text(const std::uint8_t* b) {
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

bool NetParseIPv4(const char* text, const char* end, std::uint8_t* out) {
  int parts = 0;
  const char* p = text;
  while (p < end) {
    if (parts == 4) return false;
    if (*p < '0' || *p > '9') return false;
    unsigned value = 0;
    const char* digits = p;
    while (p < end && *p >= '0' && *p <= '9') {
      value = value * 10 + static_cast<unsigned>(*p - '0');
      if (value > 255) return false;
      ++p;
    }
    if (p - digits > 1 && *digits == '0') return false;  // no leading zero
    out[parts++] = static_cast<std::uint8_t>(value);
    if (p < end) {
      if (*p != '.' || parts == 4) return false;
      ++p;
      if (p == end) return false;
    }
  }
  return parts == 4;
}

int NetHexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool NetParseIPv6(const std::string& text, std::uint8_t* out) {
  std::uint8_t bytes[16] = {};
  int at = 0;    // bytes filled
  int gap = -1;  // where "::" stands
  const char* p = text.c_str();
  const char* const end = p + text.size();
  if (p == end) return false;
  if (*p == ':') {
    if (p + 1 == end || p[1] != ':') return false;
    ++p;
  }
  const char* group = p;
  bool saw_digit = false;
  unsigned value = 0;
  while (p < end) {
    const char c = *p++;
    const int digit = NetHexDigit(c);
    if (digit >= 0) {
      value = (value << 4) | static_cast<unsigned>(digit);
      if (value > 0xffff || p - group > 4) return false;
      saw_digit = true;
      continue;
    }
    if (c == ':') {
      if (!saw_digit) {
        if (gap >= 0) return false;
        gap = at;
        group = p;
        continue;
      }
      if (p == end || at + 2 > 16) return false;
      bytes[at++] = static_cast<std::uint8_t>(value >> 8);
      bytes[at++] = static_cast<std::uint8_t>(value);
      saw_digit = false;
      value = 0;
      group = p;
      continue;
    }
    if (c == '.' && at + 4 <= 16) {
      if (!NetParseIPv4(group, end, bytes + at)) return false;
      at += 4;
      saw_digit = false;
      break;
    }
    return false;
  }
  if (saw_digit) {
    if (at + 2 > 16) return false;
    bytes[at++] = static_cast<std::uint8_t>(value >> 8);
    bytes[at++] = static_cast<std::uint8_t>(value);
  }
  if (gap >= 0) {
    if (at == 16) return false;
    const int moved = at - gap;
    std::memmove(bytes + 16 - moved, bytes + gap, static_cast<std::size_t>(moved));
    std::memset(bytes + gap, 0, static_cast<std::size_t>(16 - moved - gap));
    at = 16;
  }
  if (at != 16) return false;
  std::memcpy(out, bytes, 16);
  return true;
}

std::string NetIPv6Text(const std::uint8_t* b) {
  unsigned words[8];
  for (int i = 0; i < 8; ++i) words[i] = (static_cast<unsigned>(b[2 * i]) << 8) | b[2 * i + 1];
  // The longest run of zero words (the first of equals), of two words at least, is "::".
  int best = -1, best_length = 0;
  for (int i = 0; i < 8;) {
    if (words[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && words[j] == 0) ++j;
    if (j - i > best_length) {
      best = i;
      best_length = j - i;
    }
    i = j;
  }
  if (best_length < 2) best = -1;
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 8; ++i) {
    if (best >= 0 && i >= best && i < best + best_length) {
      if (i == best) text += ':';
      continue;
    }
    if (i != 0) text += ':';
    // An IPv4 address kept in IPv6 (::a.b.c.d, ::ffff:a.b.c.d) shows its dotted tail.
    if (i == 6 && best == 0 && (best_length == 6 || (best_length == 5 && words[5] == 0xffff))) {
      text += NetIPv4Text(b + 12);
      break;
    }
    bool leading = true;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const unsigned digit = (words[i] >> shift) & 0xf;
      if (digit == 0 && leading && shift != 0) continue;
      leading = false;
      text += kHex[digit];
    }
  }
  if (best >= 0 && best + best_length == 8) text += ':';
  return text;
}

}  // namespace

int FamilyNumber(TFamily family) { return NetFamilyNumberOf(family); }

TFamily FamilyFromNumber(int number) { return number == AF_INET6 ? TFamily::kIPv6 : TFamily::kIPv4; }

std::string AddressText(TFamily family, const TAddressBytes& bytes) {
  return family == TFamily::kIPv6 ? NetIPv6Text(bytes.data()) : NetIPv4Text(bytes.data());
}

TStatus TryParseAddress(const std::string& text, TFamily family, TAddressBytes& bytes) {
  bytes.fill(0);
  const bool parsed = family == TFamily::kIPv6 ? NetParseIPv6(text, bytes.data())
                                               : NetParseIPv4(text.c_str(), text.c_str() + text.size(), bytes.data());
  if (parsed) return {};
  bytes.fill(0);
  return TStatus::Failed(EINVAL, text);
}

bool IPv6Available() {
  if (!windows::StartWinsock()) return false;
  const SOCKET s = WSASocketW(AF_INET6, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return false;
  closesocket(s);
  return true;
}

TStatus TryOpenTcpSocket(TFamily family, TSocket& socket, bool non_blocking) {
  socket = kNoSocket;
  if (!windows::StartWinsock()) return TStatus::Failed(ENETDOWN);
  const SOCKET s = WSASocketW(NetFamilyNumberOf(family), SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return NetLastError();
  if (!NetSetNonBlocking(s)) {
    const TStatus failed = NetLastError();
    closesocket(s);
    return failed;
  }
  socket = static_cast<TSocket>(s);
  NetWithState(socket, [&](TNetSocketState& state) {
    state = {};
    state.Blocking = !non_blocking;
    return 0;
  });
  return {};
}

TStatus TryBindTcp(TSocket socket, TFamily family, const std::string& address, std::uint16_t port,
                   bool /*reuse_address*/) {
  const SOCKET s = NetSock(socket);
  DWORD one = 1;
  if (family == TFamily::kIPv6)
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&one), sizeof one);
  // Never SO_REUSEADDR on Windows: it would let another socket take a port we listen on.
  // Exclusive use keeps it ours; a restart over connections in TIME_WAIT still binds,
  // which is all reuse_address asks for on Linux.
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  TAddressBytes bytes{};  // the any-address of either family is all zero
  if (!address.empty()) {
    if (const TStatus parsed = TryParseAddress(address, family, bytes); !parsed) return parsed;
  }
  sockaddr_storage addr{};
  const int len = NetSocketAddress(family, bytes, port, addr);
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    // Refused because another socket holds the port for itself: the port is in use.
    const int error = WSAGetLastError();
    return TStatus::Failed(error == WSAEACCES ? EADDRINUSE : ErrnoOfWinsockError(error));
  }
  return {};
}

TStatus TrySetNoDelay(TSocket socket) {
  DWORD one = 1;
  if (setsockopt(NetSock(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one) != 0)
    return NetLastError();
  return {};
}

TStatus TryListen(TSocket socket, int backlog, std::chrono::seconds accept_wait) {
  if (listen(NetSock(socket), backlog) != 0) return NetLastError();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(accept_wait).count();
  NetWithState(socket, [&](TNetSocketState& state) {
    state.AcceptWaitMs = ms <= 0 ? INFINITE : static_cast<DWORD>(std::min<long long>(ms, INFINITE - 1));
    return 0;
  });
  return {};
}

TStatus TryAccept(TSocket listener, TSocket& connection, std::string& peer_address) {
  connection = kNoSocket;
  const DWORD wait_ms = NetWithState(listener, [](TNetSocketState& state) { return state.AcceptWaitMs; });
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    if (NetShut(listener)) return TStatus::Failed(EINVAL);  // as accept on a shut listener
    sockaddr_storage addr{};
    int len = sizeof addr;
    const SOCKET s = accept(NetSock(listener), reinterpret_cast<sockaddr*>(&addr), &len);
    if (s != INVALID_SOCKET) {
      // Not inherited, and non-blocking like the listener it came from.
      SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
      NetSetNonBlocking(s);
      connection = static_cast<TSocket>(s);
      NetWithState(connection, [](TNetSocketState& state) {
        state = {};
        return 0;
      });
      peer_address = NetAddressTextOf(addr);
      return {};
    }
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK && error != WSAECONNRESET) return TStatus::Failed(ErrnoOfWinsockError(error));
    int left = -1;
    if (wait_ms != INFINITE) {
      const ULONGLONG spent = GetTickCount64() - start;
      if (spent >= wait_ms) return TStatus::Failed(EAGAIN);
      left = static_cast<int>(wait_ms - spent);
    }
    bool ready = false;
    if (const TStatus waited = NetWait(listener, TWaitFor::kReadable, left, ready, kNoWaitHandle); !waited)
      return waited;
  }
}

TStatus TryLocalPort(TSocket socket, std::uint16_t& port) {
  sockaddr_storage addr{};
  int len = sizeof addr;
  if (getsockname(NetSock(socket), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return NetLastError();
  if (addr.ss_family == AF_INET) port = ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
  else if (addr.ss_family == AF_INET6) port = ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
  else port = 0;
  return {};
}

TStatus TryPeerAddress(TSocket socket, std::string& address) {
  sockaddr_storage addr{};
  int len = sizeof addr;
  if (getpeername(NetSock(socket), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return NetLastError();
  address = NetAddressTextOf(addr);
  return {};
}

TStatus TryReceive(TSocket socket, char* buffer, std::size_t size, bool dont_wait, std::size_t& received) {
  received = 0;
  const int asked = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
  for (;;) {
    const int n = recv(NetSock(socket), buffer, asked, 0);
    if (n >= 0) {
      received = static_cast<std::size_t>(n);
      return {};
    }
    const int error = WSAGetLastError();
    // After our own shutdown of both directions the stream reads as ended, as on Linux.
    if (error == WSAESHUTDOWN) return {};
    if (error != WSAEWOULDBLOCK || dont_wait) return TStatus::Failed(ErrnoOfWinsockError(error));
    bool ready = false;
    if (const TStatus waited = NetWait(socket, TWaitFor::kReadable, -1, ready, kNoWaitHandle); !waited) return waited;
    if (NetShut(socket)) return {};
  }
}

TStatus TrySend(TSocket socket, const char* data, std::size_t size, std::size_t& sent) {
  sent = 0;
  const int asked = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
  const int n = send(NetSock(socket), data, asked, 0);
  if (n < 0) return NetLastError();
  sent = static_cast<std::size_t>(n);
  NetWithState(socket, [&](TNetSocketState& state) {
    state.Handed += sent;
    return 0;
  });
  return {};
}

TStatus TryWait(TSocket socket, TWaitFor what, int timeout_ms, bool& ready, TWaitHandle wake) {
  return NetWait(socket, what, timeout_ms, ready, wake);
}

TStatus TryUnacknowledgedBytes(TSocket socket, std::int64_t& bytes) {
  TCP_INFO_v0 info{};
  if (!NetTcpInfo(socket, info)) return TStatus::Failed(ENOTSUP);
  const auto [handed, fin_asked] =
      NetWithState(socket, [](TNetSocketState& state) { return std::make_pair(state.Handed, state.SendingShut); });
  // BytesOut counts retransmitted bytes again.
  const std::uint64_t first_sent = info.BytesOut >= info.BytesRetrans ? info.BytesOut - info.BytesRetrans : 0;
  const std::uint64_t unsent = handed > first_sent ? handed - first_sent : 0;
  std::int64_t total = static_cast<std::int64_t>(unsent) + static_cast<std::int64_t>(info.BytesInFlight);
  // Our FIN, until its acknowledgement moves the connection past these states.
  if (fin_asked &&
      (info.State == TCPSTATE_ESTABLISHED || info.State == TCPSTATE_CLOSE_WAIT || info.State == TCPSTATE_FIN_WAIT_1 ||
       info.State == TCPSTATE_CLOSING || info.State == TCPSTATE_LAST_ACK))
    ++total;
  bytes = total;
  return {};
}

TStatus TryConnectionClosed(TSocket socket, bool& closed) {
  TCP_INFO_v0 info{};
  if (NetTcpInfo(socket, info)) {
    closed = info.State == TCPSTATE_CLOSED || info.State == TCPSTATE_TIME_WAIT;
    return {};
  }
  // Without TCP's state: a reset shows as the error a look at the stream gives.
  char byte = 0;
  const int n = recv(NetSock(socket), &byte, 1, MSG_PEEK);
  if (n >= 0) {
    closed = false;
    return {};
  }
  const int error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK) {
    closed = false;
    return {};
  }
  if (error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAENETRESET || error == WSAETIMEDOUT) {
    closed = true;
    return {};
  }
  return TStatus::Failed(ErrnoOfWinsockError(error));
}

TStatus TryPendingError(TSocket socket, int& error) {
  int held = 0;
  int len = sizeof held;
  if (getsockopt(NetSock(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&held), &len) != 0)
    return NetLastError();
  error = ErrnoOfWinsockError(held);
  return {};
}

void ShutdownSending(TSocket socket) {
  NetWithState(socket, [](TNetSocketState& state) {
    state.SendingShut = true;
    return 0;
  });
  shutdown(NetSock(socket), SD_SEND);
}

void ShutdownBoth(TSocket socket) {
  NetWithState(socket, [](TNetSocketState& state) {
    state.Shut = true;
    state.SendingShut = true;
    return 0;
  });
  shutdown(NetSock(socket), SD_BOTH);  // a listener refuses this: the mark above wakes its accept
}

void CloseSocket(TSocket socket) {
  {
    std::lock_guard<std::mutex> guard(g_net_lock);
    g_net_states.erase(NetSock(socket));
  }
  closesocket(NetSock(socket));
}

void CloseSocketWithReset(TSocket socket) {
  linger reset{1, 0};
  setsockopt(NetSock(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset), sizeof reset);
  CloseSocket(socket);
}

TStatus TryResolve(const std::string& host, std::uint16_t port, std::vector<TEndpoint>& endpoints,
                   std::string& reason) {
  if (!windows::StartWinsock()) {
    reason = "Winsock could not be started";
    return TStatus::Failed(ENETDOWN, host);
  }
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOW* found = nullptr;
  const std::wstring wide_host = windows::WideOf(host);
  const std::wstring service = std::to_wstring(port);
  const int rc = GetAddrInfoW(wide_host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    reason = windows::SystemMessage(static_cast<DWORD>(rc));
    const int code = rc == WSA_NOT_ENOUGH_MEMORY ? ENOMEM : EHOSTUNREACH;
    return TStatus::Failed(code, host);
  }
  endpoints.clear();
  for (const ADDRINFOW* a = found; a != nullptr; a = a->ai_next) {
    TEndpoint endpoint;
    endpoint.Port = port;
    if (a->ai_family == AF_INET) {
      endpoint.Family = TFamily::kIPv4;
      std::memcpy(endpoint.Address.data(), &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr, 4);
    } else if (a->ai_family == AF_INET6) {
      endpoint.Family = TFamily::kIPv6;
      const auto* a6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
      std::memcpy(endpoint.Address.data(), &a6->sin6_addr, 16);
      endpoint.ScopeId = a6->sin6_scope_id;
    } else {
      continue;
    }
    endpoints.push_back(endpoint);
  }
  FreeAddrInfoW(found);
  return {};
}

TStatus TryConnect(TSocket socket, const TEndpoint& endpoint) {
  sockaddr_storage addr{};
  const int len = NetSocketAddress(endpoint.Family, endpoint.Address, endpoint.Port, addr);
  if (endpoint.Family == TFamily::kIPv6) reinterpret_cast<sockaddr_in6&>(addr).sin6_scope_id = endpoint.ScopeId;
  if (connect(NetSock(socket), reinterpret_cast<sockaddr*>(&addr), len) == 0) return {};
  const int error = WSAGetLastError();
  if (error != WSAEWOULDBLOCK) return TStatus::Failed(ErrnoOfWinsockError(error));
  if (!NetWithState(socket, [](TNetSocketState& state) { return state.Blocking; })) return TStatus::Failed(EINPROGRESS);
  // Opened blocking: the connect is waited for, as it would be on Linux.
  bool ready = false;
  if (const TStatus waited = NetWait(socket, TWaitFor::kWritable, -1, ready, kNoWaitHandle); !waited) return waited;
  int held = 0;
  if (const TStatus asked = TryPendingError(socket, held); !asked) return asked;
  return held == 0 ? TStatus() : TStatus::Failed(held);
}

bool PortListening(std::uint16_t port) {
  if (!windows::StartWinsock()) return false;
  return NetListedAsListening(AF_INET, port) || NetListedAsListening(AF_INET6, port) ||
         NetLoopbackAnswers(TFamily::kIPv4, port) || NetLoopbackAnswers(TFamily::kIPv6, port);
}

}  // namespace ostrivan::platform

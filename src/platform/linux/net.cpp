#include "platform/net.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace ostrivan::platform {

namespace {

int NetFd(TSocket socket) { return static_cast<int>(socket); }

TStatus NetErrno() { return TStatus::Failed(errno); }

int NetFamilyNumber(TFamily family) { return family == TFamily::kIPv6 ? AF_INET6 : AF_INET; }

// The system's address of an endpoint, with its length.
socklen_t NetSocketAddress(TFamily family, const TAddressBytes& bytes, std::uint16_t port, sockaddr_storage& addr) {
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
  char text[INET6_ADDRSTRLEN] = {0};
  if (addr.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, text, sizeof text);
  } else if (addr.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr, text, sizeof text);
  }
  return text;
}

// A port in the kernel's table of TCP sockets in the listening state.
bool NetListedAsListening(const char* table, std::uint16_t port) {
  std::ifstream in(table);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    if (!(fields >> slot >> local >> remote >> state)) continue;
    const std::size_t colon = local.rfind(':');
    if (colon == std::string::npos || state != "0A") continue;
    if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) return true;
  }
  return false;
}

bool NetLoopbackAnswers(TFamily family, std::uint16_t port) {
  const int fd = ::socket(NetFamilyNumber(family), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  TAddressBytes loopback{};
  if (family == TFamily::kIPv4) {
    const std::uint32_t a = htonl(INADDR_LOOPBACK);
    std::memcpy(loopback.data(), &a, 4);
  } else {
    std::memcpy(loopback.data(), &in6addr_loopback, 16);
  }
  sockaddr_storage addr{};
  const socklen_t len = NetSocketAddress(family, loopback, port, addr);
  bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t error_len = sizeof error;
    connected =
        ::poll(&p, 1, 1000) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &error_len) == 0 && error == 0;
  }
  ::close(fd);
  return connected;
}

}  // namespace

int FamilyNumber(TFamily family) { return NetFamilyNumber(family); }

TFamily FamilyFromNumber(int number) { return number == AF_INET6 ? TFamily::kIPv6 : TFamily::kIPv4; }

std::string AddressText(TFamily family, const TAddressBytes& bytes) {
  char text[INET6_ADDRSTRLEN] = {0};
  inet_ntop(NetFamilyNumber(family), bytes.data(), text, sizeof text);
  return text;
}

TStatus TryParseAddress(const std::string& text, TFamily family, TAddressBytes& bytes) {
  bytes.fill(0);
  if (inet_pton(NetFamilyNumber(family), text.c_str(), bytes.data()) == 1) return {};
  bytes.fill(0);
  return TStatus::Failed(EINVAL, text);
}

bool IPv6Available() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

TStatus TryOpenTcpSocket(TFamily family, TSocket& socket, bool non_blocking) {
  const int fd = ::socket(NetFamilyNumber(family), SOCK_STREAM | SOCK_CLOEXEC | (non_blocking ? SOCK_NONBLOCK : 0), 0);
  if (fd < 0) {
    socket = kNoSocket;
    return NetErrno();
  }
  socket = fd;
  return {};
}

TStatus TryBindTcp(TSocket socket, TFamily family, const std::string& address, std::uint16_t port, bool reuse_address) {
  const int fd = NetFd(socket);
  int one = 1;
  if (family == TFamily::kIPv6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  // On Linux SO_REUSEADDR never lets a second process bind a listening port.
  int reuse = reuse_address ? 1 : 0;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  TAddressBytes bytes{};
  if (family == TFamily::kIPv6) {
    std::memcpy(bytes.data(), &in6addr_any, 16);
  } else {
    const std::uint32_t any = htonl(INADDR_ANY);
    std::memcpy(bytes.data(), &any, 4);
  }
  if (!address.empty()) {
    if (const TStatus parsed = TryParseAddress(address, family, bytes); !parsed) return parsed;
  }
  sockaddr_storage addr{};
  const socklen_t len = NetSocketAddress(family, bytes, port, addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) return NetErrno();
  return {};
}

TStatus TrySetNoDelay(TSocket socket) {
  int one = 1;
  if (setsockopt(NetFd(socket), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) return NetErrno();
  return {};
}

TStatus TryListen(TSocket socket, int backlog, std::chrono::seconds accept_wait) {
  if (::listen(NetFd(socket), backlog) != 0) return NetErrno();
  // accept honours the listening socket's receive timeout.
  timeval wait{static_cast<time_t>(accept_wait.count()), 0};
  setsockopt(NetFd(socket), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  return {};
}

TStatus TryAccept(TSocket listener, TSocket& connection, std::string& peer_address) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  const int fd = accept4(NetFd(listener), reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
  if (fd < 0) {
    connection = kNoSocket;
    return NetErrno();
  }
  connection = fd;
  peer_address = NetAddressTextOf(addr);
  return {};
}

TStatus TryLocalPort(TSocket socket, std::uint16_t& port) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (getsockname(NetFd(socket), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return NetErrno();
  if (addr.ss_family == AF_INET) port = ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
  else if (addr.ss_family == AF_INET6) port = ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
  else port = 0;
  return {};
}

TStatus TryPeerAddress(TSocket socket, std::string& address) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (getpeername(NetFd(socket), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return NetErrno();
  address = NetAddressTextOf(addr);
  return {};
}

TStatus TryReceive(TSocket socket, char* buffer, std::size_t size, bool dont_wait, std::size_t& received) {
  const ssize_t n = recv(NetFd(socket), buffer, size, dont_wait ? MSG_DONTWAIT : 0);
  if (n < 0) {
    received = 0;
    return TStatus::Failed(errno == EWOULDBLOCK ? EAGAIN : errno);
  }
  received = static_cast<std::size_t>(n);
  return {};
}

TStatus TrySend(TSocket socket, const char* data, std::size_t size, std::size_t& sent) {
  // MSG_NOSIGNAL: a vanished peer fails this write, never ends the process.
  const ssize_t n = send(NetFd(socket), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0) {
    sent = 0;
    return TStatus::Failed(errno == EWOULDBLOCK ? EAGAIN : errno);
  }
  sent = static_cast<std::size_t>(n);
  return {};
}

TStatus TryWait(TSocket socket, TWaitFor what, int timeout_ms, bool& ready, TWaitHandle wake) {
  const short events = what == TWaitFor::kReadable ? POLLIN : POLLOUT;
  pollfd p[2] = {{NetFd(socket), events, 0}, {static_cast<int>(wake), POLLIN, 0}};
  ready = false;
  if (poll(p, wake != kNoWaitHandle ? 2 : 1, timeout_ms) < 0) return NetErrno();
  ready = p[0].revents != 0;
  return {};
}

TStatus TryUnacknowledgedBytes(TSocket socket, std::int64_t& bytes) {
  int queued = 0;
  if (ioctl(NetFd(socket), SIOCOUTQ, &queued) != 0) return NetErrno();
  bytes = queued;
  return {};
}

TStatus TryConnectionClosed(TSocket socket, bool& closed) {
  tcp_info info{};
  socklen_t len = sizeof info;
  if (getsockopt(NetFd(socket), IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return NetErrno();
  closed = info.tcpi_state == TCP_CLOSE;
  return {};
}

TStatus TryPendingError(TSocket socket, int& error) {
  int held = 0;
  socklen_t len = sizeof held;
  if (getsockopt(NetFd(socket), SOL_SOCKET, SO_ERROR, &held, &len) != 0) return NetErrno();
  error = held;
  return {};
}

void ShutdownSending(TSocket socket) { ::shutdown(NetFd(socket), SHUT_WR); }

void ShutdownBoth(TSocket socket) { ::shutdown(NetFd(socket), SHUT_RDWR); }

void CloseSocket(TSocket socket) { ::close(NetFd(socket)); }

void CloseSocketWithReset(TSocket socket) {
  linger reset{1, 0};
  setsockopt(NetFd(socket), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(NetFd(socket));
}

TStatus TryResolve(const std::string& host, std::uint16_t port, std::vector<TEndpoint>& endpoints,
                   std::string& reason) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    reason = gai_strerror(rc);
    return TStatus::Failed(rc == EAI_SYSTEM ? errno : EHOSTUNREACH, host);
  }
  endpoints.clear();
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
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
  freeaddrinfo(found);
  return {};
}

TStatus TryConnect(TSocket socket, const TEndpoint& endpoint) {
  sockaddr_storage addr{};
  const socklen_t len = NetSocketAddress(endpoint.Family, endpoint.Address, endpoint.Port, addr);
  if (endpoint.Family == TFamily::kIPv6) reinterpret_cast<sockaddr_in6&>(addr).sin6_scope_id = endpoint.ScopeId;
  if (::connect(NetFd(socket), reinterpret_cast<sockaddr*>(&addr), len) != 0) return NetErrno();
  return {};
}

bool PortListening(std::uint16_t port) {
  return NetListedAsListening("/proc/net/tcp", port) || NetListedAsListening("/proc/net/tcp6", port) ||
         NetLoopbackAnswers(TFamily::kIPv4, port) || NetLoopbackAnswers(TFamily::kIPv6, port);
}

}  // namespace ostrivan::platform

#pragma once
// TCP sockets: listening on both families, accepting, sending without blocking, the proof
// that the peer took every byte, and connecting out. Calls that can fail return TStatus
// with the system's code as an errno value (EAGAIN: nothing to do now; EINTR: a signal
// came, the caller decides whether to go on), so one caller serves every platform.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"

namespace ostrivan::platform {

// A socket of the system: a descriptor, or a SOCKET under Winsock.
using TSocket = std::intptr_t;
inline constexpr TSocket kNoSocket = -1;

// What a wait may watch beside its socket: the stop requests' wake-up (service.h).
using TWaitHandle = std::intptr_t;
inline constexpr TWaitHandle kNoWaitHandle = -1;

enum class TFamily { kIPv4, kIPv6 };

// The system's number of a family (AF_INET, AF_INET6), as kept in settings and tests,
// and back: any number but AF_INET6's reads as IPv4.
int FamilyNumber(TFamily family);
TFamily FamilyFromNumber(int number);

// An address of either family: IPv4 in the first 4 bytes, the rest zero.
using TAddressBytes = std::array<std::uint8_t, 16>;

// The numeric text of an address ("127.0.0.1", "::1", "::ffff:127.0.0.1").
std::string AddressText(TFamily family, const TAddressBytes& bytes);
// Reads the numeric text of an address of that family; EINVAL when it is none.
TStatus TryParseAddress(const std::string& text, TFamily family, TAddressBytes& bytes);

// Whether this machine can make IPv6 sockets at all.
bool IPv6Available();

// A TCP socket, not inherited by child processes; non_blocking for connecting out.
TStatus TryOpenTcpSocket(TFamily family, TSocket& socket, bool non_blocking = false);
// Binds to address (empty: the family's any-address) and port (0: any free one). An
// IPv6 socket takes IPv6 only, so the two families can listen on one port apart.
// reuse_address: a restart is not refused over connections still in TIME_WAIT.
// EINVAL when address is not one of the family.
TStatus TryBindTcp(TSocket socket, TFamily family, const std::string& address, std::uint16_t port, bool reuse_address);
// Small writes go out at once rather than gathered (no Nagle).
TStatus TrySetNoDelay(TSocket socket);
// Starts listening; an accept on it that waits accept_wait without a connection fails
// with EAGAIN, so parked acceptors can end.
TStatus TryListen(TSocket socket, int backlog, std::chrono::seconds accept_wait);
// The next connection (not inherited) and its peer's numeric address. EAGAIN after the
// accept wait; EMFILE, ENFILE, ENOBUFS or ENOMEM when out of descriptors or memory.
// A shutdown of the listener from another thread ends the wait with a failure.
TStatus TryAccept(TSocket listener, TSocket& connection, std::string& peer_address);

// The local port, and the peer's numeric address, of a socket.
TStatus TryLocalPort(TSocket socket, std::uint16_t& port);
TStatus TryPeerAddress(TSocket socket, std::string& address);

// Bytes that are there; 0 when the peer has closed its side. dont_wait: EAGAIN instead
// of blocking when nothing is there.
TStatus TryReceive(TSocket socket, char* buffer, std::size_t size, bool dont_wait, std::size_t& received);
// Never blocks and never ends the process over a vanished peer: EAGAIN when the socket
// has no room, EPIPE or ECONNRESET when the peer is gone.
TStatus TrySend(TSocket socket, const char* data, std::size_t size, std::size_t& sent);

enum class TWaitFor { kReadable, kWritable };
// Waits up to timeout_ms (-1: without limit) until the socket is ready for what is asked,
// or has ended or failed (ready = true either way); ready = false when the time ran out
// or wake turned readable first.
TStatus TryWait(TSocket socket, TWaitFor what, int timeout_ms, bool& ready, TWaitHandle wake = kNoWaitHandle);

// The delivery proof. Bytes handed to the socket that the peer's TCP has not acknowledged
// yet (our FIN counts too): 0 means the peer took every byte sent.
TStatus TryUnacknowledgedBytes(TSocket socket, std::int64_t& bytes);
// Whether the connection is closed for good (reset, or both sides done): from then on
// the unacknowledged count is final.
TStatus TryConnectionClosed(TSocket socket, bool& closed);
// The error the socket holds (a reset, a refused connection), 0 if none; error is left
// as it was when the socket cannot say.
TStatus TryPendingError(TSocket socket, int& error);

// Ends the sending direction (our FIN); reading may go on.
void ShutdownSending(TSocket socket);
// Ends both directions: wakes a receive, send, wait or accept blocked on another thread
// without releasing the socket.
void ShutdownBoth(TSocket socket);
void CloseSocket(TSocket socket);
// Closes with a reset: what is unsent is dropped, and the peer sees no orderly end.
void CloseSocketWithReset(TSocket socket);

// Owns a socket and closes it when destroyed.
class TOwnedSocket {
 public:
  TOwnedSocket() noexcept = default;
  explicit TOwnedSocket(TSocket socket) noexcept : socket_(socket) {}
  ~TOwnedSocket() { Reset(); }
  TOwnedSocket(TOwnedSocket&& other) noexcept : socket_(other.Release()) {}
  TOwnedSocket& operator=(TOwnedSocket&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  TOwnedSocket(const TOwnedSocket&) = delete;
  TOwnedSocket& operator=(const TOwnedSocket&) = delete;

  TSocket Get() const noexcept { return socket_; }
  TSocket Release() noexcept {
    const TSocket socket = socket_;
    socket_ = kNoSocket;
    return socket;
  }
  void Reset(TSocket socket = kNoSocket) noexcept {
    if (socket_ != kNoSocket) CloseSocket(socket_);
    socket_ = socket;
  }

 private:
  TSocket socket_ = kNoSocket;
};

// Connecting out. One address a name resolved to.
struct TEndpoint {
  TFamily Family = TFamily::kIPv4;
  TAddressBytes Address = {};
  std::uint16_t Port = 0;
  std::uint32_t ScopeId = 0;  // the interface of an IPv6 link-local address
};
// Every TCP address of host (a name or numeric text), in the resolver's order. On
// failure reason holds the resolver's own words.
TStatus TryResolve(const std::string& host, std::uint16_t port, std::vector<TEndpoint>& endpoints, std::string& reason);
// Starts a connection on a non-blocking socket: Ok when made at once, EINPROGRESS while
// under way (wait for writable, then TryPendingError), else the failure.
TStatus TryConnect(TSocket socket, const TEndpoint& endpoint);

// Something listens on the TCP port, on any local address: the system's table of
// listening sockets, then a connection attempt on loopback of each family (up to a
// second each). Binds nothing.
bool PortListening(std::uint16_t port);

}  // namespace ostrivan::platform

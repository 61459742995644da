#include "http/transport.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "http/http_exceptions.h"

namespace ostrivan::http {

namespace {

// How often a send waiting for room looks at the peer's acknowledgements.
constexpr int kAckLookMs = 200;

uint16_t PortOf(const sockaddr_storage& addr) {
  if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
  if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
  return 0;
}

}  // namespace

std::string SocketAddressText(const sockaddr_storage& addr) {
  char text[INET6_ADDRSTRLEN] = {0};
  if (addr.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, text, sizeof text);
  } else if (addr.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr, text, sizeof text);
  }
  return text;
}

TSocketTransport::TSocketTransport(int fd) : fd_(fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) peer_ip_ = SocketAddressText(addr);
  len = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) local_port_ = PortOf(addr);
}

TSocketTransport::TSocketTransport(int fd, std::string peer_ip, uint16_t local_port)
    : fd_(fd), peer_ip_(std::move(peer_ip)), local_port_(local_port) {}

TSocketTransport::~TSocketTransport() { Close(); }

int TSocketTransport::Fd() const {
  std::lock_guard<std::mutex> guard(lock_);
  if (fd_ < 0 || aborted_) throw EClosedSocket("Disconnected.");
  return fd_;
}

bool TSocketTransport::Aborted() const {
  std::lock_guard<std::mutex> guard(lock_);
  return aborted_;
}

size_t TSocketTransport::Receive(char* buffer, size_t size, int timeout_ms) {
  int fd = Fd();
  // Bytes are usually there already: try without waiting first, and poll only when
  // the socket is empty, so a timed read costs no extra call on the common path.
  int flags = timeout_ms >= 0 ? MSG_DONTWAIT : 0;
  for (;;) {
    ssize_t n = recv(fd, buffer, size, flags);
    if (n >= 0) {
      if (n == 0 && Aborted()) throw EClosedSocket("Disconnected.");
      return static_cast<size_t>(n);
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) RaiseSocketError(errno);
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, timeout_ms);
    if (r < 0 && errno != EINTR) RaiseSocketError(errno);
    if (r == 0) throw EReadTimeout("Read timed out.");
  }
}

bool TSocketTransport::WaitReadable(int timeout_ms) {
  pollfd p{Fd(), POLLIN, 0};
  for (;;) {
    int r = poll(&p, 1, timeout_ms);
    if (r >= 0) return r > 0;
    if (errno != EINTR) RaiseSocketError(errno);
  }
}

int64_t TSocketTransport::AcknowledgedBytes(int fd) const {
  // What the socket still holds (sent or not) has not been acknowledged; where the
  // socket cannot tell, each byte it takes counts as progress.
  int queued = 0;
  if (ioctl(fd, SIOCOUTQ, &queued) != 0) queued = 0;
  return static_cast<int64_t>(bytes_sent_.load()) - queued;
}

void TSocketTransport::FailSend(int code) {
  int none = 0;
  send_error_.compare_exchange_strong(none, code);
  if (code == ETIMEDOUT) throw EWriteTimeout("Write timed out.");
  if (Aborted()) throw EClosedSocket("Disconnected.");
  RaiseSocketError(code);
}

void TSocketTransport::Send(const char* data, size_t size, int idle_timeout_ms) {
  int fd = -1;
  try {
    fd = Fd();
  } catch (const EClosedSocket&) {
    int none = 0;
    send_error_.compare_exchange_strong(none, EPIPE);
    throw;
  }
  // After a failed send the stream has a gap: nothing may follow it.
  if (const int error = send_error_.load()) {
    if (error == ETIMEDOUT) throw EWriteTimeout("Write timed out.");
    RaiseSocketError(error);
  }
  // Never blocks in send itself: a client that stops reading (and keeps its window
  // shut) must not hold the thread for ever, and the wait for room is where the limit
  // is counted. It runs from the last byte the client's TCP acknowledged, so a slow but
  // live client goes on as long as it keeps reading; our own kernel taking more bytes
  // into its buffer is no sign of the client. A send that finds nothing unacknowledged
  // starts it afresh.
  const auto note_progress = [&](bool starting) {
    const int64_t acked = AcknowledgedBytes(fd);
    if (acked == acked_seen_ && !(starting && acked == static_cast<int64_t>(bytes_sent_.load()))) return;
    acked_seen_ = acked;
    last_progress_ = std::chrono::steady_clock::now();
  };
  note_progress(true);
  while (size > 0) {
    // MSG_NOSIGNAL: a vanished client must fail this write, never end the process.
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      bytes_sent_.fetch_add(static_cast<uint64_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) FailSend(errno);
    int wait_ms = -1;
    if (idle_timeout_ms >= 0) {
      note_progress(false);
      const auto idle =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - last_progress_)
              .count();
      if (idle >= idle_timeout_ms) FailSend(ETIMEDOUT);
      // Acknowledgements that free too little room wake no poll: looked at again soon,
      // so the clock restarts close to when they came.
      wait_ms = static_cast<int>(std::min<long long>(idle_timeout_ms - idle, kAckLookMs));
    }
    // An abort shuts the socket down, which ends this poll at once.
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, wait_ms) < 0 && errno != EINTR) FailSend(errno);
    if (Aborted()) FailSend(EPIPE);
  }
}

void TSocketTransport::ShutdownSend() {
  std::lock_guard<std::mutex> guard(lock_);
  if (fd_ >= 0) shutdown(fd_, SHUT_WR);
}

void TSocketTransport::Close() {
  std::lock_guard<std::mutex> guard(lock_);
  if (fd_ < 0) return;
  if (SendFailed()) {
    // A reply cut short ends with a reset, not an orderly end: the client must not take
    // the part it may read for the whole, and the unsent rest is dropped at once.
    linger reset{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  } else {
    shutdown(fd_, SHUT_WR);
  }
  ::close(fd_);
  fd_ = -1;
}

void TSocketTransport::Abort() {
  std::lock_guard<std::mutex> guard(lock_);
  aborted_ = true;
  // shutdown wakes a recv or send blocked on another thread; the descriptor itself is
  // released by its owner only, so it cannot be reused while still in use.
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
}

bool TSocketTransport::WaitDelivered(std::chrono::steady_clock::time_point deadline) {
  int fd;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // A reply that did not go out whole was not delivered, whatever the socket says now:
    // after a reset nothing is left unacknowledged, and a read sees only the end.
    if (fd_ < 0 || aborted_ || SendFailed()) return false;
    fd = fd_;
    // Our FIN tells the client the reply is complete; its own close answers it.
    shutdown(fd_, SHUT_WR);
  }
  auto aborted = [this] {
    std::lock_guard<std::mutex> guard(lock_);
    return aborted_;
  };
  bool peer_closed = false;
  int pause_ms = 1;
  char sink[4096];
  for (;;) {
    const bool stopping = aborted();
    // Bytes (and our FIN) sent but not yet acknowledged by the peer.
    int unacknowledged = 0;
    if (ioctl(fd, SIOCOUTQ, &unacknowledged) != 0) return false;
    if (stopping) {
      // A stop ends the wait at once: the reply counts as delivered only if the client's
      // TCP already acknowledged all of it and did not reset the connection.
      int error = 0;
      socklen_t error_len = sizeof error;
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &error_len);
      return unacknowledged == 0 && error == 0;
    }
    // A client that closes with part of the reply unread resets the connection; one that
    // read it all closes in order. Anything else it sends is dropped.
    while (!peer_closed) {
      ssize_t n = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
      if (n > 0) continue;
      if (n == 0) {
        peer_closed = true;
        break;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return false;
    }
    if (unacknowledged == 0 && peer_closed) return true;
    tcp_info info{};
    socklen_t len = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && info.tcpi_state == TCP_CLOSE) {
      // Once closed the count is final: a reset empties nothing from it. Read it again, as
      // the acknowledgement that closed the connection may have come after the count above.
      int final_count = 0;
      if (ioctl(fd, SIOCOUTQ, &final_count) != 0 || final_count > 0) return false;
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    // A client that keeps the connection open past the deadline has it all if its TCP
    // acknowledged every byte.
    if (now >= deadline) return unacknowledged == 0;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    // Acknowledgements wake no poll; look again soon, less often the longer it takes.
    // Once both directions are shut the socket polls as hung up at once, so sleep.
    const int wait_ms = static_cast<int>(std::min<long long>(pause_ms, left));
    if (peer_closed) {
      std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    } else {
      pollfd p{fd, POLLIN, 0};
      poll(&p, 1, wait_ms);
    }
    pause_ms = std::min(pause_ms * 2, 20);
  }
}

bool TSocketTransport::IsOpen() const {
  std::lock_guard<std::mutex> guard(lock_);
  return fd_ >= 0 && !aborted_;
}

size_t TMemoryTransport::Receive(char* buffer, size_t size, int) {
  if (closed_) throw EClosedSocket("Disconnected.");
  size_t n = std::min({size, chunk_size_, input_.size() - pos_});
  std::memcpy(buffer, input_.data() + pos_, n);
  pos_ += n;
  return n;
}

void TMemoryTransport::Send(const char* data, size_t size, int) {
  if (closed_ || send_shut_) {
    if (send_error_ == 0) send_error_ = EPIPE;
    throw EClosedSocket("Disconnected.");
  }
  if (send_error_ != 0) RaiseSocketError(send_error_);
  const size_t room = send_limit_ - std::min(send_limit_, output_.size());
  output_.append(data, std::min(size, room));
  ++send_count_;
  if (size > room) {
    if (send_error_ == 0) send_error_ = ECONNRESET;
    RaiseSocketError(ECONNRESET);
  }
}

}  // namespace ostrivan::http

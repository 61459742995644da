#include "http/transport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "http/http_exceptions.h"

namespace ostrivan::http {

namespace {

std::string AddressText(const sockaddr_storage& addr) {
  char text[INET6_ADDRSTRLEN] = {0};
  if (addr.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, text, sizeof text);
  } else if (addr.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr, text, sizeof text);
  }
  return text;
}

uint16_t PortOf(const sockaddr_storage& addr) {
  if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
  if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
  return 0;
}

[[noreturn]] void RaiseSocketError(int code) {
  throw ESocketError("Socket Error # " + std::to_string(code) + "\r\n" + std::strerror(code));
}

}  // namespace

TSocketTransport::TSocketTransport(int fd) : fd_(fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) peer_ip_ = AddressText(addr);
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

void TSocketTransport::Send(const char* data, size_t size) {
  int fd = Fd();
  while (size > 0) {
    // MSG_NOSIGNAL: a vanished client must fail this write, never end the process.
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseSocketError(errno);
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void TSocketTransport::ShutdownSend() {
  std::lock_guard<std::mutex> guard(lock_);
  if (fd_ >= 0) shutdown(fd_, SHUT_WR);
}

void TSocketTransport::Close() {
  std::lock_guard<std::mutex> guard(lock_);
  if (fd_ < 0) return;
  shutdown(fd_, SHUT_WR);
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

void TMemoryTransport::Send(const char* data, size_t size) {
  if (closed_ || send_shut_) throw EClosedSocket("Disconnected.");
  output_.append(data, size);
  ++send_count_;
}

}  // namespace ostrivan::http

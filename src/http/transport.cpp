#include "http/transport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "http/http_exceptions.h"

namespace ostrivan::http {

namespace {

// How often a send waiting for room looks at the peer's acknowledgements.
constexpr int kAckLookMs = 200;

}  // namespace

TSocketTransport::TSocketTransport(platform::TSocket fd) : fd_(fd) {
  if (!platform::TryPeerAddress(fd, peer_ip_)) peer_ip_.clear();
  if (!platform::TryLocalPort(fd, local_port_)) local_port_ = 0;
}

TSocketTransport::TSocketTransport(platform::TSocket fd, std::string peer_ip, uint16_t local_port)
    : fd_(fd), peer_ip_(std::move(peer_ip)), local_port_(local_port) {}

TSocketTransport::~TSocketTransport() { Close(); }

platform::TSocket TSocketTransport::Fd() const {
  std::lock_guard<std::mutex> guard(lock_);
  if (fd_ == platform::kNoSocket || aborted_) throw EClosedSocket("Disconnected.");
  return fd_;
}

bool TSocketTransport::Aborted() const {
  std::lock_guard<std::mutex> guard(lock_);
  return aborted_;
}

size_t TSocketTransport::Receive(char* buffer, size_t size, int timeout_ms) {
  const platform::TSocket fd = Fd();
  // Bytes are usually there already: try without waiting first, and wait only when
  // the socket is empty, so a timed read costs no extra call on the common path.
  const bool dont_wait = timeout_ms >= 0;
  for (;;) {
    size_t n = 0;
    const TStatus received = platform::TryReceive(fd, buffer, size, dont_wait, n);
    if (received) {
      if (n == 0 && Aborted()) throw EClosedSocket("Disconnected.");
      return n;
    }
    if (received.Code() == EINTR) continue;
    if (received.Code() != EAGAIN) RaiseSocketError(received.Code());
    bool ready = false;
    const TStatus waited = platform::TryWait(fd, platform::TWaitFor::kReadable, timeout_ms, ready);
    if (!waited && waited.Code() != EINTR) RaiseSocketError(waited.Code());
    if (waited && !ready) throw EReadTimeout("Read timed out.");
  }
}

bool TSocketTransport::WaitReadable(int timeout_ms) {
  const platform::TSocket fd = Fd();
  for (;;) {
    bool ready = false;
    const TStatus waited = platform::TryWait(fd, platform::TWaitFor::kReadable, timeout_ms, ready);
    if (waited) return ready;
    if (waited.Code() != EINTR) RaiseSocketError(waited.Code());
  }
}

int64_t TSocketTransport::AcknowledgedBytes(platform::TSocket fd) const {
  // What the socket still holds (sent or not) has not been acknowledged; where the
  // socket cannot tell, each byte it takes counts as progress.
  int64_t queued = 0;
  if (!platform::TryUnacknowledgedBytes(fd, queued)) queued = 0;
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
  platform::TSocket fd = platform::kNoSocket;
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
    // A vanished client must fail this write, never end the process.
    size_t n = 0;
    const TStatus sent = platform::TrySend(fd, data, size, n);
    if (sent && n > 0) {
      data += n;
      size -= n;
      bytes_sent_.fetch_add(static_cast<uint64_t>(n));
      continue;
    }
    if (!sent && sent.Code() == EINTR) continue;
    if (!sent && sent.Code() != EAGAIN) FailSend(sent.Code());
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
    // An abort shuts the socket down, which ends this wait at once.
    bool ready = false;
    const TStatus waited = platform::TryWait(fd, platform::TWaitFor::kWritable, wait_ms, ready);
    if (!waited && waited.Code() != EINTR) FailSend(waited.Code());
    if (Aborted()) FailSend(EPIPE);
  }
}

void TSocketTransport::ShutdownSend() {
  std::lock_guard<std::mutex> guard(lock_);
  if (fd_ != platform::kNoSocket) platform::ShutdownSending(fd_);
}

void TSocketTransport::Close() {
  std::lock_guard<std::mutex> guard(lock_);
  if (fd_ == platform::kNoSocket) return;
  if (SendFailed()) {
    // A reply cut short ends with a reset, not an orderly end: the client must not take
    // the part it may read for the whole, and the unsent rest is dropped at once.
    platform::CloseSocketWithReset(fd_);
  } else {
    platform::ShutdownSending(fd_);
    platform::CloseSocket(fd_);
  }
  fd_ = platform::kNoSocket;
}

void TSocketTransport::Abort() {
  std::lock_guard<std::mutex> guard(lock_);
  aborted_ = true;
  // shutdown wakes a recv or send blocked on another thread; the descriptor itself is
  // released by its owner only, so it cannot be reused while still in use.
  if (fd_ != platform::kNoSocket) platform::ShutdownBoth(fd_);
}

bool TSocketTransport::WaitDelivered(std::chrono::steady_clock::time_point deadline) {
  platform::TSocket fd;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // A reply that did not go out whole was not delivered, whatever the socket says now:
    // after a reset nothing is left unacknowledged, and a read sees only the end.
    if (fd_ == platform::kNoSocket || aborted_ || SendFailed()) return false;
    fd = fd_;
    // Our FIN tells the client the reply is complete; its own close answers it.
    platform::ShutdownSending(fd_);
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
    int64_t unacknowledged = 0;
    if (!platform::TryUnacknowledgedBytes(fd, unacknowledged)) return false;
    if (stopping) {
      // A stop ends the wait at once: the reply counts as delivered only if the client's
      // TCP already acknowledged all of it and did not reset the connection.
      int error = 0;
      (void)platform::TryPendingError(fd, error);
      return unacknowledged == 0 && error == 0;
    }
    // A client that closes with part of the reply unread resets the connection; one that
    // read it all closes in order. Anything else it sends is dropped.
    while (!peer_closed) {
      size_t n = 0;
      const TStatus drained = platform::TryReceive(fd, sink, sizeof sink, true, n);
      if (drained && n > 0) continue;
      if (drained) {
        peer_closed = true;
        break;
      }
      if (drained.Code() == EINTR) continue;
      if (drained.Code() == EAGAIN) break;
      return false;
    }
    if (unacknowledged == 0 && peer_closed) return true;
    if (bool closed = false; platform::TryConnectionClosed(fd, closed) && closed) {
      // Once closed the count is final: a reset empties nothing from it. Read it again, as
      // the acknowledgement that closed the connection may have come after the count above.
      int64_t final_count = 0;
      if (!platform::TryUnacknowledgedBytes(fd, final_count) || final_count > 0) return false;
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    // A client that keeps the connection open past the deadline has it all if its TCP
    // acknowledged every byte.
    if (now >= deadline) return unacknowledged == 0;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    // Acknowledgements wake no wait; look again soon, less often the longer it takes.
    // Once both directions are shut the socket reads as hung up at once, so sleep.
    const int wait_ms = static_cast<int>(std::min<long long>(pause_ms, left));
    if (peer_closed) {
      std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    } else {
      bool ready = false;
      (void)platform::TryWait(fd, platform::TWaitFor::kReadable, wait_ms, ready);
    }
    pause_ms = std::min(pause_ms * 2, 20);
  }
}

bool TSocketTransport::IsOpen() const {
  std::lock_guard<std::mutex> guard(lock_);
  return fd_ != platform::kNoSocket && !aborted_;
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

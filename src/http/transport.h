#pragma once
// The byte pipe under one connection. Sockets implement it for the server; tests and
// the fuzz target feed the same request handling from memory.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/net.h"

namespace ostrivan::http {

class ITransport {
 public:
  virtual ~ITransport() = default;
  // Blocks until bytes arrive; returns how many (at most size), 0 when the peer has
  // closed its side. Failures raise ESocketError; with timeout_ms >= 0, a peer that
  // sends nothing for that long raises EReadTimeout.
  virtual size_t Receive(char* buffer, size_t size, int timeout_ms = -1) = 0;
  // Waits up to timeout_ms (-1 = without limit) until a Receive would not block.
  virtual bool WaitReadable(int timeout_ms) = 0;
  // Sends every byte or raises ESocketError; with idle_timeout_ms >= 0, a peer that
  // takes no byte for that long raises EWriteTimeout. A failed send is remembered
  // (SendFailed), and every later send raises at once: nothing may follow a gap.
  virtual void Send(const char* data, size_t size, int idle_timeout_ms = -1) = 0;
  // Bytes handed to the connection without an error, in all.
  virtual uint64_t BytesSent() const = 0;
  // Whether any send failed (the peer reset, went away, stalled, or we aborted).
  virtual bool SendFailed() const = 0;
  // The system's code of the first failed send (ETIMEDOUT for a stalled peer), 0 if none.
  virtual int SendError() const = 0;
  // Ends the sending direction; reading may go on (used to drain a refused body).
  virtual void ShutdownSend() = 0;
  // Shuts down the sending direction, then releases the socket. Safe to call twice.
  virtual void Close() = 0;
  // From another thread: make every blocked or later read and write fail, without
  // releasing the socket under the owner's feet.
  virtual void Abort() = 0;
  virtual bool IsOpen() const = 0;
  virtual std::string PeerIP() const = 0;
  virtual uint16_t LocalPort() const = 0;
  // After the last byte of a reply: ends the sending direction and waits until the
  // peer's TCP has acknowledged every byte sent and the peer has closed in order, or
  // the deadline passes, or the connection is aborted (which ends the wait at once).
  // true only when no send failed, every byte was acknowledged and the peer did not
  // reset.
  virtual bool WaitDelivered(std::chrono::steady_clock::time_point deadline) = 0;
};

// A connected TCP socket. Close and Abort are guarded by one lock per socket, so the
// worker and deactivation may both close it.
class TSocketTransport : public ITransport {
 public:
  explicit TSocketTransport(platform::TSocket fd);
  // The peer's address and the local port already known (from accept and the listener),
  // so no system call is spent asking for them again.
  TSocketTransport(platform::TSocket fd, std::string peer_ip, uint16_t local_port);
  ~TSocketTransport() override;
  TSocketTransport(const TSocketTransport&) = delete;
  TSocketTransport& operator=(const TSocketTransport&) = delete;

  size_t Receive(char* buffer, size_t size, int timeout_ms = -1) override;
  bool WaitReadable(int timeout_ms) override;
  void Send(const char* data, size_t size, int idle_timeout_ms = -1) override;
  uint64_t BytesSent() const override { return bytes_sent_.load(); }
  bool SendFailed() const override { return send_error_.load() != 0; }
  int SendError() const override { return send_error_.load(); }
  void ShutdownSend() override;
  void Close() override;
  void Abort() override;
  bool IsOpen() const override;
  std::string PeerIP() const override { return peer_ip_; }
  uint16_t LocalPort() const override { return local_port_; }
  bool WaitDelivered(std::chrono::steady_clock::time_point deadline) override;

 private:
  platform::TSocket Fd() const;
  bool Aborted() const;
  // Remembers the first failure of a send, then raises it.
  [[noreturn]] void FailSend(int code);
  // Bytes sent that the peer's TCP has acknowledged.
  int64_t AcknowledgedBytes(platform::TSocket fd) const;
  mutable std::mutex lock_;
  std::atomic<uint64_t> bytes_sent_{0};
  std::atomic<int> send_error_{0};
  // The send idle clock, used by the sending thread only: the acknowledged count last
  // seen and when it last moved.
  int64_t acked_seen_ = -1;
  std::chrono::steady_clock::time_point last_progress_{};
  platform::TSocket fd_;
  bool aborted_ = false;
  std::string peer_ip_;
  uint16_t local_port_ = 0;
};

// Bytes from memory, replies into memory. The input is handed out in pieces of at
// most chunk_size bytes, so a parser meets every split a network could produce.
class TMemoryTransport : public ITransport {
 public:
  explicit TMemoryTransport(std::string input, size_t chunk_size = 32768, std::string peer_ip = "127.0.0.1",
                            uint16_t local_port = 80)
      : input_(std::move(input)),
        chunk_size_(chunk_size ? chunk_size : 1),
        peer_ip_(std::move(peer_ip)),
        local_port_(local_port) {}

  size_t Receive(char* buffer, size_t size, int timeout_ms = -1) override;
  bool WaitReadable(int) override { return true; }
  // Fails (as a reset would) once FailSendAfter's count of bytes has been taken.
  void Send(const char* data, size_t size, int idle_timeout_ms = -1) override;
  uint64_t BytesSent() const override { return output_.size(); }
  bool SendFailed() const override { return send_error_ != 0; }
  int SendError() const override { return send_error_; }
  void ShutdownSend() override { send_shut_ = true; }
  void Close() override {
    closed_ = true;
    send_shut_ = true;
  }
  void Abort() override { closed_ = true; }
  bool IsOpen() const override { return !closed_; }
  std::string PeerIP() const override { return peer_ip_; }
  uint16_t LocalPort() const override { return local_port_; }
  // Memory has no acknowledgements: what tests set (delivered unless closed or a send
  // failed, by default).
  bool WaitDelivered(std::chrono::steady_clock::time_point) override {
    send_shut_ = true;
    return delivered_ && !closed_ && send_error_ == 0;
  }
  void SetDelivered(bool value) { delivered_ = value; }
  // Sends take this many more bytes in all, then fail with ECONNRESET.
  void FailSendAfter(size_t bytes) { send_limit_ = output_.size() + bytes; }

  const std::string& Output() const { return output_; }
  size_t SendCount() const { return send_count_; }
  size_t Consumed() const { return pos_; }

 private:
  std::string input_;
  size_t pos_ = 0;
  size_t chunk_size_;
  std::string output_;
  size_t send_count_ = 0;
  bool closed_ = false;
  bool send_shut_ = false;
  bool delivered_ = true;
  size_t send_limit_ = static_cast<size_t>(-1);
  int send_error_ = 0;
  std::string peer_ip_;
  uint16_t local_port_;
};

}  // namespace ostrivan::http

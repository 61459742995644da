#include "http/io_handler.h"

#include <algorithm>

#include "http/http_exceptions.h"

namespace ostrivan::http {

TIOHandler::TIOHandler(std::unique_ptr<ITransport> transport) : transport_(std::move(transport)) {}

TIOHandler::~TIOHandler() = default;

void TIOHandler::Compact() {
  // Drop consumed bytes once they dominate, so a long body does not keep them alive.
  if (start_ > 0 && (start_ == buffer_.size() || start_ >= kRecvBufferSize)) {
    buffer_.erase(0, start_);
    search_from_ -= std::min(search_from_, start_);
    start_ = 0;
  }
}

int TIOHandler::ReadTimeout() const {
  int timeout = idle_timeout_ms_;
  if (has_deadline_) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now()).count();
    if (left <= 0) throw EReadTimeout("Read timed out.");
    if (timeout < 0 || left < timeout) timeout = static_cast<int>(left);
  }
  return timeout;
}

bool TIOHandler::Fill() {
  if (peer_closed_) return false;
  int timeout = ReadTimeout();
  Compact();
  size_t old = buffer_.size();
  buffer_.resize(old + kRecvBufferSize);
  size_t n = 0;
  try {
    n = transport_->Receive(buffer_.data() + old, kRecvBufferSize, timeout);
  } catch (...) {
    buffer_.resize(old);
    throw;
  }
  buffer_.resize(old + n);
  if (n == 0) peer_closed_ = true;
  return n > 0;
}

std::string TIOHandler::ReadLn() {
  search_from_ = std::max(search_from_, start_);
  for (;;) {
    size_t lf = buffer_.find('\n', search_from_);
    if (lf != std::string::npos) {
      size_t length = lf - start_;
      if (length > kMaxLineLength) throw EReadLnMaxLineLengthExceeded(kMaxLineLengthExceeded);
      size_t text_end = lf;
      if (text_end > start_ && buffer_[text_end - 1] == '\r') --text_end;
      std::string line = DecodeAscii7(std::string_view(buffer_).substr(start_, text_end - start_));
      start_ = lf + 1;
      search_from_ = start_;
      return line;
    }
    search_from_ = buffer_.size();
    if (buffer_.size() - start_ > kMaxLineLength) throw EReadLnMaxLineLengthExceeded(kMaxLineLengthExceeded);
    if (!Fill()) throw EConnClosedGracefully("Connection Closed Gracefully.");
  }
}

void TIOHandler::Capture(THeaderList& dest) {
  int taken = 0;
  for (;;) {
    std::string line = ReadLn();
    if (line.empty()) return;
    if (max_captured_lines_ > 0 && taken > max_captured_lines_) throw EMaxCaptureLineExceeded(kMaxCaptureLineExceeded);
    dest.Add(std::move(line));
    ++taken;
  }
}

void TIOHandler::ReadStream(TStream& dest, int64_t count) {
  while (count > 0) {
    if (InputBufferIsEmpty() && !Fill()) throw EConnClosedGracefully("Connection Closed Gracefully.");
    size_t n = static_cast<size_t>(std::min<int64_t>(count, static_cast<int64_t>(InputBufferSize())));
    dest.Write(buffer_.data() + start_, static_cast<int64_t>(n));
    start_ += n;
    count -= static_cast<int64_t>(n);
  }
  Compact();
}

int64_t TIOHandler::Discard(int64_t count, std::chrono::steady_clock::time_point deadline) {
  int64_t dropped = 0;
  try {
    while (count < 0 || dropped < count) {
      if (InputBufferIsEmpty()) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || !transport_->WaitReadable(static_cast<int>(left))) break;
        if (!Fill()) break;
      }
      size_t avail = InputBufferSize();
      size_t n =
          count < 0 ? avail : static_cast<size_t>(std::min<int64_t>(count - dropped, static_cast<int64_t>(avail)));
      start_ += n;
      dropped += static_cast<int64_t>(n);
      Compact();
    }
  } catch (const std::exception&) {
    // The client is gone; there is nothing left to drain.
  }
  return dropped;
}

bool TIOHandler::CheckForDataOnSource(int timeout_ms) {
  if (!InputBufferIsEmpty()) return true;
  if (peer_closed_) return false;
  if (transport_->WaitReadable(timeout_ms)) Fill();
  return !InputBufferIsEmpty();
}

void TIOHandler::WriteBytes(std::string_view bytes) {
  if (bytes.empty()) return;
  if (buffering_ > 0) out_.append(bytes);
  else transport_->Send(bytes.data(), bytes.size(), write_idle_timeout_ms_);
}

void TIOHandler::WriteStream(TStream& stream, int64_t count) {
  // Bytes already in memory go out as they are: one call for the kernel to take them
  // as fast as the client reads, no copy through a chunk.
  if (auto* memory = dynamic_cast<TMemoryStream*>(&stream)) {
    const std::string& bytes = memory->Bytes();
    const auto at = static_cast<size_t>(std::clamp<int64_t>(memory->Position(), 0, memory->Size()));
    size_t n = bytes.size() - at;
    if (count >= 0) n = std::min(n, static_cast<size_t>(count));
    WriteBytes(std::string_view(bytes.data() + at, n));
    memory->SetPosition(static_cast<int64_t>(at + n));
    return;
  }
  char chunk[32768];
  while (count != 0) {
    int64_t want = count < 0 ? static_cast<int64_t>(sizeof chunk) : std::min<int64_t>(count, sizeof chunk);
    int64_t n = stream.Read(chunk, want);
    if (n <= 0) break;
    WriteBytes(std::string_view(chunk, static_cast<size_t>(n)));
    if (count > 0) count -= n;
  }
}

void TIOHandler::WriteBufferOpen() {
  if (buffering_++ == 0) out_.clear();
}

void TIOHandler::WriteBufferClose() {
  if (buffering_ == 0 || --buffering_ > 0) return;
  std::string pending;
  pending.swap(out_);
  if (!pending.empty()) transport_->Send(pending.data(), pending.size(), write_idle_timeout_ms_);
}

void TIOHandler::WriteBufferCancel() {
  buffering_ = 0;
  out_.clear();
}

}  // namespace ostrivan::http

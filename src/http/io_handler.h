#pragma once
// Buffered reading and writing on one connection: lines with a length limit, blocks
// of lines with a count limit, exact byte counts, and output collected into one send.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "http/header_list.h"
#include "http/stream.h"
#include "http/text_codec.h"
#include "http/transport.h"

namespace ostrivan::http {

class TIOHandler {
 public:
  // Bytes asked for per socket read.
  static constexpr size_t kRecvBufferSize = 32768;
  // Longest line in bytes before its LF, a CR before the LF included; so a CR LF line
  // carries at most 16383 bytes of text and a bare-LF line 16384.
  static constexpr size_t kMaxLineLength = 16384;

  explicit TIOHandler(std::unique_ptr<ITransport> transport);
  ~TIOHandler();

  // Reads wait for the peer at most until the deadline (none when unset) and at most
  // idle_ms for each piece (-1 = without limit); past either they raise EReadTimeout.
  void SetReadDeadline(std::chrono::steady_clock::time_point deadline) {
    deadline_ = deadline;
    has_deadline_ = true;
  }
  void ClearReadDeadline() { has_deadline_ = false; }
  void SetReadIdleTimeout(int idle_ms) { idle_timeout_ms_ = idle_ms; }
  // A write fails with EWriteTimeout once the peer has taken no byte for idle_ms (-1 =
  // without limit).
  void SetWriteIdleTimeout(int idle_ms) { write_idle_timeout_ms_ = idle_ms; }

  // Limit on lines read as one block by Capture; -1 (or 0) = none.
  void SetMaxCapturedLines(int limit) { max_captured_lines_ = limit; }
  int MaxCapturedLines() const { return max_captured_lines_; }

  // One line without its LF and one CR before it, decoded as 7-bit ASCII.
  std::string ReadLn();
  // Lines up to the first empty one (not stored) into dest; with a block limit N > 0,
  // a non-empty line after N+1 taken lines raises EMaxCaptureLineExceeded.
  void Capture(THeaderList& dest);
  // Exactly count bytes appended to dest at its position.
  void ReadStream(TStream& dest, int64_t count);
  // Reads and drops up to count bytes (-1 = until the peer closes) until the deadline;
  // returns how many were dropped. Never raises.
  int64_t Discard(int64_t count, std::chrono::steady_clock::time_point deadline);

  bool InputBufferIsEmpty() const { return buffer_.size() == start_; }
  size_t InputBufferSize() const { return buffer_.size() - start_; }
  // Waits up to timeout_ms for bytes and moves what arrived into the input buffer;
  // true when the input buffer then holds bytes.
  bool CheckForDataOnSource(int timeout_ms);

  // Text in the connection's 7-bit encoding.
  void Write(std::string_view text) { WriteBytes(EncodeAscii7(text)); }
  void Write(std::string_view text, const TCharsetEncoding& encoding) { WriteBytes(encoding.Encode(text)); }
  void WriteLn(std::string_view text) { WriteBytes(EncodeAscii7(text) + "\r\n"); }
  void WriteBytes(std::string_view bytes);
  // count bytes of the stream from its position (-1 = to the end).
  void WriteStream(TStream& stream, int64_t count = -1);

  // While open, writes collect in memory; closing sends them as one piece. Opening
  // nests: only the outermost close sends, and a cancel drops everything collected.
  void WriteBufferOpen();
  void WriteBufferClose();
  void WriteBufferCancel();
  bool WriteBufferOpened() const { return buffering_ > 0; }

  void ShutdownSend() { transport_->ShutdownSend(); }
  void Close() { transport_->Close(); }
  void Abort() { transport_->Abort(); }
  bool Connected() const { return transport_->IsOpen(); }
  // See ITransport::WaitDelivered; call once the whole reply has been written.
  bool WaitDelivered(std::chrono::steady_clock::time_point deadline) { return transport_->WaitDelivered(deadline); }
  // What went out: see ITransport::BytesSent, SendFailed and SendError.
  uint64_t BytesSent() const { return transport_->BytesSent(); }
  bool SendFailed() const { return transport_->SendFailed(); }
  int SendError() const { return transport_->SendError(); }
  std::string PeerIP() const { return transport_->PeerIP(); }
  uint16_t LocalPort() const { return transport_->LocalPort(); }
  ITransport& Transport() { return *transport_; }

 private:
  // Reads once from the transport into the buffer; false when the peer closed.
  bool Fill();
  void Compact();
  // How long the next read may wait, from the deadline and the idle limit.
  int ReadTimeout() const;

  std::unique_ptr<ITransport> transport_;
  std::string buffer_;
  size_t start_ = 0;        // first unread byte of buffer_
  size_t search_from_ = 0;  // where the search for the current line's LF resumes
  bool peer_closed_ = false;
  int max_captured_lines_ = -1;
  bool has_deadline_ = false;
  std::chrono::steady_clock::time_point deadline_{};
  int idle_timeout_ms_ = -1;
  int write_idle_timeout_ms_ = -1;
  int buffering_ = 0;  // nesting depth of open write buffers
  std::string out_;
};

}  // namespace ostrivan::http

#pragma once
// Byte streams for request bodies and reply content. A stream has a position;
// reads and writes move it, like a file.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/large_buffer.h"

namespace ostrivan::http {

class TStream {
 public:
  virtual ~TStream() = default;
  // Reads up to count bytes at the position; returns the number read (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual void Write(const void* buffer, int64_t count) = 0;
  virtual int64_t Size() const = 0;
  virtual int64_t Position() const = 0;
  virtual void SetPosition(int64_t position) = 0;

  void Write(std::string_view bytes) { Write(bytes.data(), static_cast<int64_t>(bytes.size())); }
  // Everything from the position to the end; the position moves to the end.
  std::string ReadRemaining();
  // All bytes from the start; the position is kept.
  std::string AllBytes();
};

// Growable in-memory stream.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string bytes) : data_(std::move(bytes)) {}

  int64_t Read(void* buffer, int64_t count) override;
  void Write(const void* buffer, int64_t count) override;
  using TStream::Write;
  int64_t Size() const override { return static_cast<int64_t>(data_.size()); }
  int64_t Position() const override { return position_; }
  void SetPosition(int64_t position) override;
  void Clear() {
    data_.clear();
    position_ = 0;
  }
  // Room for size bytes in one allocation.
  void Reserve(int64_t size) { ReserveLarge(data_, static_cast<size_t>(size)); }

  const std::string& Bytes() const { return data_; }

 private:
  std::string data_;
  int64_t position_ = 0;
};

}  // namespace ostrivan::http

#pragma once
// Byte streams the archive works on: a seekable file, a block of memory, and the
// compressing/decompressing wrappers the compression handlers put around them.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/large_buffer.h"
#include "platform/file_system.h"
#include "platform/status.h"

namespace ostrivan::archive {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  virtual ~TStream() = default;

  // Reads up to count bytes; fewer only at the end of the data.
  virtual std::size_t Read(void* buffer, std::size_t count) = 0;
  // Writes up to count bytes and returns how many were written.
  virtual std::size_t Write(const void* buffer, std::size_t count) = 0;
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin);
  virtual std::int64_t Size();
  // Cuts (or extends) the stream at new_size.
  virtual void SetSize(std::int64_t new_size);
  // Pushes out whatever a wrapper still holds (a compressor's last block).
  virtual void Flush() {}

  std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(std::int64_t position) { Seek(position, TSeekOrigin::soBeginning); }
  // Exact transfers: a short one fails with "Stream read error" / "Stream write error".
  void ReadBuffer(void* buffer, std::size_t count);
  void WriteBuffer(const void* buffer, std::size_t count);
  // Reads until count bytes or the end of the data; returns the bytes read.
  std::size_t ReadFully(void* buffer, std::size_t count);
  // A second reader of the same bytes with a position of its own, for reading several
  // places at once; nullptr where the stream cannot give one.
  virtual std::unique_ptr<TStream> OpenReader() const { return nullptr; }
};

// A file on disk. Read-only files refuse to be opened for writing even for root,
// because the workstation platform this service mirrors refuses it too.
class TFileStream : public TStream {
 public:
  enum class TOpenMode { fmOpenRead, fmOpenReadWrite, fmCreate };

  TFileStream(const std::string& file_name, TOpenMode mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  std::size_t Read(void* buffer, std::size_t count) override;
  std::size_t Write(const void* buffer, std::size_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override;
  void SetSize(std::int64_t new_size) override;

  // The open file's kind, size, times and identity.
  TStatus TryInfo(platform::TFileInfo& info) const { return file_->TryInfo(info); }
  const std::string& FileName() const { return file_name_; }

 private:
  std::string file_name_;
  std::unique_ptr<platform::TFile> file_;
};

// Growable memory; used for entries compressed ahead of writing and for tests.
class TBytesStream : public TStream {
 public:
  TBytesStream() = default;
  explicit TBytesStream(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

  std::size_t Read(void* buffer, std::size_t count) override;
  std::size_t Write(const void* buffer, std::size_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(bytes_.size()); }
  void SetSize(std::int64_t new_size) override;

  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
  std::vector<std::uint8_t> TakeBytes();
  // Room for size bytes in one allocation.
  void Reserve(std::size_t size) { ReserveLarge(bytes_, size); }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t position_ = 0;
};

// Bytes held by someone else, read only; they must outlive the stream.
class TMemoryView : public TStream {
 public:
  TMemoryView(const void* data, std::size_t size) : data_(static_cast<const std::uint8_t*>(data)), size_(size) {}

  std::size_t Read(void* buffer, std::size_t count) override;
  std::size_t Write(const void* buffer, std::size_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(size_); }
  std::unique_ptr<TStream> OpenReader() const override { return std::make_unique<TMemoryView>(data_, size_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

}  // namespace ostrivan::archive

#include "archive/stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/error.h"
#include "common/file_system.h"

namespace ostrivan::archive {

std::int64_t TStream::Seek(std::int64_t, TSeekOrigin) { throw EStreamError("Stream does not support seeking"); }
std::int64_t TStream::Size() { throw EStreamError("Stream does not support seeking"); }
void TStream::SetSize(std::int64_t) { throw EStreamError("Stream does not support seeking"); }

std::size_t TStream::ReadFully(void* buffer, std::size_t count) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    std::size_t n = Read(out + done, count - done);
    if (n == 0) break;
    done += n;
  }
  return done;
}

void TStream::ReadBuffer(void* buffer, std::size_t count) {
  if (count != 0 && ReadFully(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::size_t count) {
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    std::size_t n = Write(in + done, count - done);
    if (n == 0) throw EWriteError("Stream write error");
    done += n;
  }
}

TFileStream::TFileStream(const std::string& file_name, TOpenMode mode) : file_name_(file_name) {
  const bool writing = mode != TOpenMode::fmOpenRead;
  int err = 0;
  if (file_name.find('\0') != std::string::npos) {
    err = EINVAL;
  } else if (writing && IsReadOnlyFile(file_name)) {
    err = EACCES;
  } else {
    platform::TFileSystem& files = platform::Files();
    TStatus opened;
    switch (mode) {
      // Without waiting, so that a FIFO met in a directory walk cannot stall the open.
      case TOpenMode::fmOpenRead: opened = files.TryOpen(file_name, {.NoWait = true}, file_); break;
      case TOpenMode::fmOpenReadWrite: opened = files.TryOpen(file_name, {.Write = true}, file_); break;
      case TOpenMode::fmCreate:
        opened = files.TryCreate(file_name, {.Mode = platform::TCreateMode::kTruncate, .Read = true}, file_);
        break;
    }
    err = opened.Code();
  }
  if (err != 0) {
    const std::string reason = SysErrorMessageText(err);
    if (mode == TOpenMode::fmCreate) throw CannotCreateFile(file_name, err);
    throw EFOpenError("Cannot open file \"" + file_name + "\". " + reason, file_name, err);
  }
}

TFileStream::~TFileStream() = default;

std::size_t TFileStream::Read(void* buffer, std::size_t count) {
  std::size_t got = 0;
  if (!file_->TryRead(buffer, count, got)) throw EReadError("Stream read error");
  return got;
}

std::size_t TFileStream::Write(const void* buffer, std::size_t count) {
  // All of it or nothing the caller can count on: WriteBuffer then fails.
  return file_->TryWrite(std::string_view(static_cast<const char*>(buffer), count)) ? count : 0;
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  const platform::TSeekFrom from = origin == TSeekOrigin::soBeginning ? platform::TSeekFrom::kBeginning
                                   : origin == TSeekOrigin::soCurrent ? platform::TSeekFrom::kCurrent
                                                                      : platform::TSeekFrom::kEnd;
  std::int64_t result = 0;
  if (!file_->TrySeek(offset, from, result)) throw EStreamError("Stream seek error");
  return result;
}

std::int64_t TFileStream::Size() {
  platform::TFileInfo info;
  if (const TStatus status = file_->TryInfo(info); !status) throw MakeOSError(status.Code());
  return info.Size;
}

void TFileStream::SetSize(std::int64_t new_size) {
  if (const TStatus status = file_->TryResize(new_size); !status) throw MakeOSError(status.Code());
}

std::size_t TBytesStream::Read(void* buffer, std::size_t count) {
  if (position_ >= bytes_.size()) return 0;
  std::size_t n = std::min(count, bytes_.size() - position_);
  std::memcpy(buffer, bytes_.data() + position_, n);
  position_ += n;
  return n;
}

std::size_t TBytesStream::Write(const void* buffer, std::size_t count) {
  if (count == 0) return 0;
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  if (position_ == bytes_.size()) {
    // Appending: copied once, without first clearing the new room.
    bytes_.insert(bytes_.end(), bytes, bytes + count);
    position_ += count;
    return count;
  }
  if (position_ + count > bytes_.size()) bytes_.resize(position_ + count);
  std::memcpy(bytes_.data() + position_, buffer, count);
  position_ += count;
  return count;
}

std::int64_t TBytesStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = origin == TSeekOrigin::soBeginning ? 0
                      : origin == TSeekOrigin::soCurrent ? static_cast<std::int64_t>(position_)
                                                         : static_cast<std::int64_t>(bytes_.size());
  std::int64_t target = base + offset;
  if (target < 0) throw EStreamError("Stream seek error");
  position_ = static_cast<std::size_t>(target);
  return target;
}

void TBytesStream::SetSize(std::int64_t new_size) {
  bytes_.resize(static_cast<std::size_t>(new_size));
  position_ = std::min(position_, bytes_.size());
}

std::vector<std::uint8_t> TBytesStream::TakeBytes() {
  position_ = 0;
  return std::move(bytes_);
}

std::size_t TMemoryView::Read(void* buffer, std::size_t count) {
  if (position_ >= size_) return 0;
  const std::size_t n = std::min(count, size_ - position_);
  std::memcpy(buffer, data_ + position_, n);
  position_ += n;
  return n;
}

std::size_t TMemoryView::Write(const void*, std::size_t) { throw EStreamError("Stream write error"); }

std::int64_t TMemoryView::Seek(std::int64_t offset, TSeekOrigin origin) {
  const std::int64_t base = origin == TSeekOrigin::soBeginning ? 0
                            : origin == TSeekOrigin::soCurrent ? static_cast<std::int64_t>(position_)
                                                               : static_cast<std::int64_t>(size_);
  const std::int64_t target = base + offset;
  if (target < 0) throw EStreamError("Stream seek error");
  position_ = static_cast<std::size_t>(target);
  return target;
}

}  // namespace ostrivan::archive

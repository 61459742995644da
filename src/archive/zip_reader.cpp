// Reading an archive's directory: the end record (and its ZIP64 form) found from the
// end, then every central header into files_. Entry data is not touched here.
#include <algorithm>
#include <cstring>
#include <vector>

#include "archive/text_encoding.h"
#include "archive/zip_file.h"
#include "archive/zip_record.h"

namespace ostrivan::archive {

using namespace record;

namespace {

constexpr std::size_t kMaxCommentSearch = 65535;  // the end record lies within the last 64 KiB

// Sequential reads of the central directory through one fixed buffer.
class TChunkReader {
 public:
  explicit TChunkReader(TStream& stream) : stream_(stream), buffer_(64 * 1024) {}
  bool Read(void* out, std::size_t count) {
    auto* dst = static_cast<std::uint8_t*>(out);
    while (count > 0) {
      if (pos_ == len_) {
        len_ = stream_.Read(buffer_.data(), buffer_.size());
        pos_ = 0;
        if (len_ == 0) return false;
      }
      std::size_t n = std::min(count, len_ - pos_);
      std::memcpy(dst, buffer_.data() + pos_, n);
      pos_ += n;
      dst += n;
      count -= n;
    }
    return true;
  }
  bool ReadString(std::string& out, std::size_t count) {
    out.resize(count);
    return count == 0 || Read(out.data(), count);
  }

 private:
  TStream& stream_;
  std::vector<std::uint8_t> buffer_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
};

}  // namespace

void TZipFile::ReadCentralDirectory() {
  files_.clear();
  comment_.clear();
  const std::int64_t stream_size = stream_->Size() - start_file_data_;
  if (stream_size <= 0) throw EReadError("Stream read error");
  const auto size = static_cast<std::uint64_t>(stream_size);
  if (size < kEndRecordSize) throw EZipException(kErrorReading);

  // Find the end record: the last signature that leaves room for a whole record.
  const std::size_t tail_len =
      static_cast<std::size_t>(std::min<std::uint64_t>(size, kMaxCommentSearch + kEndRecordSize));
  std::vector<std::uint8_t> tail(tail_len);
  stream_->SetPosition(start_file_data_ + static_cast<std::int64_t>(size - tail_len));
  if (stream_->ReadFully(tail.data(), tail_len) != tail_len) throw EZipException(kErrorReading);
  std::size_t found = SIZE_MAX;
  for (std::size_t i = tail_len - kEndRecordSize + 1; i-- > 0;) {
    if (Get32(&tail[i]) == kEndSignature) {
      found = i;
      break;
    }
  }
  if (found == SIZE_MAX) throw EZipException(kErrorReading);
  const std::uint64_t end_pos = size - tail_len + found;
  const std::uint8_t* rec = &tail[found];
  std::uint64_t count = Get16(rec + 10);
  std::uint64_t cd_offset = Get32(rec + 16);
  const std::uint32_t cd_size32 = Get32(rec + 12);
  const std::size_t comment_len = std::min<std::size_t>(Get16(rec + 20), tail_len - found - kEndRecordSize);
  comment_.assign(reinterpret_cast<const char*>(rec + kEndRecordSize), comment_len);
  std::uint64_t cd_limit = end_pos;  // the central directory lies before the end records

  // ZIP64: the offset field says so; a full count or size field says so when a locator
  // is really there (writers differ in which fields they max out).
  const bool offset_says_zip64 = cd_offset == kZip32Max;
  if (offset_says_zip64 || count == 0xFFFF || cd_size32 == kZip32Max) {
    std::uint8_t locator[kZip64LocatorSize];
    bool have_locator = false;
    if (end_pos >= kZip64LocatorSize) {
      stream_->SetPosition(start_file_data_ + static_cast<std::int64_t>(end_pos - kZip64LocatorSize));
      have_locator =
          stream_->ReadFully(locator, sizeof locator) == sizeof locator && Get32(locator) == kZip64LocatorSignature;
    }
    if (have_locator) {
      const std::uint64_t z64_pos = Get64(locator + 8);
      if (z64_pos > end_pos - kZip64LocatorSize || end_pos - kZip64LocatorSize - z64_pos < kZip64EndSize)
        throw EZipException(kErrorReading);
      std::uint8_t z64[kZip64EndSize];
      stream_->SetPosition(start_file_data_ + static_cast<std::int64_t>(z64_pos));
      if (stream_->ReadFully(z64, sizeof z64) != sizeof z64 || Get32(z64) != kZip64EndSignature)
        throw EZipException(kErrorReading);
      count = Get64(z64 + 32);
      cd_offset = Get64(z64 + 48);
      cd_limit = z64_pos;
    } else if (offset_says_zip64) {
      throw EZipException(kErrorReading);
    }
  }
  // Every central header takes at least 46 bytes: a count the space cannot hold is a
  // damaged or hostile archive, refused before anything is allocated for it.
  if (cd_offset > cd_limit || count > (cd_limit - cd_offset) / kCentralHeaderSize) throw EZipException(kErrorReading);

  stream_->SetPosition(start_file_data_ + static_cast<std::int64_t>(cd_offset));
  TChunkReader reader(*stream_);
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint8_t fixed[kCentralHeaderSize];
    if (!reader.Read(fixed, 4)) throw EZipException(kErrorReading);
    if (Get32(fixed) != kCentralSignature) throw EZipException("Invalid Zip Central Header signature");
    if (!reader.Read(fixed + 4, kCentralHeaderSize - 4)) throw EZipException(kErrorReading);
    TZipHeader h = DecodeCentralHeader(fixed);
    if (!reader.ReadString(h.FileName, h.FileNameLength) || !reader.ReadString(h.ExtraField, h.ExtraFieldLength) ||
        !reader.ReadString(h.FileComment, h.FileCommentLength))
      throw EZipException(kErrorReading);
    files_.push_back(std::move(h));
  }
  end_file_data_ = cd_offset;
}

std::string TZipFile::DecodeEntryName(const TZipHeader& central, const std::string& local_extra) {
  std::string unicode;
  if (FindExtraField(local_extra, kUnicodePathExtraId, unicode) && unicode.size() >= 5) {
    // Version byte, then the CRC-32 of the plain name the field stands in for.
    const std::uint32_t name_crc = Crc32(Crc32(0, nullptr, 0), At(central.FileName, 0), central.FileName.size());
    if (Get32(At(unicode, 1)) == name_crc) return SanitizeUTF8(unicode.substr(5));
  }
  if (central.GetUTF8Support()) return SanitizeUTF8(central.FileName);
  return CodePage437ToUTF8(central.FileName);
}

}  // namespace ostrivan::archive

#include "archive/zip_file.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include "archive/dos_date_time.h"
#include "archive/text_encoding.h"
#include "common/file_descriptor.h"

namespace ostrivan::archive {

namespace {

constexpr std::uint32_t kLocalSignature = 0x04034B50;
constexpr std::uint32_t kCentralSignature = 0x02014B50;
constexpr std::uint32_t kEndSignature = 0x06054B50;
constexpr std::uint32_t kZip64EndSignature = 0x06064B50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kZip64EndSize = 56;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kMaxCommentSearch = 65535;  // the end record lies within the last 64 KiB
constexpr std::size_t kMaxFieldLength = 65535;

const char* const kErrorReading = "Error reading zip file";
const char* const kErrorWriting = "Error writing zip file";

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t Get64(const std::uint8_t* p) { return Get32(p) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32); }

void Put16(std::string& s, std::uint16_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>(v >> 8));
}
void Put32(std::string& s, std::uint32_t v) {
  Put16(s, static_cast<std::uint16_t>(v & 0xFFFF));
  Put16(s, static_cast<std::uint16_t>(v >> 16));
}
void Put64(std::string& s, std::uint64_t v) {
  Put32(s, static_cast<std::uint32_t>(v));
  Put32(s, static_cast<std::uint32_t>(v >> 32));
}

std::string EncodeLocalHeader(const TZipHeader& h) {
  std::string s;
  s.reserve(kLocalHeaderSize + h.FileName.size() + h.ExtraField.size());
  Put32(s, kLocalSignature);
  Put16(s, h.RequiredVersion);
  Put16(s, h.Flag);
  Put16(s, h.CompressionMethod);
  Put32(s, h.ModifiedDateTime);
  Put32(s, h.CRC32);
  Put32(s, h.CompressedSize);
  Put32(s, h.UncompressedSize);
  Put16(s, h.FileNameLength);
  Put16(s, h.ExtraFieldLength);
  s += h.FileName;
  s += h.ExtraField;
  return s;
}

void AppendCentralHeader(std::string& s, const TZipHeader& h) {
  Put32(s, kCentralSignature);
  Put16(s, h.MadeByVersion);
  Put16(s, h.RequiredVersion);
  Put16(s, h.Flag);
  Put16(s, h.CompressionMethod);
  Put32(s, h.ModifiedDateTime);
  Put32(s, h.CRC32);
  Put32(s, h.CompressedSize);
  Put32(s, h.UncompressedSize);
  Put16(s, h.FileNameLength);
  Put16(s, h.ExtraFieldLength);
  Put16(s, h.FileCommentLength);
  Put16(s, h.DiskNumberStart);
  Put16(s, h.InternalAttributes);
  Put32(s, h.ExternalAttributes);
  Put32(s, h.LocalHeaderOffset);
  s += h.FileName;
  s += h.ExtraField;
  s += h.FileComment;
}

void WriteHeaderBytes(TStream& stream, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    std::size_t n = stream.Write(bytes.data() + done, bytes.size() - done);
    if (n == 0) throw EZipException(kErrorWriting);
    done += n;
  }
}

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

std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
  return libdeflate_crc32(crc, data, size);  // the same sums, several times faster
}

// Attribute word in the DOS layout: archive, plus read-only when the owner cannot write.
std::uint32_t DosAttributes(const struct stat& st) {
  std::uint32_t attributes = S_ISDIR(st.st_mode) ? 0x10 : 0x20;
  if ((st.st_mode & S_IWUSR) == 0) attributes |= 0x01;
  return attributes & 0x7BF7;
}

std::string BareFileName(const std::string& file_name) {
  std::size_t slash = file_name.find_last_of('/');
  return slash == std::string::npos ? file_name : file_name.substr(slash + 1);
}

// Splits an entry name into path segments inside the target directory. Both separators
// count; "." and empty segments vanish. Absolute names, drive prefixes and ".." are
// refused, so nothing can land outside the target.
bool SplitEntryName(const std::string& name, std::vector<std::string>& parts, bool& is_directory) {
  parts.clear();
  if (name.empty()) return false;
  if (name[0] == '/' || name[0] == '\\') return false;
  if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0]))) return false;
  is_directory = name.back() == '/' || name.back() == '\\';
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find_first_of("/\\", start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    if (part == "..") return false;
    if (!part.empty() && part != ".") parts.push_back(std::move(part));
    start = end + 1;
  }
  return !parts.empty() || is_directory;
}

std::string UnsafeNameMessage(const std::string& name) {
  return "Zip entry name outside the target directory: \"" + name + "\"";
}

// Free bytes on the file system that holds path (or its nearest existing parent).
std::uint64_t FreeSpaceFor(std::string path) {
  for (;;) {
    struct statvfs vfs {};
    if (::statvfs(path.empty() ? "." : path.c_str(), &vfs) == 0)
      return static_cast<std::uint64_t>(vfs.f_bavail) * static_cast<std::uint64_t>(vfs.f_frsize);
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) path = ".";
    else if (slash == 0) path = "/";
    else path.resize(slash);
    if (path == "." || path == "/") {
      if (::statvfs(path.c_str(), &vfs) == 0)
        return static_cast<std::uint64_t>(vfs.f_bavail) * static_cast<std::uint64_t>(vfs.f_frsize);
      return UINT64_MAX;
    }
  }
}

void ForceDirectory(const std::string& dir, bool allow_links) {
  struct stat st {};
  int rc = allow_links ? ::stat(dir.c_str(), &st) : ::lstat(dir.c_str(), &st);
  if (rc == 0) {
    if (S_ISDIR(st.st_mode)) return;
    throw EZipException("Cannot create directory \"" + dir + "\". " + SysErrorMessageText(ENOTDIR));
  }
  if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
    throw EZipException("Cannot create directory \"" + dir + "\". " + SysErrorMessageText(errno));
}

// Creates the target directory given by the caller with all missing parents.
void ForceDirectories(const std::string& dir) {
  if (dir.empty()) return;
  std::size_t at = 0;
  while (true) {
    at = dir.find('/', at + 1);
    std::string prefix = at == std::string::npos ? dir : dir.substr(0, at);
    if (!prefix.empty()) ForceDirectory(prefix, true);
    if (at == std::string::npos) break;
  }
}

// Only regular files are packed: a directory (reached through a link) or a FIFO has no
// content to read, and reading a FIFO could wait forever.
void CheckRegularFile(int fd, const std::string& file_name, struct stat& st) {
  if (::fstat(fd, &st) != 0) throw MakeOSError(errno);
  if (!S_ISREG(st.st_mode))
    throw EFOpenError("Cannot open file \"" + file_name + "\". " +
                      (S_ISDIR(st.st_mode) ? SysErrorMessageText(EISDIR) : std::string("Not a regular file")));
}

thread_local int g_last_write_error = 0;

[[noreturn]] void RaiseWriteError(int code) {
  g_last_write_error = code;
  throw EWriteError("Stream write error");
}

void WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) RaiseWriteError(n < 0 ? errno : ENOSPC);
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

struct TZipFile::TPreparedEntry {
  bool streamed = false;  // too large to hold in memory: added in its turn instead
  struct stat st {};
  std::vector<std::uint8_t> data;
  std::uint32_t crc = 0;
  std::uint64_t size = 0;
  std::exception_ptr error;
};

TZipFile::TZipFile() = default;

TZipFile::~TZipFile() { CloseNoThrow(); }

void TZipFile::Open(const std::string& file_name, TZipMode mode) {
  Close();
  if (mode == TZipMode::zmClosed) throw EZipException("Invalid argument");
  TFileStream::TOpenMode open_mode = mode == TZipMode::zmRead    ? TFileStream::TOpenMode::fmOpenRead
                                     : mode == TZipMode::zmWrite ? TFileStream::TOpenMode::fmCreate
                                                                 : TFileStream::TOpenMode::fmOpenReadWrite;
  FFileStream = std::make_unique<TFileStream>(file_name, open_mode);
  try {
    FStream = FFileStream.get();
    NoteSourceFile(*FStream);
    FStartFileData = 0;
    if (mode != TZipMode::zmWrite) ReadCentralDirectory();
    FMode = mode;
  } catch (...) {
    FFiles.clear();
    FStream = nullptr;
    FFileStream.reset();
    throw;
  }
}

void TZipFile::Open(TStream& stream, TZipMode mode) {
  Close();
  if (mode == TZipMode::zmClosed) throw EZipException("Invalid argument");
  FStream = &stream;
  try {
    NoteSourceFile(stream);
    FStartFileData = stream.Position();
    FEndFileData = 0;
    if (mode != TZipMode::zmWrite) ReadCentralDirectory();
    FMode = mode;
  } catch (...) {
    FFiles.clear();
    FStream = nullptr;
    throw;
  }
}

void TZipFile::NoteSourceFile(TStream& stream) {
  struct stat st {};
  auto* file = dynamic_cast<TFileStream*>(&stream);
  FHasSourceFile = file != nullptr && ::fstat(file->Handle(), &st) == 0;
  FSourceDevice = FHasSourceFile ? st.st_dev : 0;
  FSourceInode = FHasSourceFile ? st.st_ino : 0;
}

bool TZipFile::IsSourceFile(const struct stat& st) const {
  return FHasSourceFile && st.st_dev == FSourceDevice && st.st_ino == FSourceInode;
}

void TZipFile::ReadCentralDirectory() {
  FFiles.clear();
  FComment.clear();
  const std::int64_t stream_size = FStream->Size() - FStartFileData;
  if (stream_size <= 0) throw EReadError("Stream read error");
  const auto size = static_cast<std::uint64_t>(stream_size);
  if (size < kEndRecordSize) throw EZipException(kErrorReading);

  // Find the end record: the last signature that leaves room for a whole record.
  const std::size_t tail_len = static_cast<std::size_t>(std::min<std::uint64_t>(size, kMaxCommentSearch + kEndRecordSize));
  std::vector<std::uint8_t> tail(tail_len);
  FStream->SetPosition(FStartFileData + static_cast<std::int64_t>(size - tail_len));
  if (FStream->ReadFully(tail.data(), tail_len) != tail_len) throw EZipException(kErrorReading);
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
  FComment.assign(reinterpret_cast<const char*>(rec + kEndRecordSize), comment_len);
  std::uint64_t cd_limit = end_pos;  // the central directory lies before the end records

  // ZIP64: the offset field says so; a full count or size field says so when a locator
  // is really there (writers differ in which fields they max out).
  const bool offset_says_zip64 = cd_offset == kZip32Max;
  if (offset_says_zip64 || count == 0xFFFF || cd_size32 == kZip32Max) {
    std::uint8_t locator[kZip64LocatorSize];
    bool have_locator = false;
    if (end_pos >= kZip64LocatorSize) {
      FStream->SetPosition(FStartFileData + static_cast<std::int64_t>(end_pos - kZip64LocatorSize));
      have_locator = FStream->ReadFully(locator, sizeof locator) == sizeof locator &&
                     Get32(locator) == kZip64LocatorSignature;
    }
    if (have_locator) {
      const std::uint64_t z64_pos = Get64(locator + 8);
      if (z64_pos > end_pos - kZip64LocatorSize || end_pos - kZip64LocatorSize - z64_pos < kZip64EndSize)
        throw EZipException(kErrorReading);
      std::uint8_t z64[kZip64EndSize];
      FStream->SetPosition(FStartFileData + static_cast<std::int64_t>(z64_pos));
      if (FStream->ReadFully(z64, sizeof z64) != sizeof z64 || Get32(z64) != kZip64EndSignature)
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

  FStream->SetPosition(FStartFileData + static_cast<std::int64_t>(cd_offset));
  TChunkReader reader(*FStream);
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint8_t fixed[kCentralHeaderSize];
    if (!reader.Read(fixed, 4)) throw EZipException(kErrorReading);
    if (Get32(fixed) != kCentralSignature) throw EZipException("Invalid Zip Central Header signature");
    if (!reader.Read(fixed + 4, kCentralHeaderSize - 4)) throw EZipException(kErrorReading);
    TZipHeader h;
    h.MadeByVersion = Get16(fixed + 4);
    h.RequiredVersion = Get16(fixed + 6);
    h.Flag = Get16(fixed + 8);
    h.CompressionMethod = Get16(fixed + 10);
    h.ModifiedDateTime = Get32(fixed + 12);
    h.CRC32 = Get32(fixed + 16);
    h.CompressedSize = Get32(fixed + 20);
    h.UncompressedSize = Get32(fixed + 24);
    h.FileNameLength = Get16(fixed + 28);
    h.ExtraFieldLength = Get16(fixed + 30);
    h.FileCommentLength = Get16(fixed + 32);
    h.DiskNumberStart = Get16(fixed + 34);
    h.InternalAttributes = Get16(fixed + 36);
    h.ExternalAttributes = Get32(fixed + 38);
    h.LocalHeaderOffset = Get32(fixed + 42);
    if (!reader.ReadString(h.FileName, h.FileNameLength) || !reader.ReadString(h.ExtraField, h.ExtraFieldLength) ||
        !reader.ReadString(h.FileComment, h.FileCommentLength))
      throw EZipException(kErrorReading);
    FFiles.push_back(std::move(h));
  }
  FEndFileData = cd_offset;
}

void TZipFile::Close() {
  if (FMode == TZipMode::zmClosed && FStream == nullptr) return;
  struct TReset {
    TZipFile& zip;
    ~TReset() {
      zip.FFiles.clear();
      zip.FStream = nullptr;
      zip.FFileStream.reset();
      zip.FMode = TZipMode::zmClosed;
    }
  } reset{*this};
  if (FMode != TZipMode::zmWrite && FMode != TZipMode::zmReadWrite) return;

  FStream->SetPosition(FStartFileData + static_cast<std::int64_t>(FEndFileData));
  const std::uint64_t cd_start = FEndFileData;
  std::uint64_t cd_size = 0;
  std::string block;
  for (const TZipHeader& h : FFiles) {
    AppendCentralHeader(block, h);
    if (block.size() >= 64 * 1024) {
      WriteHeaderBytes(*FStream, block);
      cd_size += block.size();
      block.clear();
    }
  }
  WriteHeaderBytes(*FStream, block);
  cd_size += block.size();
  block.clear();

  const std::uint64_t count = FFiles.size();
  const bool zip64 = count >= 0xFFFF || cd_start >= kZip32Max;
  if (zip64) {
    const std::uint64_t z64_pos = cd_start + cd_size;
    Put32(block, kZip64EndSignature);
    Put64(block, 44);
    Put16(block, 45);
    Put16(block, 45);
    Put32(block, 0);
    Put32(block, 0);
    Put64(block, count);
    Put64(block, count);
    Put64(block, cd_size);
    Put64(block, cd_start);
    Put32(block, kZip64LocatorSignature);
    Put32(block, 0);
    Put64(block, z64_pos);
    Put32(block, 1);
  }
  const std::string comment = FComment.substr(0, kMaxFieldLength);
  Put32(block, kEndSignature);
  Put16(block, 0);
  Put16(block, 0);
  Put16(block, zip64 ? 0xFFFF : static_cast<std::uint16_t>(count));
  Put16(block, zip64 ? 0xFFFF : static_cast<std::uint16_t>(count));
  Put32(block, zip64 ? kZip32Max : static_cast<std::uint32_t>(cd_size));
  Put32(block, zip64 ? kZip32Max : static_cast<std::uint32_t>(cd_start));
  Put16(block, static_cast<std::uint16_t>(comment.size()));
  block += comment;
  WriteHeaderBytes(*FStream, block);
  // Nothing of an older, longer content may remain after the end record.
  FStream->SetSize(FStream->Position());
}

void TZipFile::CloseNoThrow() noexcept {
  try {
    Close();
  } catch (...) {
    // Destruction cannot report; the entries written so far are all that can be saved.
  }
}

void TZipFile::CheckWritable(std::uint16_t compression, const std::string& file_name) const {
  if (file_name.empty()) throw EZipException("File name must not be empty");
  if (FMode != TZipMode::zmWrite && FMode != TZipMode::zmReadWrite) throw EZipException("File must be open for writing");
  TStreamConstructor writer, reader;
  if (!FindCompressionHandler(compression, writer, reader))
    throw EZipException("Support for compression method not registered: " + CompressionMethodName(compression));
}

TZipHeader TZipFile::BuildHeader(const struct stat& source, const std::string& file_name,
                                 const std::string& archive_file_name, std::uint16_t compression) const {
  TZipHeader h;
  h.CompressionMethod = compression;
  h.ModifiedDateTime = DateTimeToDosDateTime(source.st_mtime);
  h.ExternalAttributes = DosAttributes(source);
  // Names are stored as given: a relative path made with backslashes keeps them.
  h.FileName = archive_file_name.empty() ? BareFileName(file_name) : archive_file_name;
  if (h.FileName.size() > kMaxFieldLength) throw EZipException("File name too long for a zip entry");
  h.FileNameLength = static_cast<std::uint16_t>(h.FileName.size());
  h.SetUTF8Support(FUTF8Support);
  if ((h.MadeByVersion & 0xFF) < 20) h.MadeByVersion = static_cast<std::uint16_t>((h.MadeByVersion & 0xFF00) | 20);
  if ((h.RequiredVersion & 0xFF) < 20) h.RequiredVersion = static_cast<std::uint16_t>((h.RequiredVersion & 0xFF00) | 20);
  const auto size = static_cast<std::uint64_t>(source.st_size);
  h.SetUncompressedSize64(size);
  h.SetLocalHeaderOffset64(FEndFileData);
  // Deflate can grow incompressible data slightly; reserve the 64-bit compressed size
  // whenever it might be needed, since the local header cannot grow once data follows.
  if (size >= kZip32Max - size / 1000 - 1024) h.ReserveCompressedSize64();
  return h;
}

void TZipFile::Add(const std::string& file_name, const std::string& archive_file_name, std::uint16_t compression) {
  CheckWritable(compression, file_name);
  TStreamConstructor writer_ctor, reader_ctor;
  FindCompressionHandler(compression, writer_ctor, reader_ctor);

  TFileStream source(file_name, TFileStream::TOpenMode::fmOpenRead);
  struct stat st {};
  CheckRegularFile(source.Handle(), file_name, st);
  TZipHeader h = BuildHeader(st, file_name, archive_file_name, compression);
  FCurrentFile = file_name;

  const std::int64_t header_pos = FStartFileData + static_cast<std::int64_t>(FEndFileData);
  FStream->SetPosition(header_pos);
  const std::string provisional = EncodeLocalHeader(h);
  WriteHeaderBytes(*FStream, provisional);
  const std::int64_t data_start = header_pos + static_cast<std::int64_t>(provisional.size());

  std::uint32_t crc = Crc32(0, nullptr, 0);
  std::uint64_t total = 0;
  {
    std::unique_ptr<TStream> writer = writer_ctor(*FStream, h);
    std::vector<std::uint8_t> chunk(kAddChunk);
    for (;;) {
      std::size_t n = source.Read(chunk.data(), chunk.size());
      if (n == 0) break;
      crc = Crc32(crc, chunk.data(), n);
      writer->WriteBuffer(chunk.data(), n);
      total += n;
    }
    writer->Flush();
  }
  const std::int64_t data_end = FStream->Position();
  h.CRC32 = crc;
  h.SetUncompressedSize64(total);
  h.SetCompressedSize64(static_cast<std::uint64_t>(data_end - data_start));
  FEndFileData = static_cast<std::uint64_t>(data_end - FStartFileData);

  const std::string final_header = EncodeLocalHeader(h);
  // A file that grew past 4 GiB while being read would need a larger header than the one
  // already in front of its data.
  if (final_header.size() != provisional.size()) throw EZipException(kErrorWriting);
  FStream->SetPosition(header_pos);
  WriteHeaderBytes(*FStream, final_header);
  FStream->SetPosition(data_end);
  FCurrentHeader = h;
  FFiles.push_back(std::move(h));
  if (FOnProgress) FOnProgress(file_name, FFiles.back(), total);
}

void TZipFile::WritePrepared(TPreparedEntry& entry, const TZipSource& source, std::uint16_t compression) {
  // Same header steps as Add, with the final values known up front.
  FCurrentFile = source.FileName;
  TZipHeader h = BuildHeader(entry.st, source.FileName, source.ArchiveFileName, compression);
  const std::int64_t header_pos = FStartFileData + static_cast<std::int64_t>(FEndFileData);
  h.CRC32 = entry.crc;
  h.SetUncompressedSize64(entry.size);
  h.SetCompressedSize64(entry.data.size());
  FStream->SetPosition(header_pos);
  WriteHeaderBytes(*FStream, EncodeLocalHeader(h));
  FStream->WriteBuffer(entry.data.data(), entry.data.size());
  FEndFileData = static_cast<std::uint64_t>(FStream->Position() - FStartFileData);
  FCurrentHeader = h;
  FFiles.push_back(std::move(h));
  if (FOnProgress) FOnProgress(FCurrentFile, FFiles.back(), entry.size);
}

void TZipFile::AddFiles(const std::vector<TZipSource>& sources, std::uint16_t compression, unsigned threads) {
  unsigned workers = threads != 0 ? threads : std::max(1u, std::thread::hardware_concurrency());
  if (workers <= 1 || sources.size() < 2) {
    for (const TZipSource& s : sources) Add(s.FileName, s.ArchiveFileName, compression);
    return;
  }
  CheckWritable(compression, sources.front().FileName);
  TStreamConstructor writer_ctor, reader_ctor;
  FindCompressionHandler(compression, writer_ctor, reader_ctor);

  const std::size_t n = sources.size();
  const std::size_t window = 2 * static_cast<std::size_t>(workers);  // entries in flight
  std::mutex lock;
  std::condition_variable changed;
  std::size_t next_claim = 0;
  std::size_t consumed = 0;
  bool stop = false;
  std::vector<std::unique_ptr<TPreparedEntry>> slots(n);

  auto prepare = [&](std::size_t i) {
    auto entry = std::make_unique<TPreparedEntry>();
    try {
      const TZipSource& s = sources[i];
      if (s.FileName.empty()) throw EZipException("File name must not be empty");
      TFileStream source(s.FileName, TFileStream::TOpenMode::fmOpenRead);
      CheckRegularFile(source.Handle(), s.FileName, entry->st);
      if (static_cast<std::uint64_t>(entry->st.st_size) > kParallelEntryLimit) {
        entry->streamed = true;
        return entry;
      }
      TBytesStream out;
      TZipHeader dummy;
      dummy.CompressionMethod = compression;
      dummy.SetUncompressedSize64(static_cast<std::uint64_t>(entry->st.st_size));
      std::uint32_t crc = Crc32(0, nullptr, 0);
      std::uint64_t total = 0;
      {
        std::unique_ptr<TStream> writer = writer_ctor(out, dummy);
        std::vector<std::uint8_t> chunk(kAddChunk);
        for (;;) {
          std::size_t got = source.Read(chunk.data(), chunk.size());
          if (got == 0) break;
          crc = Crc32(crc, chunk.data(), got);
          writer->WriteBuffer(chunk.data(), got);
          total += got;
        }
        writer->Flush();
      }
      entry->crc = crc;
      entry->size = total;
      entry->data = out.TakeBytes();
    } catch (...) {
      entry->error = std::current_exception();
    }
    return entry;
  };

  auto work = [&] {
    for (;;) {
      std::size_t i;
      {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return stop || next_claim >= n || next_claim < consumed + window; });
        if (stop || next_claim >= n) return;
        i = next_claim++;
      }
      auto entry = prepare(i);
      {
        std::lock_guard<std::mutex> guard(lock);
        slots[i] = std::move(entry);
      }
      changed.notify_all();
    }
  };

  std::vector<std::thread> pool;
  struct TJoin {
    std::vector<std::thread>& pool;
    std::mutex& lock;
    bool& stop;
    std::condition_variable& changed;
    ~TJoin() {
      {
        std::lock_guard<std::mutex> guard(lock);
        stop = true;
      }
      changed.notify_all();
      for (auto& t : pool) t.join();
    }
  } join{pool, lock, stop, changed};
  for (unsigned w = 0; w < workers; ++w) pool.emplace_back(work);

  for (std::size_t i = 0; i < n; ++i) {
    std::unique_ptr<TPreparedEntry> entry;
    {
      std::unique_lock<std::mutex> guard(lock);
      changed.wait(guard, [&] { return slots[i] != nullptr; });
      entry = std::move(slots[i]);
      consumed = i + 1;
    }
    changed.notify_all();
    if (entry->error) std::rethrow_exception(entry->error);
    if (entry->streamed) {
      Add(sources[i].FileName, sources[i].ArchiveFileName, compression);
      continue;
    }
    WritePrepared(*entry, sources[i], compression);
  }
}

std::string TZipFile::DecodeEntryName(const TZipHeader& central, const std::string& local_extra) {
  std::string unicode;
  if (FindExtraField(local_extra, kUnicodePathExtraId, unicode) && unicode.size() >= 5) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(unicode.data());
    const std::uint32_t name_crc = Crc32(Crc32(0, nullptr, 0), reinterpret_cast<const std::uint8_t*>(central.FileName.data()),
                                         central.FileName.size());
    if (Get32(p + 1) == name_crc) return SanitizeUTF8(unicode.substr(5));
  }
  if (central.GetUTF8Support()) return SanitizeUTF8(central.FileName);
  return CodePage437ToUTF8(central.FileName);
}

namespace {

struct TExtractPlan {
  std::vector<std::string> parts;
  bool is_directory = false;
  std::uint64_t data_start = 0;
  std::uint32_t local_date_time = 0;
};

}  // namespace

int TZipFile::LastWriteError() { return g_last_write_error; }

void TZipFile::ExtractAll(const std::string& path) {
  g_last_write_error = 0;
  if (FMode != TZipMode::zmRead && FMode != TZipMode::zmReadWrite) throw EZipException("File must be open for reading");
  if (path.find('\0') != std::string::npos) throw EZipException("Invalid characters in path");

  // Check every entry before anything is written: local headers where the central
  // directory says, names that stay inside the target, data ranges that neither overlap
  // each other (the classic zip bomb) nor run into the central directory.
  std::vector<TExtractPlan> plans(FFiles.size());
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  ranges.reserve(FFiles.size());
  std::uint64_t total_size = 0;
  for (std::size_t i = 0; i < FFiles.size(); ++i) {
    const TZipHeader& h = FFiles[i];
    const std::uint64_t offset = h.GetLocalHeaderOffset64();
    if (offset > FEndFileData || FEndFileData - offset < kLocalHeaderSize) throw EZipException(kErrorReading);
    std::uint8_t fixed[kLocalHeaderSize];
    FStream->SetPosition(FStartFileData + static_cast<std::int64_t>(offset));
    if (FStream->ReadFully(fixed, sizeof fixed) != sizeof fixed) throw EZipException(kErrorReading);
    if (Get32(fixed) != kLocalSignature) throw EZipException("Invalid Zip Local Header signature");
    const std::uint16_t name_len = Get16(fixed + 26);
    const std::uint16_t extra_len = Get16(fixed + 28);
    std::string skipped_name(name_len, '\0');
    std::string local_extra(extra_len, '\0');
    if (FStream->ReadFully(skipped_name.data(), name_len) != name_len ||
        FStream->ReadFully(local_extra.data(), extra_len) != extra_len)
      throw EZipException(kErrorReading);
    TExtractPlan& plan = plans[i];
    plan.local_date_time = Get32(fixed + 10);
    plan.data_start = offset + kLocalHeaderSize + name_len + extra_len;
    const std::uint64_t compressed = h.GetCompressedSize64();
    if (plan.data_start > FEndFileData || FEndFileData - plan.data_start < compressed) throw EZipException(kErrorReading);
    ranges.emplace_back(offset, plan.data_start + compressed);

    const std::string name = DecodeEntryName(h, local_extra);
    if (name.find('\0') != std::string::npos) throw EZipException("Invalid characters in path");
    if (!SplitEntryName(name, plan.parts, plan.is_directory)) throw EZipException(UnsafeNameMessage(name));
    if (!plan.is_directory) {
      // Writing onto the archive itself would truncate it with entries still unread,
      // whatever name (Unicode path field, hard link) leads there.
      std::string target = path.empty() ? std::string(".") : path;
      for (const std::string& part : plan.parts) target += '/' + part;
      struct stat existing {};
      if (::lstat(target.c_str(), &existing) == 0 && IsSourceFile(existing))
        throw EFCreateError("Cannot create file \"" + target + "\". " + SysErrorMessageText(EBUSY));
    }
    if (!plan.is_directory) {
      const std::uint64_t size = h.GetUncompressedSize64();
      total_size = size > UINT64_MAX - total_size ? UINT64_MAX : total_size + size;
    }
  }
  std::sort(ranges.begin(), ranges.end());
  for (std::size_t i = 1; i < ranges.size(); ++i)
    if (ranges[i].first < ranges[i - 1].second) throw EZipException(kErrorReading);
  if (total_size > FreeSpaceFor(path)) throw EZipException("Not enough free disk space to extract the zip file");

  const std::string base = path.empty() ? std::string(".") : path;
  ForceDirectories(base);
  std::vector<std::uint8_t> buffer;
  for (std::size_t i = 0; i < FFiles.size(); ++i) {
    const TZipHeader& h = FFiles[i];
    const TExtractPlan& plan = plans[i];
    TStreamConstructor writer_ctor, reader_ctor;
    if (!FindCompressionHandler(h.CompressionMethod, writer_ctor, reader_ctor)) throw EZipException("Item not found");
    FCurrentHeader = h;

    std::string target = base;
    const std::size_t dir_parts = plan.is_directory ? plan.parts.size() : plan.parts.size() - 1;
    for (std::size_t k = 0; k < dir_parts; ++k) {
      target += '/';
      target += plan.parts[k];
      ForceDirectory(target, false);
    }
    if (plan.is_directory) continue;
    target += '/';
    target += plan.parts.back();
    FCurrentFile = target;

    // An existing read-only file is not overwritten, and a link is never followed.
    struct stat existing {};
    if (::lstat(target.c_str(), &existing) == 0) {
      int reason = IsSourceFile(existing)                                       ? EBUSY
                   : S_ISLNK(existing.st_mode)                                  ? ELOOP
                   : S_ISREG(existing.st_mode) && (existing.st_mode & S_IWUSR) == 0 ? EACCES
                                                                                 : 0;
      if (reason != 0) throw EFCreateError("Cannot create file \"" + target + "\". " + SysErrorMessageText(reason));
    }
    TFileDescriptor fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd.get() < 0) throw EFCreateError("Cannot create file \"" + target + "\". " + SysErrorMessageText(errno));

    FStream->SetPosition(FStartFileData + static_cast<std::int64_t>(plan.data_start));
    std::unique_ptr<TStream> reader = reader_ctor(*FStream, h);
    std::uint64_t remaining = h.GetUncompressedSize64();
    std::uint32_t crc = Crc32(0, nullptr, 0);
    if (buffer.size() < kExtractChunk && remaining > buffer.size())
      buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kExtractChunk)));
    while (remaining > 0) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, buffer.size()));
      if (reader->ReadFully(buffer.data(), want) != want) throw EZipException(kErrorReading);
      crc = Crc32(crc, buffer.data(), want);
      WriteAll(fd.get(), buffer.data(), want);
      remaining -= want;
    }
    // Data beyond the declared size means the header lies: stop here.
    std::uint8_t probe;
    if (reader->Read(&probe, 1) != 0) throw EZipException(kErrorReading);
    if (crc != h.CRC32) throw EZipCRCException(kErrorReading);

    std::time_t when;
    if (DosDateTimeToDateTime(plan.local_date_time, when)) {
      struct timespec times[2] = {{when, 0}, {when, 0}};
      ::futimens(fd.get(), times);
    }
    if ((h.MadeByVersion >> 8) == 0 && (h.ExternalAttributes & 0x01) != 0) {
      struct stat st {};
      if (::fstat(fd.get(), &st) == 0) ::fchmod(fd.get(), st.st_mode & ~static_cast<mode_t>(0222));
    }
    if (::close(fd.release()) != 0) RaiseWriteError(errno);
    if (FOnProgress) FOnProgress(target, h, h.GetUncompressedSize64());
  }
}

}  // namespace ostrivan::archive

// Extraction: every entry checked before anything is written, then each written below
// the target directory with its time stamp and read-only bit.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <exception>

#include "archive/dos_date_time.h"
#include "archive/zip_file.h"
#include "archive/zip_record.h"
#include "common/concurrently.h"
#include "common/file_descriptor.h"
#include "common/file_system.h"
#include "common/large_buffer.h"
#include "common/paths.h"

namespace ostrivan::archive {

using namespace record;

namespace {

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
    path = ParentFolder(path);
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

thread_local int g_last_write_error = 0;

[[noreturn]] void RaiseWriteError(int code) {
  g_last_write_error = code;
  throw EWriteError("Stream write error");
}

void WriteAllOrRaise(int fd, const std::uint8_t* data, std::size_t size) {
  const int code = WriteAll(fd, std::string_view(reinterpret_cast<const char*>(data), size));
  if (code != 0) RaiseWriteError(code);
}

// Reads the local header the central one points to, inside [0, end) of the archive that
// starts at `start`; fills the plan's data range and time, returns the local extra field.
std::string ReadLocalHeader(TStream& stream, std::int64_t start, std::uint64_t end, const TZipHeader& h,
                            TExtractPlan& plan) {
  const std::uint64_t offset = h.GetLocalHeaderOffset64();
  if (offset > end || end - offset < kLocalHeaderSize) throw EZipException(kErrorReading);
  std::uint8_t fixed[kLocalHeaderSize];
  stream.SetPosition(start + static_cast<std::int64_t>(offset));
  if (stream.ReadFully(fixed, sizeof fixed) != sizeof fixed) throw EZipException(kErrorReading);
  if (Get32(fixed) != kLocalSignature) throw EZipException("Invalid Zip Local Header signature");
  const std::uint16_t name_len = Get16(fixed + 26);
  const std::uint16_t extra_len = Get16(fixed + 28);
  std::string skipped_name(name_len, '\0');
  std::string local_extra(extra_len, '\0');
  if (stream.ReadFully(skipped_name.data(), name_len) != name_len ||
      stream.ReadFully(local_extra.data(), extra_len) != extra_len)
    throw EZipException(kErrorReading);
  plan.local_date_time = Get32(fixed + 10);
  plan.data_start = offset + kLocalHeaderSize + name_len + extra_len;
  if (plan.data_start > end || end - plan.data_start < h.GetCompressedSize64()) throw EZipException(kErrorReading);
  return local_extra;
}

// Copies exactly the declared uncompressed size from reader to fd (none when -1) and
// checks its CRC.
void CopyEntryData(TStream& reader, int fd, const TZipHeader& h, std::vector<std::uint8_t>& buffer) {
  std::uint64_t remaining = h.GetUncompressedSize64();
  std::uint32_t crc = Crc32(0, nullptr, 0);
  if (buffer.size() < kExtractChunk && remaining > buffer.size()) {
    const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kExtractChunk));
    ReserveLarge(buffer, size);
    buffer.resize(size);
  }
  while (remaining > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, buffer.size()));
    if (reader.ReadFully(buffer.data(), want) != want) throw EZipException(kErrorReading);
    crc = Crc32(crc, buffer.data(), want);
    if (fd >= 0) WriteAllOrRaise(fd, buffer.data(), want);  // -1: only checked
    remaining -= want;
  }
  // Data beyond the declared size means the header lies: stop here.
  std::uint8_t probe;
  if (reader.Read(&probe, 1) != 0) throw EZipException(kErrorReading);
  if (crc != h.CRC32) throw EZipCRCException(kErrorReading);
}

// The entry's time from its local header, and read-only when a DOS-made entry says so.
void ApplyTimeAndAttributes(int fd, const TZipHeader& h, std::uint32_t local_date_time) {
  std::time_t when;
  if (DosDateTimeToDateTime(local_date_time, when)) {
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ::futimens(fd, times);
  }
  if ((h.MadeByVersion >> 8) == 0 && (h.ExternalAttributes & 0x01) != 0) {
    struct stat st {};
    if (::fstat(fd, &st) == 0) ::fchmod(fd, st.st_mode & ~static_cast<mode_t>(0222));
  }
}

}  // namespace

int TZipFile::LastWriteError() { return g_last_write_error; }

void TZipFile::ExtractAll(const std::string& path, unsigned threads) {
  g_last_write_error = 0;
  if (mode_ != TZipMode::zmRead && mode_ != TZipMode::zmReadWrite) throw EZipException("File must be open for reading");
  if (path.find('\0') != std::string::npos) throw EZipException("Invalid characters in path");

  std::uint64_t total_size = 0;
  const std::vector<TExtractPlan> plans = PlanEntries(&path, total_size);
  if (total_size > FreeSpaceFor(path)) throw EZipException("Not enough free disk space to extract the zip file");

  const std::string base = path.empty() ? std::string(".") : path;
  ForceDirectories(base);
  if (threads > 1 && files_.size() > 1 && ExtractConcurrently(base, plans, threads)) return;
  std::vector<std::uint8_t> buffer;
  for (std::size_t i = 0; i < files_.size(); ++i) {
    std::string target;
    TFileDescriptor fd;
    if (!OpenTarget(base, files_[i], plans[i], target, fd)) continue;
    stream_->SetPosition(start_file_data_ + static_cast<std::int64_t>(plans[i].data_start));
    WriteEntry(*stream_, files_[i], plans[i], target, fd, buffer);
  }
}

std::vector<TExtractPlan> TZipFile::PlanEntries(const std::string* path, std::uint64_t& total_size) {
  // Check every entry before anything is written: local headers where the central
  // directory says, names that stay inside the target, data ranges that neither overlap
  // each other (the classic zip bomb) nor run into the central directory.
  std::vector<TExtractPlan> plans(files_.size());
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  ranges.reserve(files_.size());
  total_size = 0;
  for (std::size_t i = 0; i < files_.size(); ++i) {
    const TZipHeader& h = files_[i];
    TExtractPlan& plan = plans[i];
    const std::string local_extra = ReadLocalHeader(*stream_, start_file_data_, end_file_data_, h, plan);
    ranges.emplace_back(h.GetLocalHeaderOffset64(), plan.data_start + h.GetCompressedSize64());

    const std::string name = DecodeEntryName(h, local_extra);
    if (name.find('\0') != std::string::npos) throw EZipException("Invalid characters in path");
    if (!SplitEntryName(name, plan.parts, plan.is_directory)) throw EZipException(UnsafeNameMessage(name));
    if (!plan.is_directory) {
      if (path != nullptr) {
        // Writing onto the archive itself would truncate it with entries still unread,
        // whatever name (Unicode path field, hard link) leads there.
        std::string target = path->empty() ? std::string(".") : *path;
        for (const std::string& part : plan.parts) target += '/' + part;
        struct stat existing {};
        if (::lstat(target.c_str(), &existing) == 0 && IsSourceFile(existing)) throw CannotCreateFile(target, EBUSY);
      }
      const std::uint64_t size = h.GetUncompressedSize64();
      total_size = size > UINT64_MAX - total_size ? UINT64_MAX : total_size + size;
    }
  }
  std::sort(ranges.begin(), ranges.end());
  for (std::size_t i = 1; i < ranges.size(); ++i)
    if (ranges[i].first < ranges[i - 1].second) throw EZipException(kErrorReading);
  return plans;
}

void TZipFile::TestAll() {
  if (mode_ != TZipMode::zmRead && mode_ != TZipMode::zmReadWrite) throw EZipException("File must be open for reading");
  std::uint64_t total_size = 0;
  const std::vector<TExtractPlan> plans = PlanEntries(nullptr, total_size);
  std::vector<std::uint8_t> buffer;
  for (std::size_t i = 0; i < files_.size(); ++i) {
    if (plans[i].is_directory) continue;
    const TZipHeader& h = files_[i];
    try {
      TStreamConstructor writer_ctor, reader_ctor;
      if (!FindCompressionHandler(h.CompressionMethod, writer_ctor, reader_ctor)) throw EZipException("Item not found");
      stream_->SetPosition(start_file_data_ + static_cast<std::int64_t>(plans[i].data_start));
      std::unique_ptr<TStream> reader = reader_ctor(*stream_, h);
      CopyEntryData(*reader, -1, h, buffer);
    } catch (Exception& e) {
      e.SetMessage(e.Message() + " (entry \"" + h.FileName + "\")");
      throw;
    }
  }
}

bool TZipFile::OpenTarget(const std::string& base, const TZipHeader& h, const TExtractPlan& plan, std::string& target,
                          TFileDescriptor& fd) {
  TStreamConstructor writer_ctor, reader_ctor;
  if (!FindCompressionHandler(h.CompressionMethod, writer_ctor, reader_ctor)) throw EZipException("Item not found");
  current_header_ = h;

  target = base;
  const std::size_t dir_parts = plan.is_directory ? plan.parts.size() : plan.parts.size() - 1;
  for (std::size_t k = 0; k < dir_parts; ++k) {
    target += '/';
    target += plan.parts[k];
    ForceDirectory(target, false);
  }
  if (plan.is_directory) return false;
  target += '/';
  target += plan.parts.back();
  current_file_ = target;

  // An existing read-only file is not overwritten, and a link is never followed.
  struct stat existing {};
  if (::lstat(target.c_str(), &existing) == 0) {
    int reason = IsSourceFile(existing)                                          ? EBUSY
                 : S_ISLNK(existing.st_mode)                                     ? ELOOP
                 : S_ISREG(existing.st_mode) && IsReadOnlyMode(existing.st_mode) ? EACCES
                                                                                 : 0;
    if (reason != 0) throw CannotCreateFile(target, reason);
  }
  fd.reset(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (fd.get() < 0) throw CannotCreateFile(target, errno);
  return true;
}

void TZipFile::WriteEntry(TStream& source, const TZipHeader& h, const TExtractPlan& plan, const std::string& target,
                          TFileDescriptor& fd, std::vector<std::uint8_t>& buffer) {
  TStreamConstructor writer_ctor, reader_ctor;
  FindCompressionHandler(h.CompressionMethod, writer_ctor, reader_ctor);
  std::unique_ptr<TStream> reader = reader_ctor(source, h);
  CopyEntryData(*reader, fd.get(), h, buffer);
  ApplyTimeAndAttributes(fd.get(), h, plan.local_date_time);
  if (::close(fd.release()) != 0) RaiseWriteError(errno);
  if (on_progress_) on_progress_(target, h, h.GetUncompressedSize64());
}

// Files are opened in entry order on this thread, a window at a time, so folders, checks
// and failures to create come exactly as one by one; the window's data is then inflated,
// checked and written on all threads. The failure of the lowest entry is the one raised.
// Returns false, having done nothing, where entries cannot be read at several places at
// once or two entries write the same file (the later one must win).
bool TZipFile::ExtractConcurrently(const std::string& base, const std::vector<TExtractPlan>& plans, unsigned threads) {
  std::vector<std::string> targets;
  for (const TExtractPlan& plan : plans) {
    if (plan.is_directory) continue;
    std::string target = base;
    for (const std::string& part : plan.parts) target += '/' + part;
    targets.push_back(std::move(target));
  }
  std::sort(targets.begin(), targets.end());
  if (std::adjacent_find(targets.begin(), targets.end()) != targets.end()) return false;
  std::vector<std::unique_ptr<TStream>> readers;
  for (unsigned t = 0; t < threads; ++t) {
    readers.push_back(stream_->OpenReader());
    if (!readers.back()) return false;
  }

  struct TOpened {
    std::size_t index;
    std::string target;
    TFileDescriptor fd;
    std::exception_ptr error;
    int write_error = 0;
  };
  constexpr std::size_t kWindow = 64;  // files open at once
  std::size_t failed_at = files_.size();
  std::exception_ptr failure;
  int failure_write_error = 0;
  std::vector<std::vector<std::uint8_t>> buffers(threads);
  for (std::size_t i = 0; i < files_.size() && !failure;) {
    std::vector<TOpened> window;
    try {
      for (; i < files_.size() && window.size() < kWindow; ++i) {
        TOpened opened{i, {}, TFileDescriptor(), nullptr, 0};
        if (OpenTarget(base, files_[i], plans[i], opened.target, opened.fd)) window.push_back(std::move(opened));
      }
    } catch (...) {
      failure = std::current_exception();
      failed_at = i;
    }
    ForEachConcurrently(window.size(), threads, [&](std::size_t k, unsigned worker) {
      TOpened& e = window[k];
      if (e.index > failed_at) return;
      try {
        readers[worker]->SetPosition(start_file_data_ + static_cast<std::int64_t>(plans[e.index].data_start));
        WriteEntry(*readers[worker], files_[e.index], plans[e.index], e.target, e.fd, buffers[worker]);
      } catch (...) {
        e.error = std::current_exception();
        e.write_error = g_last_write_error;
      }
    });
    for (TOpened& e : window) {
      if (e.error && e.index < failed_at) {
        failure = e.error;
        failed_at = e.index;
        failure_write_error = e.write_error;
      }
    }
  }
  if (failure) {
    g_last_write_error = failure_write_error;
    std::rethrow_exception(failure);
  }
  return true;
}

}  // namespace ostrivan::archive

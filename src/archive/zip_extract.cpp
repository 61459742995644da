// Extraction: every entry checked before anything is written, then each written below
// the target directory with its time stamp and read-only bit.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <exception>

#include "archive/dos_date_time.h"
#include "archive/zip_file.h"
#include "archive/zip_record.h"
#include "common/concurrently.h"
#include "common/file_system.h"
#include "common/large_buffer.h"
#include "common/paths.h"
#include "platform/file_system.h"

namespace ostrivan::archive {

using namespace record;
using platform::TFileInfo;
using platform::TFileKind;
using platform::TLinks;

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
    std::uint64_t bytes = 0;
    if (platform::Files().TryFreeSpace(path.empty() ? "." : path, bytes)) return bytes;
    path = ParentFolder(path);
    if (path == "." || path == "/") return platform::Files().TryFreeSpace(path, bytes) ? bytes : UINT64_MAX;
  }
}

void ForceDirectory(const std::string& dir, bool allow_links) {
  TFileInfo info;
  if (platform::Files().TryInfo(dir, allow_links ? TLinks::kFollow : TLinks::kDoNotFollow, info)) {
    if (info.Kind == TFileKind::kFolder) return;
    throw EZipException("Cannot create directory \"" + dir + "\". " + SysErrorMessageText(ENOTDIR));
  }
  if (const TStatus made = platform::Files().TryMakeFolder(dir, 0777); !made && made.Code() != EEXIST)
    throw EZipException("Cannot create directory \"" + dir + "\". " + SysErrorMessageText(made.Code()));
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

void WriteAllOrRaise(platform::TFile& file, const std::uint8_t* data, std::size_t size) {
  const TStatus written = file.TryWrite(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!written) RaiseWriteError(written.Code());
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

// Copies exactly the declared uncompressed size from reader to file (none when nullptr)
// and checks its CRC.
void CopyEntryData(TStream& reader, platform::TFile* file, const TZipHeader& h, std::vector<std::uint8_t>& buffer) {
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
    if (file != nullptr) WriteAllOrRaise(*file, buffer.data(), want);  // none: only checked
    remaining -= want;
  }
  // Data beyond the declared size means the header lies: stop here.
  std::uint8_t probe;
  if (reader.Read(&probe, 1) != 0) throw EZipException(kErrorReading);
  if (crc != h.CRC32) throw EZipCRCException(kErrorReading);
}

// The entry's time from its local header, and read-only when a DOS-made entry says so.
void ApplyTimeAndAttributes(platform::TFile& file, const TZipHeader& h, std::uint32_t local_date_time) {
  std::time_t when;
  if (DosDateTimeToDateTime(local_date_time, when)) {
    const platform::TFileTime time{static_cast<std::int64_t>(when), 0};
    (void)file.TrySetTimes(time, time);
  }
  if ((h.MadeByVersion >> 8) == 0 && (h.ExternalAttributes & 0x01) != 0) {
    TFileInfo info;
    if (file.TryInfo(info)) (void)file.TrySetPermissions(info.Permissions & ~platform::kAllWrite);
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
    std::unique_ptr<platform::TFile> file;
    if (!OpenTarget(base, files_[i], plans[i], target, file)) continue;
    stream_->SetPosition(start_file_data_ + static_cast<std::int64_t>(plans[i].data_start));
    WriteEntry(*stream_, files_[i], plans[i], target, *file, buffer);
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
        TFileInfo existing;
        if (platform::Files().TryInfo(target, TLinks::kDoNotFollow, existing) && IsSourceFile(existing))
          throw CannotCreateFile(target, EBUSY);
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
      CopyEntryData(*reader, nullptr, h, buffer);
    } catch (Exception& e) {
      e.SetMessage(e.Message() + " (entry \"" + h.FileName + "\")");
      throw;
    }
  }
}

bool TZipFile::OpenTarget(const std::string& base, const TZipHeader& h, const TExtractPlan& plan, std::string& target,
                          std::unique_ptr<platform::TFile>& file) {
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
  TFileInfo existing;
  if (platform::Files().TryInfo(target, TLinks::kDoNotFollow, existing)) {
    int reason = IsSourceFile(existing)                                     ? EBUSY
                 : existing.Kind == TFileKind::kLink                        ? ELOOP
                 : existing.Kind == TFileKind::kFile && existing.ReadOnly() ? EACCES
                                                                            : 0;
    if (reason != 0) throw CannotCreateFile(target, reason);
  }
  const TStatus created = platform::Files().TryCreate(
      target, platform::TCreateOptions{.Mode = platform::TCreateMode::kTruncate, .FollowLinks = false}, file);
  if (!created) throw CannotCreateFile(target, created.Code());
  return true;
}

void TZipFile::WriteEntry(TStream& source, const TZipHeader& h, const TExtractPlan& plan, const std::string& target,
                          platform::TFile& file, std::vector<std::uint8_t>& buffer) {
  TStreamConstructor writer_ctor, reader_ctor;
  FindCompressionHandler(h.CompressionMethod, writer_ctor, reader_ctor);
  std::unique_ptr<TStream> reader = reader_ctor(source, h);
  CopyEntryData(*reader, &file, h, buffer);
  ApplyTimeAndAttributes(file, h, plan.local_date_time);
  if (const TStatus closed = file.TryClose(); !closed) RaiseWriteError(closed.Code());
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
    std::unique_ptr<platform::TFile> file;
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
        TOpened opened{i, {}, nullptr, nullptr, 0};
        if (OpenTarget(base, files_[i], plans[i], opened.target, opened.file)) window.push_back(std::move(opened));
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
        WriteEntry(*readers[worker], files_[e.index], plans[e.index], e.target, *e.file, buffers[worker]);
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

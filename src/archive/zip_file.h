#pragma once
// Zip archives on files or streams: create one and add files to it, or open one and
// extract everything. Closing (or destroying) an archive open for writing writes its
// central directory.
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/compression_handlers.h"
#include "archive/stream.h"
#include "archive/zip_exception.h"
#include "archive/zip_header.h"

namespace ostrivan::archive {

using TZipProgressEvent = std::function<void(const std::string& file_name, const TZipHeader& header, std::uint64_t position)>;

// One file to add: the path on disk and the entry name ("" = the bare file name).
struct TZipSource {
  std::string FileName;
  std::string ArchiveFileName;
};

class TZipFile {
 public:
  TZipFile();  // Create: closed, no entries, UTF-8 names on
  ~TZipFile();
  TZipFile(const TZipFile&) = delete;
  TZipFile& operator=(const TZipFile&) = delete;

  void Open(const std::string& file_name, TZipMode mode);
  // The stream is not owned and must outlive the archive's use of it.
  void Open(TStream& stream, TZipMode mode);
  void Close();

  void Add(const std::string& file_name, const std::string& archive_file_name = "",
           std::uint16_t compression = kZipDeflate);
  // The same archive, byte for byte, as calling Add for each source in order, but
  // entries are compressed ahead on `threads` workers (0 = one per processor). Stops at
  // the first failure with the entries before it added.
  void AddFiles(const std::vector<TZipSource>& sources, std::uint16_t compression = kZipDeflate, unsigned threads = 0);
  void ExtractAll(const std::string& path);

  TZipMode Mode() const { return FMode; }
  const std::vector<TZipHeader>& Files() const { return FFiles; }
  std::size_t FileCount() const { return FFiles.size(); }
  bool UTF8Support() const { return FUTF8Support; }
  void SetUTF8Support(bool value) { FUTF8Support = value; }
  void SetOnProgress(TZipProgressEvent handler) { FOnProgress = std::move(handler); }

  // The entry name as text: the Unicode path field when it matches, else UTF-8 or
  // code page 437 by the header's flag.
  static std::string DecodeEntryName(const TZipHeader& central, const std::string& local_extra);

 private:
  struct TPreparedEntry;

  void ReadCentralDirectory();
  void CloseNoThrow() noexcept;
  TZipHeader BuildHeader(const struct stat& source, const std::string& file_name, const std::string& archive_file_name,
                         std::uint16_t compression) const;
  void WritePrepared(TPreparedEntry& entry, const TZipSource& source, std::uint16_t compression);
  void CheckWritable(std::uint16_t compression, const std::string& file_name) const;
  void ExtractEntry(const TZipHeader& header, const std::string& path, std::vector<std::uint8_t>& buffer);
  void NoteSourceFile(TStream& stream);
  bool IsSourceFile(const struct stat& st) const;

  TZipMode FMode = TZipMode::zmClosed;
  TStream* FStream = nullptr;
  std::unique_ptr<TFileStream> FFileStream;
  std::int64_t FStartFileData = 0;
  std::uint64_t FEndFileData = 0;
  std::vector<TZipHeader> FFiles;
  std::string FComment;
  bool FUTF8Support = true;
  TZipProgressEvent FOnProgress;
  std::string FCurrentFile;
  TZipHeader FCurrentHeader;
  // The file the archive is read from, when it is one: extraction never writes onto it.
  bool FHasSourceFile = false;
  dev_t FSourceDevice = 0;
  ino_t FSourceInode = 0;
};

// Limits that guard extraction against damaged and hostile archives.
inline constexpr std::size_t kExtractChunk = 1024 * 1024;   // largest read per step
inline constexpr std::size_t kAddChunk = 16384;             // source bytes per compressor call
inline constexpr std::size_t kCentralHeaderSize = 46;       // smallest central header
inline constexpr std::size_t kLocalHeaderSize = 30;
// Entries up to this size are compressed ahead in memory by AddFiles; larger ones are
// streamed in turn, so memory stays bounded by the entries in flight.
inline constexpr std::uint64_t kParallelEntryLimit = kWholeBufferLimit;

}  // namespace ostrivan::archive

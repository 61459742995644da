#pragma once
// Zip archives on files or streams: create one and add files to it, or open one and
// extract everything. Closing (or destroying) an archive open for writing writes its
// central directory.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/compression_handlers.h"
#include "archive/stream.h"
#include "archive/zip_exception.h"
#include "archive/zip_header.h"
#include "platform/file_system.h"

namespace ostrivan::archive {

struct TEntryTotals;

// Where an entry is unpacked to and where its data lies, checked before anything is written.
struct TExtractPlan {
  std::vector<std::string> parts;
  bool is_directory = false;
  std::uint64_t data_start = 0;
  std::uint32_t local_date_time = 0;
};

using TZipProgressEvent =
    std::function<void(const std::string& file_name, const TZipHeader& header, std::uint64_t position)>;

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
  // With threads > 1 and an archive read from memory, entries are inflated and written
  // on that many threads (files are still created in entry order, the first failing
  // entry's error is the one raised, and the progress event may come from any of them).
  void ExtractAll(const std::string& path, unsigned threads = 1);
  // Reads every entry as ExtractAll would (names, data ranges, compression method,
  // inflated size and CRC-32) and writes nothing; raises what ExtractAll would raise,
  // with the entry's name.
  void TestAll();

  TZipMode Mode() const { return mode_; }
  const std::vector<TZipHeader>& Files() const { return files_; }
  std::size_t FileCount() const { return files_.size(); }
  bool UTF8Support() const { return utf8_support_; }
  void SetUTF8Support(bool value) { utf8_support_ = value; }
  void SetOnProgress(TZipProgressEvent handler) { on_progress_ = std::move(handler); }
  // The system's error number of the last failed file write on this thread (for
  // example ENOSPC), which the "Stream write error" message does not carry; 0 if none.
  static int LastWriteError();

  // The entry name as text: the Unicode path field when it matches, else UTF-8 or
  // code page 437 by the header's flag.
  static std::string DecodeEntryName(const TZipHeader& central, const std::string& local_extra);

 private:
  // Each group lives in its own file: zip_file.cpp opens and closes, zip_reader.cpp reads
  // the central directory, zip_writer.cpp adds entries and writes the directory,
  // zip_parallel.cpp compresses ahead for AddFiles, zip_extract.cpp extracts.

  // Takes the stream the archive starts at, in the given (open) mode.
  void Start(TStream& stream, TZipMode mode);
  void CloseNoThrow() noexcept;
  void NoteSourceFile(TStream& stream);
  bool IsSourceFile(const platform::TFileInfo& info) const;

  void ReadCentralDirectory();

  void CheckWritable(std::uint16_t compression, const std::string& file_name) const;
  TZipHeader BuildHeader(const platform::TFileInfo& source, const std::string& file_name,
                         const std::string& archive_file_name, std::uint16_t compression) const;
  // Adds an entry whose data was compressed ahead, with the header Add would write.
  void WritePrepared(const TZipSource& source, const platform::TFileInfo& info, const TEntryTotals& totals,
                     const std::vector<std::uint8_t>& data, std::uint16_t compression);
  // Lists an entry whose data and local header are written, and reports it.
  void AddEntry(TZipHeader header, const std::string& file_name, std::uint64_t size);
  void WriteCentralDirectory();

  // The checks ExtractAll makes before writing anything, for every entry: its plan, and
  // the sum of the files' sizes. path is the target folder (nullptr: none, only read).
  std::vector<TExtractPlan> PlanEntries(const std::string* path, std::uint64_t& total_size);
  // Creates the folders of an entry and opens its file; false for a folder entry.
  bool OpenTarget(const std::string& base, const TZipHeader& h, const TExtractPlan& plan, std::string& target,
                  std::unique_ptr<platform::TFile>& file);
  // Inflates the entry from source (at its data), checks it, writes it to file and
  // closes it.
  void WriteEntry(TStream& source, const TZipHeader& h, const TExtractPlan& plan, const std::string& target,
                  platform::TFile& file, std::vector<std::uint8_t>& buffer);
  bool ExtractConcurrently(const std::string& base, const std::vector<TExtractPlan>& plans, unsigned threads);

  TZipMode mode_ = TZipMode::zmClosed;
  TStream* stream_ = nullptr;
  std::unique_ptr<TFileStream> file_stream_;  // set when the archive opened the file itself
  std::int64_t start_file_data_ = 0;          // stream position of the archive's first byte
  std::uint64_t end_file_data_ = 0;           // where entry data ends and the directory starts
  std::vector<TZipHeader> files_;
  std::string comment_;
  bool utf8_support_ = true;
  TZipProgressEvent on_progress_;
  std::string current_file_;  // the file and header being worked on
  TZipHeader current_header_;
  // The file the archive is read from, when it is one: extraction never writes onto it.
  bool has_source_file_ = false;
  platform::TFileInfo source_info_;
};

// Step sizes that bound the memory one entry takes while it is read or written.
inline constexpr std::size_t kExtractChunk = 1024 * 1024;  // largest read per step
inline constexpr std::size_t kAddChunk = 16384;            // source bytes per compressor call
// Entries up to this size are compressed ahead in memory by AddFiles; larger ones are
// streamed in turn, so memory stays bounded by the entries in flight.
inline constexpr std::uint64_t kParallelEntryLimit = kWholeBufferLimit;

}  // namespace ostrivan::archive

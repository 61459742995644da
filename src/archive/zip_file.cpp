// Opening and closing: which stream the archive works on and the state each mode starts
// from. Reading, writing and extracting live in zip_reader.cpp, zip_writer.cpp and
// zip_extract.cpp.
#include "archive/zip_file.h"

namespace ostrivan::archive {

TZipFile::TZipFile() = default;

TZipFile::~TZipFile() { CloseNoThrow(); }

void TZipFile::Open(const std::string& file_name, TZipMode mode) {
  Close();
  if (mode == TZipMode::zmClosed) throw EZipException("Invalid argument");
  TFileStream::TOpenMode open_mode = mode == TZipMode::zmRead    ? TFileStream::TOpenMode::fmOpenRead
                                     : mode == TZipMode::zmWrite ? TFileStream::TOpenMode::fmCreate
                                                                 : TFileStream::TOpenMode::fmOpenReadWrite;
  file_stream_ = std::make_unique<TFileStream>(file_name, open_mode);
  try {
    Start(*file_stream_, mode);
  } catch (...) {
    file_stream_.reset();
    throw;
  }
}

void TZipFile::Open(TStream& stream, TZipMode mode) {
  Close();
  if (mode == TZipMode::zmClosed) throw EZipException("Invalid argument");
  Start(stream, mode);
}

void TZipFile::Start(TStream& stream, TZipMode mode) {
  stream_ = &stream;
  try {
    NoteSourceFile(stream);
    // Nothing of an archive this object held before may reach the new one.
    start_file_data_ = stream.Position();
    end_file_data_ = 0;
    comment_.clear();
    if (mode != TZipMode::zmWrite) ReadCentralDirectory();
    mode_ = mode;
  } catch (...) {
    files_.clear();
    stream_ = nullptr;
    throw;
  }
}

void TZipFile::NoteSourceFile(TStream& stream) {
  auto* file = dynamic_cast<TFileStream*>(&stream);
  source_info_ = platform::TFileInfo{};
  has_source_file_ = file != nullptr && file->TryInfo(source_info_).Ok();
}

bool TZipFile::IsSourceFile(const platform::TFileInfo& info) const {
  return has_source_file_ && info.Device == source_info_.Device && info.Inode == source_info_.Inode;
}

void TZipFile::Close() {
  if (mode_ == TZipMode::zmClosed && stream_ == nullptr) return;
  // Closed afterwards even when writing the directory fails: the archive is unusable then.
  struct TReset {
    TZipFile& zip;
    ~TReset() {
      zip.files_.clear();
      zip.stream_ = nullptr;
      zip.file_stream_.reset();
      zip.mode_ = TZipMode::zmClosed;
    }
  } reset{*this};
  if (mode_ == TZipMode::zmWrite || mode_ == TZipMode::zmReadWrite) WriteCentralDirectory();
}

void TZipFile::CloseNoThrow() noexcept {
  try {
    Close();
  } catch (...) {
    // Destruction cannot report; the entries written so far are all that can be saved.
  }
}

}  // namespace ostrivan::archive

#include "logging/log_file_appender.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/error.h"
#include "common/file_system.h"
#include "common/paths.h"
#include "common/text.h"
#include "logging/log_pattern.h"
#include "logging/log_writer_error.h"
#include "platform/file_system.h"
#include "platform/process.h"

namespace ostrivan::logging {

namespace {

using platform::Files;
using std::chrono::milliseconds;

constexpr int kOpenAttempts = 6;
constexpr milliseconds kOpenRetryDelay{200};
constexpr int kMoveAttempts = 5;
constexpr milliseconds kMoveRetryDelay{50};

// Changes to a read-only file or directory are refused here: root, as tests and CI run,
// would be let through by the kernel.
bool OwnerWritable(const std::string& path) {
  platform::TFileInfo info;
  if (!Files().TryInfo(path, platform::TLinks::kFollow, info)) return true;  // the real call will report it
  return !info.ReadOnly();
}

void MoveWithRetries(const std::string& source, const std::string& destination) {
  for (int attempt = 0; attempt < kMoveAttempts; ++attempt) {
    // The first attempt goes at once: a closed file is released immediately here.
    if (attempt > 0) std::this_thread::sleep_for(kMoveRetryDelay);
    if (OwnerWritable(ParentFolder(source)) && OwnerWritable(ParentFolder(destination)) &&
        Files().TryRenameReplacing(source, destination)) {
      return;
    }
    std::this_thread::sleep_for(kMoveRetryDelay);
  }
  throw ELogWriterError("Cannot rename " + source + " to " + destination);
}

void DeleteFileOnce(const std::string& path) {
  if (!OwnerWritable(path) || !OwnerWritable(ParentFolder(path))) {
    throw EInOutError("Cannot delete " + path + ": access denied");
  }
  if (const TStatus removed = Files().TryRemoveFile(path); !removed) {
    throw EInOutError("Cannot delete " + path + ": " + SysErrorMessageText(removed.Code()));
  }
}

// The logs folder and its missing parents; a folder reached through a link will do.
TStatus MakeLogsFolder(const std::string& path) {
  platform::TFileInfo info;
  if (Files().TryInfo(path, platform::TLinks::kFollow, info))
    return info.Kind == platform::TFileKind::kFolder ? TStatus() : TStatus(ENOTDIR, path);
  const std::string parent = ParentFolder(path);
  if (parent != path)
    if (TStatus made = MakeLogsFolder(parent); !made) return made;
  const TStatus made = Files().TryMakeFolder(path);
  return made.Code() == EEXIST ? TStatus() : made;
}

}  // namespace

std::string ExecutableBaseName() {
  const std::string& exe = ExecutablePath();
  std::string name = exe.empty() ? std::string(program_invocation_short_name) : FileNameOf(exe);
  const auto dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

// One open log file. Lines collect in a buffer that goes to the kernel in one write at
// Flush (or once it holds kFlushThreshold bytes); Size counts the buffered bytes too,
// so rotation happens after the same line as if every line were written on its own.
class TLogFileAppender::TLogFileWriter {
 public:
  static std::unique_ptr<TLogFileWriter> Open(const std::string& file_name) {
    std::string last_error;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(kOpenRetryDelay);
      const bool exists = PathExists(file_name);
      if (exists ? !OwnerWritable(file_name) : !OwnerWritable(ParentFolder(file_name))) {
        last_error = "access denied";
        continue;
      }
      std::unique_ptr<platform::TFile> file;
      const TStatus opened = Files().TryCreate(
          file_name, {.Mode = platform::TCreateMode::kKeep, .Permissions = 0644, .Append = true}, file);
      if (!opened) {
        last_error = SysErrorMessageText(opened.Code());
        continue;
      }
      platform::TFileInfo info;
      if (const TStatus known = file->TryInfo(info); !known) {
        last_error = SysErrorMessageText(known.Code());
        continue;
      }
      return std::make_unique<TLogFileWriter>(std::move(file), info.Size);
    }
    throw EFOpenError("Cannot open file \"" + file_name + "\". " + last_error);
  }

  TLogFileWriter(std::unique_ptr<platform::TFile> file, std::int64_t size) : file_(std::move(file)), file_size_(size) {}
  ~TLogFileWriter() {
    try {
      Flush();
    } catch (...) {
      // Closing after a failed write: the lines are lost either way.
    }
  }
  TLogFileWriter(const TLogFileWriter&) = delete;
  TLogFileWriter& operator=(const TLogFileWriter&) = delete;

  // Adds text + CR LF to the buffer. The first line of a batch asks the file for its
  // size: another writer may have grown or emptied it meanwhile.
  void Append(std::string_view text) {
    platform::TFileInfo info;
    if (buffer_.empty() && file_->TryInfo(info)) file_size_ = info.Size;
    // Every malformed sequence becomes U+FFFD, so a log file stays readable whatever
    // bytes a message carried.
    AppendValidUtf8(buffer_, text, Utf8Repair::kEachSubpart);
    buffer_.append("\r\n");
    if (buffer_.size() >= kFlushThreshold) Flush();
  }

  // Writes the buffer in one write (more only when the kernel takes part of it). The
  // buffer is emptied even when the write fails, so a failed line is not written twice.
  void Flush() {
    if (const TStatus written = file_->TryWrite(buffer_); !written) {
      buffer_.clear();
      throw EWriteError("Log write failed: " + SysErrorMessageText(written.Code()));
    }
    file_size_ += static_cast<std::int64_t>(buffer_.size());
    buffer_.clear();
  }

  // Writes text + CR LF and everything before it to the file.
  void WriteLine(std::string_view text) {
    Append(text);
    Flush();
  }

  // The file's size as last seen plus what is still buffered.
  std::int64_t Size() const noexcept { return file_size_ + static_cast<std::int64_t>(buffer_.size()); }

 private:
  // Bounds the buffer when a batch is large; a few dozen lines per write is plenty.
  static constexpr std::size_t kFlushThreshold = 64 * 1024;

  std::unique_ptr<platform::TFile> file_;
  std::int64_t file_size_;  // asked of the file at each batch's first line, counted since
  std::string buffer_;
};

TLogFileAppenderBase::TLogFileAppenderBase(int max_backup_file_count, int max_file_size_in_kilo_byte,
                                           std::string logs_folder, TFileAppenderOptions file_appender_options,
                                           std::string log_file_name_format, std::string log_format)
    : TLogAppenderBase(std::move(log_format)),
      max_backup_file_count_(std::max(max_backup_file_count, 1)),
      max_file_size_in_kilo_byte_(max_file_size_in_kilo_byte),
      log_file_name_format_(std::move(log_file_name_format)),
      file_appender_options_(std::move(file_appender_options)),
      logs_folder_(std::move(logs_folder)) {}

void TLogFileAppenderBase::Setup() {
  TLogAppenderBase::Setup();
  if (logs_folder_.empty()) logs_folder_ = ExecutableDirectory();
  const TStatus made = MakeLogsFolder(logs_folder_);
  platform::TFileInfo info;
  if (!made || !Files().TryInfo(logs_folder_, platform::TLinks::kFollow, info) ||
      info.Kind != platform::TFileKind::kFolder) {
    throw EInOutError("Cannot create logs folder " + logs_folder_ + ": " +
                      (!made ? SysErrorMessageText(made.Code()) : std::string("not a directory")));
  }
}

std::string TLogFileAppenderBase::GetLogFileName(const std::string& tag, int number) const {
  // A separator or NUL would put the file elsewhere than the logs folder.
  if (tag.find_first_of(std::string_view("/\\\0", 3)) != std::string::npos) {
    throw EInOutError("Illegal characters in log tag \"" + tag + "\"");
  }
  std::string base = ExecutableBaseName();
  if (file_appender_options_.contains(TFileAppenderOption::IncludePID)) {
    base += "_pid_" + FormatLogPattern("%.6d", {static_cast<std::int64_t>(platform::ProcessId())});
  }
  std::string name = FormatLogPattern(log_file_name_format_, {base, number, tag});
  if (logs_folder_.empty() || logs_folder_.back() == '/') return logs_folder_ + name;
  return logs_folder_ + "/" + name;
}

std::string TLogFileAppenderBase::RollLogFiles(const std::string& tag) {
  const int n_max = max_backup_file_count_;
  const std::string oldest = GetLogFileName(tag, n_max);
  if (PathExists(oldest)) DeleteFileOnce(oldest);
  for (int n = n_max - 1; n >= 1; --n) {
    const std::string from = GetLogFileName(tag, n);
    if (PathExists(from)) MoveWithRetries(from, GetLogFileName(tag, n + 1));
  }
  const std::string current = GetLogFileName(tag, 0);
  // The current file may have been removed by hand while open; there is then nothing
  // to keep, and failing the appender for it would lose every later line.
  if (PathExists(current)) MoveWithRetries(current, GetLogFileName(tag, 1));
  return current;
}

TLogFileAppender::TLogFileAppender(int max_backup_file_count, int max_file_size_in_kilo_byte, std::string logs_folder,
                                   TFileAppenderOptions file_appender_options, std::string log_file_name_format,
                                   std::string log_format)
    : TLogFileAppenderBase(max_backup_file_count, max_file_size_in_kilo_byte, std::move(logs_folder),
                           std::move(file_appender_options), std::move(log_file_name_format), std::move(log_format)) {}

TLogFileAppender::~TLogFileAppender() = default;

void TLogFileAppender::Setup() {
  TLogFileAppenderBase::Setup();
  writers_dictionary_.clear();
}

void TLogFileAppender::WriteLog(const TLogItem& log_item) {
  AppendLog(log_item);
  FlushLog();
}

void TLogFileAppender::AppendLog(const TLogItem& log_item) {
  auto it = writers_dictionary_.find(log_item.LogTag());
  if (it == writers_dictionary_.end()) {
    // Appends to an existing file without a START line.
    auto writer = TLogFileWriter::Open(GetLogFileName(log_item.LogTag(), 0));
    it = writers_dictionary_.emplace(log_item.LogTag(), std::move(writer)).first;
  }
  TLogFileWriter& writer = *it->second;
  line_.clear();
  FormatLogInto(log_item, line_);
  writer.Append(line_);
  if (writer.Size() > MaxFileSizeInBytes()) RotateFile(log_item.LogTag(), writer);
}

void TLogFileAppender::FlushLog() {
  for (auto& [tag, writer] : writers_dictionary_) writer->Flush();
}

void TLogFileAppender::RotateFile(const std::string& tag, TLogFileWriter& writer) {
  // The lines still buffered and the line that crossed the limit go first.
  writer.WriteLine("#[ROTATE LOG " + TimeStampText(LogTimeStampNow()) + "]");
  writers_dictionary_.erase(tag);  // closes the file before it is moved
  const std::string current = RollLogFiles(tag);
  auto fresh = TLogFileWriter::Open(current);
  TLogFileWriter& fresh_ref = *fresh;
  writers_dictionary_.emplace(tag, std::move(fresh));
  fresh_ref.WriteLine("#[START LOG " + TimeStampText(LogTimeStampNow()) + "]");
}

void TLogFileAppender::TearDown() { writers_dictionary_.clear(); }

}  // namespace ostrivan::logging

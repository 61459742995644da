#pragma once
// Appender that writes one text file per tag into a logs folder and rotates each file
// to numbered backups once it grows past a size limit:
//   logs/Ostrivan.00.torniomvc.log  (current)  ->  .01. ... .05.  (backups, 05 oldest)
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "common/file_system.h"
#include "logging/log_appender.h"

namespace ostrivan::logging {

enum class TFileAppenderOption { IncludePID };
using TFileAppenderOptions = std::set<TFileAppenderOption>;

inline constexpr int kDefaultMaxBackupFileCount = 5;
inline constexpr int kDefaultMaxFileSizeInKiloByte = 2000;
inline constexpr const char* kDefaultLogFileNameFormat = "%0:s.%1:2.2d.%2:s.log";

// Directory of the running executable, with a trailing '/'.
using ostrivan::ExecutableDirectory;
// File name of the running executable without directory and extension.
std::string ExecutableBaseName();

class TLogFileAppenderBase : public TLogAppenderBase {
 public:
  // An empty logs_folder means the executable's directory. Files are UTF-8 without BOM.
  TLogFileAppenderBase(int max_backup_file_count = kDefaultMaxBackupFileCount,
                       int max_file_size_in_kilo_byte = kDefaultMaxFileSizeInKiloByte, std::string logs_folder = "",
                       TFileAppenderOptions file_appender_options = {},
                       std::string log_file_name_format = kDefaultLogFileNameFormat,
                       std::string log_format = kDefaultLogFormat);

  const char* ClassName() const noexcept override { return "TLogFileAppenderBase"; }
  // Resolves and creates the logs folder with every missing parent.
  void Setup() override;
  // Shifts the tag's backups up by one (dropping the oldest) and moves the current file
  // to number 1; gives back the name of the tag's new current file (number 0).
  virtual std::string RollLogFiles(const std::string& tag);

  // Full path of file `number` of `tag`; raises EInOutError for a tag that cannot be
  // part of a file name.
  std::string GetLogFileName(const std::string& tag, int number) const;

  int MaxBackupFileCount() const noexcept { return max_backup_file_count_; }
  std::int64_t MaxFileSizeInBytes() const noexcept { return std::int64_t{max_file_size_in_kilo_byte_} * 1024; }
  const std::string& LogsFolder() const noexcept { return logs_folder_; }

 private:
  int max_backup_file_count_;
  int max_file_size_in_kilo_byte_;
  std::string log_file_name_format_;
  TFileAppenderOptions file_appender_options_;
  std::string logs_folder_;
};

class TLogFileAppender : public TLogFileAppenderBase {
 public:
  TLogFileAppender(int max_backup_file_count = kDefaultMaxBackupFileCount,
                   int max_file_size_in_kilo_byte = kDefaultMaxFileSizeInKiloByte, std::string logs_folder = "",
                   TFileAppenderOptions file_appender_options = {},
                   std::string log_file_name_format = kDefaultLogFileNameFormat,
                   std::string log_format = kDefaultLogFormat);
  ~TLogFileAppender() override;

  const char* ClassName() const noexcept override { return "TLogFileAppender"; }
  void Setup() override;
  // Writes and flushes one line; rotates the tag's file once it exceeds the limit.
  void WriteLog(const TLogItem& log_item) override;
  // As WriteLog, but the line may wait in the tag's buffer until FlushLog. A line that
  // takes the file past the limit still rotates it at once, buffered lines first.
  void AppendLog(const TLogItem& log_item) override;
  void FlushLog() override;
  // Closes every open file.
  void TearDown() override;

  class TLogFileWriter;

 private:
  void RotateFile(const std::string& tag, TLogFileWriter& writer);

  std::map<std::string, std::unique_ptr<TLogFileWriter>> writers_dictionary_;
  std::string line_;  // reused per line
};

}  // namespace ostrivan::logging

#pragma once
// The one writer of the process, created at the first log call.
#include <memory>
#include <string>

#include "logging/log_file_appender.h"
#include "logging/log_writer.h"

namespace ostrivan::logging {

inline constexpr const char* kFrameworkLogTag = "torniomvc";

// The process-wide writer; installs the default one when there is none yet.
std::shared_ptr<ILogWriter> DefaultLogWriter();

// Without a writer: creates the default writer and logs "Default Logger initialized";
// with one: makes it the process-wide writer and logs "Custom Logger initialized".
// Does nothing (and ignores the argument) once a process-wide writer exists.
void InstallLogWriter(std::shared_ptr<ILogWriter> log_writer = nullptr);

// Builds the default file appender (logs folder beside the executable, 5 backups,
// 2000 KiB) under a writer and makes it the process-wide one, unless one exists.
void CreateDefaultLogWriter();

// The file appender with the process-wide defaults; logs_folder empty means
// "<executable dir>/logs". Tests pass a folder of their own.
std::shared_ptr<TLogFileAppender> MakeDefaultFileAppender(const std::string& logs_folder = "");

// Orderly stop for the end of the process: every line logged so far is written and
// the files are closed; the threads are joined. Log calls made afterwards are dropped.
// Safe to call more than once; also runs on exit() when never called.
void ShutdownDefaultLogWriter();

}  // namespace ostrivan::logging

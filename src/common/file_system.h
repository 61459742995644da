#pragma once
// File rules every layer shares: what "read-only" means, where the executable lies, and
// whole-file reads and writes with the stream errors the platform reports.
//   if (IsReadOnlyFile(path)) throw EFCreateError(...);  // root would write it anyway
//   const std::string bytes = ReadWholeFile(path);      // EFOpenError / EReadError
#include <sys/types.h>

#include <string>
#include <string_view>

namespace ostrivan {

// "Read-only" is the owner write bit clear, the workstation's read-only attribute. Root,
// as tests and CI run, is not held back by it, so callers refuse such changes themselves.
bool IsReadOnlyMode(mode_t mode) noexcept;
// A regular file (links followed) whose owner write bit is clear; false when missing.
bool IsReadOnlyFile(const std::string& path) noexcept;

// The running executable's path, read once when the program starts: an executable
// replaced while the service runs (an upgrade in place) would later read as
// "<path> (deleted)". Empty when the system does not tell.
const std::string& ExecutablePath();
// Its folder with a trailing '/': "/opt/ostrivan/Ostrivan" -> "/opt/ostrivan/"; "./"
// when the path is unknown.
std::string ExecutableDirectory();

// Why a whole-file read failed: the file did not open (a folder counts, as EISDIR) or
// reading it failed.
enum class TReadFailure { kNone, kOpen, kRead };
// Reads the whole file into bytes; on failure *code (when given) holds the errno.
TReadFailure ReadWholeFile(const std::string& path, std::string& bytes, int* code = nullptr);
// The whole file, or EFOpenError "Cannot open file \"<path>\". <system text>" /
// EReadError "Stream read error".
std::string ReadWholeFile(const std::string& path);

// Writes all of bytes to fd, again after interruptions: 0, or the errno (ENOSPC when
// the file takes nothing more).
int WriteAll(int fd, std::string_view bytes) noexcept;
// How a whole file is written: the mode a new file gets, and whether its bytes are
// flushed to disk before it is closed (a file renamed into place afterwards).
struct TWriteOptions {
  mode_t Mode = 0666;
  bool Sync = false;
};
// Why a whole-file write failed: the file could not be created, or writing, flushing
// or closing it failed.
enum class TWriteFailure { kNone, kCreate, kWrite };
// Creates or empties the file and writes bytes; on failure *code (when given) holds the
// errno. A failed write leaves what it wrote: callers that must not show a cut file
// write under another name and rename.
TWriteFailure WriteWholeFile(const std::string& path, std::string_view bytes, const TWriteOptions& options,
                             int* code = nullptr);
// The same with the default options, raising EFCreateError "Cannot create file
// \"<path>\". <system text>" or EWriteError "Stream write error".
void WriteWholeFile(const std::string& path, std::string_view bytes);

}  // namespace ostrivan

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
// Creates or empties the file and writes bytes: EFCreateError "Cannot create file
// \"<path>\". <system text>" or EWriteError "Stream write error" on failure.
void WriteWholeFile(const std::string& path, std::string_view bytes);

}  // namespace ostrivan

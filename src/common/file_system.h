#pragma once
// File rules every layer shares: what "read-only" means, where the executable lies, and
// whole-file reads and writes with the stream errors the platform reports. Every call
// goes through platform::Files().
//   if (IsReadOnlyFile(path)) throw EFCreateError(...);  // root would write it anyway
//   const std::string bytes = ReadWholeFile(path);      // EFOpenError / EReadError
#include <string>
#include <string_view>

#include "platform/file_system.h"
#include "platform/status.h"

namespace ostrivan {

// "Read-only" is the owner write bit clear, the workstation's read-only attribute. Root,
// as tests and CI run, is not held back by it, so callers refuse such changes themselves.
bool IsReadOnlyMode(unsigned mode) noexcept;
// A regular file (links followed) whose owner write bit is clear; false when missing.
bool IsReadOnlyFile(const std::string& path) noexcept;

// The running executable's path, read once when the program starts: an executable
// replaced while the service runs (an upgrade in place) would later read as
// "<path> (deleted)". Empty when the system does not tell.
const std::string& ExecutablePath();
// Its folder with a trailing '/': "/opt/ostrivan/Ostrivan" -> "/opt/ostrivan/"; "./"
// when the path is unknown.
std::string ExecutableDirectory();

// Reads the whole file into bytes (a folder fails with EISDIR, as a failure to open).
TStatus TryReadWholeFile(const std::string& path, std::string& bytes);
// Which step of a whole-file read failed, for callers that word the two apart.
enum class TReadStep { kOpen, kRead };
TStatus TryReadWholeFile(const std::string& path, std::string& bytes, TReadStep& failed);
// The whole file, or EFOpenError "Cannot open file \"<path>\". <system text>" /
// EReadError "Stream read error".
std::string ReadWholeFile(const std::string& path);

// How a whole file is written: the permissions a new file gets, and whether its bytes
// are flushed to disk before it is closed (a file renamed into place afterwards).
struct TWriteOptions {
  unsigned Mode = 0666;
  bool Sync = false;
};
// Which step of a whole-file write failed, for callers that word the two apart.
enum class TWriteStep { kCreate, kWrite };
// Creates or empties the file and writes bytes. A failed write leaves what it wrote:
// callers that must not show a cut file write under another name and rename.
TStatus TryWriteWholeFile(const std::string& path, std::string_view bytes, const TWriteOptions& options = {});
TStatus TryWriteWholeFile(const std::string& path, std::string_view bytes, const TWriteOptions& options,
                          TWriteStep& failed);
// The same with the default options, raising EFCreateError "Cannot create file
// \"<path>\". <system text>" or EWriteError "Stream write error".
void WriteWholeFile(const std::string& path, std::string_view bytes);

}  // namespace ostrivan

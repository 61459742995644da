#include "common/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/error.h"
#include "common/file_descriptor.h"

namespace ostrivan {

namespace {

std::string ReadExecutableLink() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0) return {};
    // readlink cuts silently: a full buffer may hold a cut path, so read again larger.
    if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<std::size_t>(n));
    buffer.resize(buffer.size() * 2);
  }
}

[[maybe_unused]] const std::string& kExecutablePathAtStart = ExecutablePath();

std::string OpenFailureText(const std::string& path, int code) {
  return "Cannot open file \"" + path + "\". " + SysErrorMessageText(code);
}

}  // namespace

bool IsReadOnlyMode(mode_t mode) noexcept { return (mode & S_IWUSR) == 0; }

bool IsReadOnlyFile(const std::string& path) noexcept {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && IsReadOnlyMode(st.st_mode);
}

const std::string& ExecutablePath() {
  static const std::string path = ReadExecutableLink();
  return path;
}

std::string ExecutableDirectory() {
  const std::string& path = ExecutablePath();
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "./";
  return path.substr(0, slash + 1);
}

TReadFailure ReadWholeFile(const std::string& path, std::string& bytes, int* code) {
  int unused = 0;
  int& error = code != nullptr ? *code : unused;
  bytes.clear();
  TFileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    error = errno;
    return TReadFailure::kOpen;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      error = EISDIR;
      return TReadFailure::kOpen;
    }
    if (st.st_size > 0) bytes.reserve(static_cast<std::size_t>(st.st_size));
  }
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = errno;
      return TReadFailure::kRead;
    }
    if (got == 0) return TReadFailure::kNone;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
}

std::string ReadWholeFile(const std::string& path) {
  std::string bytes;
  int code = 0;
  switch (ReadWholeFile(path, bytes, &code)) {
    case TReadFailure::kNone: return bytes;
    case TReadFailure::kOpen: throw EFOpenError(OpenFailureText(path, code));
    case TReadFailure::kRead: break;
  }
  throw EReadError("Stream read error");
}

int WriteAll(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return put < 0 ? errno : ENOSPC;
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return 0;
}

TWriteFailure WriteWholeFile(const std::string& path, std::string_view bytes, const TWriteOptions& options, int* code) {
  int unused = 0;
  int& error = code != nullptr ? *code : unused;
  error = 0;
  TFileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, options.Mode));
  if (fd.get() < 0) {
    error = errno;
    return TWriteFailure::kCreate;
  }
  error = WriteAll(fd.get(), bytes);
  if (error == 0 && options.Sync && ::fsync(fd.get()) != 0) error = errno;
  if (error == 0 && ::close(fd.release()) != 0) error = errno;
  return error == 0 ? TWriteFailure::kNone : TWriteFailure::kWrite;
}

void WriteWholeFile(const std::string& path, std::string_view bytes) {
  int code = 0;
  switch (WriteWholeFile(path, bytes, TWriteOptions{}, &code)) {
    case TWriteFailure::kNone: return;
    case TWriteFailure::kCreate: throw CannotCreateFile(path, code);
    case TWriteFailure::kWrite: break;
  }
  throw EWriteError(kStreamWriteError, path, code);
}

}  // namespace ostrivan

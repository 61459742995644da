#include "common/file_system.h"

#include <cerrno>
#include <memory>

#include "common/error.h"

namespace ostrivan {

namespace {

using platform::Files;

std::string ReadExecutableLink() {
  std::string path;
  if (!Files().TryExecutablePath(path)) return {};
  return path;
}

[[maybe_unused]] const std::string& kExecutablePathAtStart = ExecutablePath();

std::string OpenFailureText(const std::string& path, int code) {
  return "Cannot open file \"" + path + "\". " + SysErrorMessageText(code);
}

}  // namespace

TStatus TryReadWholeFile(const std::string& path, std::string& bytes, TReadStep& failed) {
  failed = TReadStep::kOpen;
  bytes.clear();
  std::unique_ptr<platform::TFile> file;
  if (TStatus status = Files().TryOpen(path, {}, file); !status) return status;
  platform::TFileInfo info;
  if (file->TryInfo(info)) {
    if (info.Kind == platform::TFileKind::kFolder) return TStatus(EISDIR, path);
    if (info.Size > 0) bytes.reserve(static_cast<std::size_t>(info.Size));
  }
  failed = TReadStep::kRead;
  char buffer[65536];
  for (;;) {
    std::size_t got = 0;
    if (TStatus status = file->TryRead(buffer, sizeof buffer, got); !status) return status;
    if (got == 0) return {};
    bytes.append(buffer, got);
  }
}

bool IsReadOnlyMode(unsigned mode) noexcept { return (mode & platform::kOwnerWrite) == 0; }

bool IsReadOnlyFile(const std::string& path) noexcept {
  platform::TFileInfo info;
  return Files().TryInfo(path, platform::TLinks::kFollow, info) && info.Kind == platform::TFileKind::kFile &&
         info.ReadOnly();
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

TStatus TryReadWholeFile(const std::string& path, std::string& bytes) {
  TReadStep failed = TReadStep::kOpen;
  return TryReadWholeFile(path, bytes, failed);
}

std::string ReadWholeFile(const std::string& path) {
  std::string bytes;
  TReadStep failed = TReadStep::kOpen;
  const TStatus read = TryReadWholeFile(path, bytes, failed);
  if (read) return bytes;
  if (failed == TReadStep::kOpen) throw EFOpenError(OpenFailureText(path, read.Code()));
  throw EReadError("Stream read error");
}

TStatus TryWriteWholeFile(const std::string& path, std::string_view bytes, const TWriteOptions& options,
                          TWriteStep& failed) {
  failed = TWriteStep::kCreate;
  std::unique_ptr<platform::TFile> file;
  if (TStatus created = Files().TryCreate(path, platform::TCreateOptions{.Permissions = options.Mode}, file); !created)
    return created;
  failed = TWriteStep::kWrite;
  if (TStatus written = file->TryWrite(bytes); !written) return written;
  if (options.Sync)
    if (TStatus synced = file->TrySync(); !synced) return synced;
  return file->TryClose();
}

TStatus TryWriteWholeFile(const std::string& path, std::string_view bytes, const TWriteOptions& options) {
  TWriteStep failed = TWriteStep::kCreate;
  return TryWriteWholeFile(path, bytes, options, failed);
}

void WriteWholeFile(const std::string& path, std::string_view bytes) {
  TWriteStep failed = TWriteStep::kCreate;
  const TStatus written = TryWriteWholeFile(path, bytes, TWriteOptions{}, failed);
  if (written) return;
  if (failed == TWriteStep::kCreate) throw CannotCreateFile(path, written.Code());
  throw EWriteError(kStreamWriteError, path, written.Code());
}

}  // namespace ostrivan

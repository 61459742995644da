#include "support/file_shapes.h"

#include <unistd.h>

#include <cerrno>

namespace ostrivan {

TReadFailure ReadWholeFile(const std::string& path, std::string& bytes, int* code) {
  TReadStep failed = TReadStep::kOpen;
  const TStatus read = TryReadWholeFile(path, bytes, failed);
  if (code != nullptr) *code = read.Code();
  if (read) return TReadFailure::kNone;
  return failed == TReadStep::kOpen ? TReadFailure::kOpen : TReadFailure::kRead;
}

TWriteFailure WriteWholeFile(const std::string& path, std::string_view bytes, const TWriteOptions& options, int* code) {
  TWriteStep failed = TWriteStep::kCreate;
  const TStatus written = TryWriteWholeFile(path, bytes, options, failed);
  if (code != nullptr) *code = written.Code();
  if (written) return TWriteFailure::kNone;
  return failed == TWriteStep::kCreate ? TWriteFailure::kCreate : TWriteFailure::kWrite;
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

bool MakeDirectories(const std::string& dir, unsigned mode) { return TryMakeDirectories(dir, mode).Ok(); }
int SyncPath(const std::string& path) { return TrySyncPath(path).Code(); }
int SyncTreeConcurrently(const std::string& path, unsigned threads) {
  return TrySyncTreeConcurrently(path, threads).Code();
}
int MoveNoReplace(const std::string& from, const std::string& to) { return TryMoveNoReplace(from, to).Code(); }
int RenameNoReplace(const std::string& from, const std::string& to) { return TryRenameNoReplace(from, to).Code(); }

int CopyUnderPartialName(const std::string& from, const std::string& to, struct stat* copied) {
  const int code = TryCopyUnderPartialName(from, to).Code();
  if (code == 0 && copied != nullptr && ::stat(PartialCopyName(to).c_str(), copied) != 0) return errno;
  return code;
}

int NamePartialCopy(const std::string& to) { return TryNamePartialCopy(to).Code(); }

}  // namespace ostrivan

#pragma once
// The shapes the older file tests call: an errno, a bool or a failure kind where common
// now returns one TStatus. Each is the Try<Name> of common underneath, so those tests
// keep checking the real calls.
#include <sys/stat.h>

#include <string>
#include <string_view>

#include "common/file_system.h"
#include "common/file_tree.h"

namespace ostrivan {

enum class TReadFailure { kNone, kOpen, kRead };
TReadFailure ReadWholeFile(const std::string& path, std::string& bytes, int* code = nullptr);
enum class TWriteFailure { kNone, kCreate, kWrite };
TWriteFailure WriteWholeFile(const std::string& path, std::string_view bytes, const TWriteOptions& options,
                             int* code = nullptr);
// All of bytes to an open descriptor: 0 or the errno (ENOSPC when it takes nothing).
int WriteAll(int fd, std::string_view bytes) noexcept;

bool MakeDirectories(const std::string& dir, unsigned mode = 0777);
int SyncPath(const std::string& path);
int SyncTreeConcurrently(const std::string& path, unsigned threads = 8);
int MoveNoReplace(const std::string& from, const std::string& to);
int RenameNoReplace(const std::string& from, const std::string& to);
int CopyUnderPartialName(const std::string& from, const std::string& to, struct stat* copied = nullptr);
int NamePartialCopy(const std::string& to);

}  // namespace ostrivan

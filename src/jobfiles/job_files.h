#pragma once
// What the jobs add to the file steps of common/file_tree.h: file identities, writers
// still at work, one-line records, and the folders beside the executable where
// delivered and unsent jobs are kept.
#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_tree.h"
#include "common/paths.h"

namespace ostrivan::jobfiles {

// What tells one version of a file from another: a writer that appends or rewrites it
// changes the size or the modification time; a new file under the same name changes
// the inode.
struct TFileIdentity {
  dev_t Device = 0;
  ino_t Inode = 0;
  std::int64_t Size = 0;
  std::int64_t ModifiedSeconds = 0;
  std::int64_t ModifiedNanoseconds = 0;
  mode_t Mode = 0;
  // Last change of content or attributes; a move changes it too.
  std::int64_t ChangedSeconds = 0;
  std::int64_t ChangedNanoseconds = 0;
};

// A file changed this recently may still be in a writer's hands when nothing else can
// tell (no lease for this account, no change notice seen): the default of the settle
// time the parameter file may set.
inline constexpr int kDefaultWriterSettleSeconds = 2;

// The kind of file a TFileIdentity's Mode names.
bool IsFileMode(mode_t mode);
bool IsFolderMode(mode_t mode);

// lstat of path; false when it does not exist or cannot be read (*code: the errno).
bool ReadIdentity(const std::string& path, TFileIdentity& identity, int* code = nullptr);
// Same file, same content as far as the file system tells: device, inode, size, time.
bool SameVersion(const TFileIdentity& a, const TFileIdentity& b);
// Same size and time (a copy on another file system has another inode).
bool SameContentStamp(const TFileIdentity& a, const TFileIdentity& b);

// What a read lease tells of path: a writer has it open, none has, or no lease could be
// had (another owner's file, a file system without leases).
enum class TWriterState { kNone, kOpen, kUnknown };
TWriterState WriterHolds(const std::string& path);
// st's last change (content or attributes) lies within settle of now, or ahead of it.
bool ChangedWithin(const struct stat& st, std::chrono::milliseconds settle);

// "20261210-131015.123": local time with milliseconds, sorted as text in time order.
std::string FileTimeStamp();
// The name a job's copy is kept under in "sent", "unsent" or "received":
// "<FileTimeStamp()>-<stem><extension>". A stem too long is cut, never inside a UTF-8
// sequence, so that the name and the hidden name of its copy while it is written
// (PartialCopyName) fit the file system's limit of 255 bytes; the time stamp and the
// extension stay whole.
std::string KeptName(std::string_view stem, std::string_view extension);
// The same for a file name, keeping what follows its last '.'.
std::string KeptName(std::string_view name);
// path with '%', TAB, CR and LF escaped, and back, for one-line records.
std::string EscapeField(const std::string& text);
std::string UnescapeField(const std::string& text);
std::vector<std::string> SplitFields(const std::string& line);

// Where "sent", "unsent" and the fall-back "held" folders live: beside the executable,
// unless a test has set another place.
std::string JobStoreDirectory();
void SetJobStoreDirectory(const std::string& dir);

// The folders the service writes beside the executable (logs, held, sent, unsent,
// received) that it could not write now. A folder not there yet counts as writable when
// its nearest existing parent is, where it would be made.
struct TFolderProblem {
  std::string Path;
  std::string Reason;  // the system's text: "Permission denied"
  std::string Detail;  // "is not writable", "is not a folder", "is missing and cannot be created in <parent>"
};
std::vector<TFolderProblem> ServiceFolderProblems();

}  // namespace ostrivan::jobfiles

#pragma once
// Every file call the program makes goes through one file system object: the
// operating system's, or one a test installs to fail a chosen call or to keep the files
// in memory. Worker threads ask for it too, so an installed one sees all of them.
//   std::unique_ptr<platform::TFile> file;
//   if (const TStatus opened = platform::Files().TryOpen(path, {}, file); !opened) ...
//   platform::TFileSystemOverride counting(my_files);  // until the scope ends
// Codes are errno values on every platform; paths use '/' only.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace ostrivan::platform {

enum class TFileKind { kMissing, kFile, kFolder, kLink, kOther };

// A point in time as the file system keeps it: seconds since 1970 (UTC) and nanoseconds.
struct TFileTime {
  std::int64_t Seconds = 0;
  std::int64_t Nanoseconds = 0;
  auto operator<=>(const TFileTime&) const = default;
};

// Permission bits as numbered on POSIX (owner 0700, group 070, others 07, plus 07000).
// The read-only attribute is the owner write bit clear.
inline constexpr unsigned kOwnerWrite = 0200;
inline constexpr unsigned kOwnerAll = 0700;
inline constexpr unsigned kAllWrite = 0222;

struct TFileInfo {
  TFileKind Kind = TFileKind::kMissing;
  std::int64_t Size = 0;
  unsigned Permissions = 0;
  TFileTime Modified = {};
  TFileTime Accessed = {};
  TFileTime Changed = {};  // content or attributes, whichever came last
  // Together they tell one file from another, whatever names lead to it.
  std::uint64_t Device = 0;
  std::uint64_t Inode = 0;
  std::uint64_t Links = 0;

  bool ReadOnly() const noexcept { return (Permissions & kOwnerWrite) == 0; }
  bool SameFile(const TFileInfo& other) const noexcept {
    return Kind != TFileKind::kMissing && Device == other.Device && Inode == other.Inode;
  }
};

enum class TSeekFrom { kBeginning, kCurrent, kEnd };

// An open file, closed when it goes (an error then is lost: call TryClose to see it).
class TFile {
 public:
  virtual ~TFile() = default;
  // Up to count bytes at the position, which moves on; got == 0 at the end.
  virtual TStatus TryRead(void* buffer, std::size_t count, std::size_t& got) = 0;
  // Up to count bytes at offset; the position stays.
  virtual TStatus TryReadAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& got) = 0;
  // All of bytes at the position (at the end for a file created to append). A file
  // that takes only part reports ENOSPC; what it took stays written.
  virtual TStatus TryWrite(std::string_view bytes) = 0;
  virtual TStatus TrySeek(std::int64_t offset, TSeekFrom from, std::int64_t& position) = 0;
  // Cuts or extends the file to size bytes.
  virtual TStatus TryResize(std::int64_t size) = 0;
  // Its bytes on disk, surviving a power loss.
  virtual TStatus TrySync() = 0;
  virtual TStatus TryInfo(TFileInfo& info) = 0;
  virtual TStatus TrySetPermissions(unsigned permissions) = 0;
  virtual TStatus TrySetTimes(TFileTime accessed, TFileTime modified) = 0;
  // Closes the file, reporting what a write left pending (ENOSPC, EIO on a network
  // share); any later call fails with EBADF.
  virtual TStatus TryClose() = 0;
};

struct TOpenOptions {
  bool Write = false;       // read and write; read only otherwise
  bool FollowLinks = true;  // false: a link at the path fails with ELOOP
  bool NoWait = false;      // a FIFO or device opens without waiting for its other end
};

enum class TCreateMode {
  kTruncate,   // an existing file is emptied
  kExclusive,  // EEXIST when the name is taken
  kKeep,       // an existing file keeps its bytes
};

struct TCreateOptions {
  TCreateMode Mode = TCreateMode::kTruncate;
  unsigned Permissions = 0666;  // of a new file, less what the process's mask takes
  bool Read = false;            // readable as well as writable
  bool Append = false;          // every write goes to the end
  bool FollowLinks = true;      // false: a link at the path fails with ELOOP
};

enum class TLinks { kFollow, kDoNotFollow };

struct TFolderEntry {
  std::string Name;
  TFileKind Kind = TFileKind::kOther;  // of the entry itself, a link not followed
};

// What may be done with a path by this process.
enum class TAccess {
  kExists,
  kRead,
  kWrite,  // for a folder: entries can be made and removed in it
};

// Whether another process writes a file: kNone and kOpen are certain; kCannotTell where
// the system does not say (another owner's file, a network share).
enum class TWriters { kNone, kOpen, kCannotTell };

// What happened in a watched folder, as bits of TChangeEvent::Changes.
enum TChange : std::uint32_t {
  kChangeCreated = 1u << 0,
  kChangeModified = 1u << 1,
  kChangeClosedAfterWrite = 1u << 2,
  kChangeRemoved = 1u << 3,
  kChangeMovedFrom = 1u << 4,  // paired with its kChangeMovedTo by the cookie
  kChangeMovedTo = 1u << 5,
  kChangeIsFolder = 1u << 6,    // the entry named is a folder
  kChangeFolderGone = 1u << 7,  // the watched folder itself; its watch has ended
  kChangeOverflow = 1u << 8,    // events were lost; Folder and Name are empty
};

struct TChangeEvent {
  int Folder = -1;  // as TryAddFolder gave it
  std::uint32_t Changes = 0;
  std::uint32_t Cookie = 0;
  std::string Name;  // the entry in that folder; empty for the folder itself
};

// Change notices for chosen folders (each folder alone, not what lies below it).
class TChangeWatch {
 public:
  virtual ~TChangeWatch() = default;
  // Watches path (a link there is not followed); folder identifies its events.
  virtual TStatus TryAddFolder(const std::string& path, int& folder) = 0;
  virtual void RemoveFolder(int folder) = 0;
  // Appends every event queued so far; does not wait.
  virtual void TakeEvents(std::vector<TChangeEvent>& events) = 0;
  // Waits until events are queued or Stop is called; false once stopped.
  virtual bool Wait() = 0;
  // Ends every Wait, now and later; callable from any thread.
  virtual void Stop() = 0;
};

class TFileSystem {
 public:
  virtual ~TFileSystem() = default;

  // An existing file.
  virtual TStatus TryOpen(const std::string& path, const TOpenOptions& options, std::unique_ptr<TFile>& file) = 0;
  // A file to write (see TCreateMode).
  virtual TStatus TryCreate(const std::string& path, const TCreateOptions& options, std::unique_ptr<TFile>& file) = 0;

  // What is at path; a failure leaves info.Kind kMissing (ENOENT when nothing is there).
  virtual TStatus TryInfo(const std::string& path, TLinks links, TFileInfo& info) = 0;
  virtual TStatus TryCheckAccess(const std::string& path, TAccess access) = 0;
  // The entries of a folder, "." and ".." left out, in no particular order.
  virtual TStatus TryListFolder(const std::string& path, std::vector<TFolderEntry>& entries) = 0;

  virtual TStatus TryMakeFolder(const std::string& path, unsigned permissions = 0777) = 0;
  // An empty folder (ENOTEMPTY otherwise).
  virtual TStatus TryRemoveFolder(const std::string& path) = 0;
  // A file or a link (not a folder).
  virtual TStatus TryRemoveFile(const std::string& path) = 0;

  // Renames on one file system and never over a taken name: EEXIST when to is taken,
  // EXDEV when the two lie on different file systems.
  virtual TStatus TryRenameNoReplace(const std::string& from, const std::string& to) = 0;
  // Renames over whatever file has the name to.
  virtual TStatus TryRenameReplacing(const std::string& from, const std::string& to) = 0;
  // A second name for a file (EEXIST when taken, EXDEV across file systems).
  virtual TStatus TryHardLink(const std::string& existing, const std::string& name) = 0;

  // Links followed.
  virtual TStatus TrySetPermissions(const std::string& path, unsigned permissions) = 0;
  // Links not followed; the access time stays when none is given.
  virtual TStatus TrySetTimes(const std::string& path, std::optional<TFileTime> accessed, TFileTime modified) = 0;

  // A file's bytes, or a folder's entries, on disk. EINVAL where a folder cannot be
  // flushed.
  virtual TStatus TrySync(const std::string& path) = 0;
  // Bytes this process may still write on the file system holding path.
  virtual TStatus TryFreeSpace(const std::string& path, std::uint64_t& bytes) = 0;
  // Whether another process has path open for writing (links not followed).
  virtual TStatus TryCheckWriters(const std::string& path, TWriters& writers) = 0;
  // The running executable's full path.
  virtual TStatus TryExecutablePath(std::string& path) = 0;
  // The folder relative paths start from.
  virtual TStatus TryCurrentFolder(std::string& path) = 0;
  virtual TStatus TryWatchChanges(std::unique_ptr<TChangeWatch>& watch) = 0;
};

// The operating system's file system.
TFileSystem& SystemFiles();
// The file system in use: SystemFiles() unless an override is installed.
TFileSystem& Files();

// Installs files as the one in use, on every thread, until it goes; overrides nest.
class TFileSystemOverride {
 public:
  explicit TFileSystemOverride(TFileSystem& files);
  ~TFileSystemOverride();
  TFileSystemOverride(const TFileSystemOverride&) = delete;
  TFileSystemOverride& operator=(const TFileSystemOverride&) = delete;

 private:
  TFileSystem* previous_;
};

}  // namespace ostrivan::platform

#pragma once
// A file system that passes every call to another one, counts the calls, and at a
// chosen call either fails that one call or "crashes": from that call on every call fails
// and nothing more reaches the files, as if the process had died there. A test then
// drops its objects, lifts the crash and runs the start-up recovery as a new process
// would. Calls on open files count as well. Counting is thread-safe.
//   TFailingFileSystem failing(platform::SystemFiles());
//   platform::TFileSystemOverride use(failing);
//   failing.Arm(17, TFault::kShortWrite);
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace ostrivan::test_support {

enum class TFault {
  kNone,
  kIo,          // EIO
  kNoSpace,     // ENOSPC
  kDenied,      // EACCES
  kCrossing,    // EXDEV, on a move or a link only
  kShortWrite,  // part of a write lands, then ENOSPC; on writes only
  kCrash,       // this call and every later one fail (EIO) with no effect
};
const char* FaultName(TFault fault);

// Which call was made, for choosing the calls a fault may hit.
enum class TCall {
  kOpen,
  kCreate,
  kInfo,
  kAccess,
  kList,
  kMakeFolder,
  kRemoveFolder,
  kRemoveFile,
  kMove,
  kMoveReplacing,
  kLink,
  kSetPermissions,
  kSetTimes,
  kSync,
  kFreeSpace,
  kWriters,
  kExecutable,
  kWatch,
  kFileRead,
  kFileWrite,
  kFileSeek,
  kFileResize,
  kFileSync,
  kFileInfo,
  kFileSetPermissions,
  kFileSetTimes,
  kFileClose,
};
const char* CallName(TCall call);

// Whether fault can happen at such a call: a move or link can fail EXDEV, only a write
// can be cut short, a query cannot run out of room.
bool FaultFits(TFault fault, TCall call);

class TFailingFileSystem final : public platform::TFileSystem {
 public:
  explicit TFailingFileSystem(platform::TFileSystem& inner);

  // From now: calls counted from 1, the fault (if any) at call number at, the trace
  // emptied. Leaves no crash in force.
  void Arm(std::uint64_t at, TFault fault);
  void Disarm() { Arm(0, TFault::kNone); }
  // Lets calls through again after a crash (the next process), without counting more
  // faults.
  void LiftCrash();
  // Called once, on the thread that met the crash, as it happens: what a test records of
  // the moment the process "died" (a log's length, say).
  void SetOnCrash(std::function<void()> on_crash) { on_crash_ = std::move(on_crash); }
  // Calls on paths this picks go through uncounted and never fail: files that are no
  // part of what a test drives (a log that rotates in the middle of a run, say).
  void SetPassing(std::function<bool(const std::string&)> passing) { passing_ = std::move(passing); }
  std::uint64_t Calls() const { return calls_.load(); }
  bool Fired() const { return fired_.load(); }
  bool Crashed() const { return crashed_.load(); }
  // The calls since Arm, in order, with their paths.
  struct TTraced {
    TCall Call;
    std::string Path;
  };
  std::vector<TTraced> Trace() const;

  TStatus TryOpen(const std::string& path, const platform::TOpenOptions& options,
                  std::unique_ptr<platform::TFile>& file) override;
  TStatus TryCreate(const std::string& path, const platform::TCreateOptions& options,
                    std::unique_ptr<platform::TFile>& file) override;
  TStatus TryInfo(const std::string& path, platform::TLinks links, platform::TFileInfo& info) override;
  TStatus TryCheckAccess(const std::string& path, platform::TAccess access) override;
  TStatus TryListFolder(const std::string& path, std::vector<platform::TFolderEntry>& entries) override;
  TStatus TryMakeFolder(const std::string& path, unsigned permissions) override;
  TStatus TryRemoveFolder(const std::string& path) override;
  TStatus TryRemoveFile(const std::string& path) override;
  TStatus TryRenameNoReplace(const std::string& from, const std::string& to) override;
  TStatus TryRenameReplacing(const std::string& from, const std::string& to) override;
  TStatus TryHardLink(const std::string& existing, const std::string& name) override;
  TStatus TrySetPermissions(const std::string& path, unsigned permissions) override;
  TStatus TrySetTimes(const std::string& path, std::optional<platform::TFileTime> accessed,
                      platform::TFileTime modified) override;
  TStatus TrySync(const std::string& path) override;
  TStatus TryFreeSpace(const std::string& path, std::uint64_t& bytes) override;
  TStatus TryCheckWriters(const std::string& path, platform::TWriters& writers) override;
  TStatus TryExecutablePath(std::string& path) override;
  TStatus TryCurrentFolder(std::string& path) override;
  TStatus TryWatchChanges(std::unique_ptr<platform::TChangeWatch>& watch) override;

  // What to do with one call: go through, or fail with this code. A short write is
  // told apart by the caller (the file), which writes part first.
  struct TVerdict {
    int Code = 0;
    bool Short = false;
  };
  TVerdict Count(TCall call, const std::string& path);

 private:
  platform::TFileSystem& inner_;
  std::atomic<std::uint64_t> calls_{0};
  std::atomic<std::uint64_t> at_{0};
  std::atomic<TFault> fault_{TFault::kNone};
  std::atomic<bool> fired_{false};
  std::atomic<bool> crashed_{false};
  std::function<void()> on_crash_;
  std::function<bool(const std::string&)> passing_;
  mutable std::mutex trace_lock_;
  std::vector<TTraced> trace_;
};

}  // namespace ostrivan::test_support

#include "support/failing_file_system.h"

#include <cerrno>

namespace ostrivan::test_support {

using platform::TFile;
using platform::TFileInfo;
using platform::TFileTime;

const char* FaultName(TFault fault) {
  switch (fault) {
    case TFault::kNone: return "none";
    case TFault::kIo: return "EIO";
    case TFault::kNoSpace: return "ENOSPC";
    case TFault::kDenied: return "EACCES";
    case TFault::kCrossing: return "EXDEV";
    case TFault::kShortWrite: return "short write";
    case TFault::kCrash: return "crash";
  }
  return "?";
}

const char* CallName(TCall call) {
  static const char* const names[] = {
      "open",      "create", "info",  "access",    "list",      "make folder", "remove folder", "remove",     "move",
      "move over", "link",   "chmod", "set times", "sync",      "free",        "writers",       "exe path",   "watch",
      "read",      "write",  "seek",  "resize",    "file sync", "file info",   "file chmod",    "file times", "close"};
  return names[static_cast<int>(call)];
}

bool FaultFits(TFault fault, TCall call) {
  switch (fault) {
    case TFault::kNone: return false;
    case TFault::kIo:
    case TFault::kCrash: return true;
    case TFault::kCrossing: return call == TCall::kMove || call == TCall::kMoveReplacing || call == TCall::kLink;
    case TFault::kShortWrite: return call == TCall::kFileWrite;
    case TFault::kNoSpace:
      switch (call) {
        case TCall::kCreate:
        case TCall::kMakeFolder:
        case TCall::kMove:
        case TCall::kMoveReplacing:
        case TCall::kLink:
        case TCall::kSync:
        case TCall::kFileWrite:
        case TCall::kFileResize:
        case TCall::kFileSync:
        case TCall::kFileClose: return true;
        default: return false;
      }
    case TFault::kDenied:
      switch (call) {
        case TCall::kOpen:
        case TCall::kCreate:
        case TCall::kInfo:
        case TCall::kAccess:
        case TCall::kList:
        case TCall::kMakeFolder:
        case TCall::kRemoveFolder:
        case TCall::kRemoveFile:
        case TCall::kMove:
        case TCall::kMoveReplacing:
        case TCall::kLink:
        case TCall::kSetPermissions:
        case TCall::kSetTimes:
        case TCall::kFileSetPermissions:
        case TCall::kFileSetTimes: return true;
        default: return false;
      }
  }
  return false;
}

namespace {

int CodeOf(TFault fault) {
  switch (fault) {
    case TFault::kNoSpace:
    case TFault::kShortWrite: return ENOSPC;
    case TFault::kDenied: return EACCES;
    case TFault::kCrossing: return EXDEV;
    default: return EIO;
  }
}

class TFailingFile final : public TFile {
 public:
  TFailingFile(TFailingFileSystem& files, std::unique_ptr<TFile> inner, std::string path)
      : files_(files), inner_(std::move(inner)), path_(std::move(path)) {}

  TStatus TryRead(void* buffer, std::size_t count, std::size_t& got) override {
    got = 0;
    if (const int code = files_.Count(TCall::kFileRead, path_).Code) return TStatus(code, path_);
    return inner_->TryRead(buffer, count, got);
  }
  TStatus TryReadAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& got) override {
    got = 0;
    if (const int code = files_.Count(TCall::kFileRead, path_).Code) return TStatus(code, path_);
    return inner_->TryReadAt(offset, buffer, count, got);
  }
  TStatus TryWrite(std::string_view bytes) override {
    const TFailingFileSystem::TVerdict verdict = files_.Count(TCall::kFileWrite, path_);
    if (verdict.Short) {
      // Half of it lands: the disk filled up on the way.
      (void)inner_->TryWrite(bytes.substr(0, bytes.size() / 2));
      return TStatus(ENOSPC, path_);
    }
    if (verdict.Code != 0) return TStatus(verdict.Code, path_);
    return inner_->TryWrite(bytes);
  }
  TStatus TrySeek(std::int64_t offset, platform::TSeekFrom from, std::int64_t& position) override {
    if (const int code = files_.Count(TCall::kFileSeek, path_).Code) return TStatus(code, path_);
    return inner_->TrySeek(offset, from, position);
  }
  TStatus TryResize(std::int64_t size) override {
    if (const int code = files_.Count(TCall::kFileResize, path_).Code) return TStatus(code, path_);
    return inner_->TryResize(size);
  }
  TStatus TrySync() override {
    if (const int code = files_.Count(TCall::kFileSync, path_).Code) return TStatus(code, path_);
    return inner_->TrySync();
  }
  TStatus TryInfo(TFileInfo& info) override {
    if (const int code = files_.Count(TCall::kFileInfo, path_).Code) {
      info = TFileInfo{};
      return TStatus(code, path_);
    }
    return inner_->TryInfo(info);
  }
  TStatus TrySetPermissions(unsigned permissions) override {
    if (const int code = files_.Count(TCall::kFileSetPermissions, path_).Code) return TStatus(code, path_);
    return inner_->TrySetPermissions(permissions);
  }
  TStatus TrySetTimes(TFileTime accessed, TFileTime modified) override {
    if (const int code = files_.Count(TCall::kFileSetTimes, path_).Code) return TStatus(code, path_);
    return inner_->TrySetTimes(accessed, modified);
  }
  TStatus TryClose() override {
    // The handle goes whatever is reported: a failed close still closes.
    const int code = files_.Count(TCall::kFileClose, path_).Code;
    const TStatus closed = inner_->TryClose();
    return code != 0 ? TStatus(code, path_) : closed;
  }

 private:
  TFailingFileSystem& files_;
  std::unique_ptr<TFile> inner_;
  std::string path_;
};

}  // namespace

TFailingFileSystem::TFailingFileSystem(platform::TFileSystem& inner) : inner_(inner) {}

void TFailingFileSystem::Arm(std::uint64_t at, TFault fault) {
  std::lock_guard<std::mutex> guard(trace_lock_);
  trace_.clear();
  calls_.store(0);
  fired_.store(false);
  crashed_.store(false);
  fault_.store(fault);
  at_.store(at);
}

void TFailingFileSystem::LiftCrash() {
  fault_.store(TFault::kNone);
  crashed_.store(false);
}

std::vector<TFailingFileSystem::TTraced> TFailingFileSystem::Trace() const {
  std::lock_guard<std::mutex> guard(trace_lock_);
  return trace_;
}

TFailingFileSystem::TVerdict TFailingFileSystem::Count(TCall call, const std::string& path) {
  if (passing_ && passing_(path)) return {};
  std::uint64_t number = 0;
  {
    std::lock_guard<std::mutex> guard(trace_lock_);
    number = ++calls_;
    trace_.push_back({call, path});
  }
  if (crashed_.load()) return {EIO, false};
  const TFault fault = fault_.load();
  // Numbers may shift between runs where threads share the work: a call that does not
  // fit the fault lets it pass unfired.
  if (fault == TFault::kNone || number != at_.load() || !FaultFits(fault, call)) return {};
  fired_.store(true);
  if (fault == TFault::kCrash) {
    crashed_.store(true);
    if (on_crash_) on_crash_();
    return {EIO, false};
  }
  return {CodeOf(fault), fault == TFault::kShortWrite};
}

#define OSTRIVAN_FAIL_HERE(call, path) \
  if (const int code = Count(call, path).Code; code != 0) return TStatus(code, path)

TStatus TFailingFileSystem::TryOpen(const std::string& path, const platform::TOpenOptions& options,
                                    std::unique_ptr<TFile>& file) {
  file.reset();
  OSTRIVAN_FAIL_HERE(TCall::kOpen, path);
  std::unique_ptr<TFile> inner;
  const TStatus opened = inner_.TryOpen(path, options, inner);
  if (opened) file = std::make_unique<TFailingFile>(*this, std::move(inner), path);
  return opened;
}

TStatus TFailingFileSystem::TryCreate(const std::string& path, const platform::TCreateOptions& options,
                                      std::unique_ptr<TFile>& file) {
  file.reset();
  OSTRIVAN_FAIL_HERE(TCall::kCreate, path);
  std::unique_ptr<TFile> inner;
  const TStatus created = inner_.TryCreate(path, options, inner);
  if (created) file = std::make_unique<TFailingFile>(*this, std::move(inner), path);
  return created;
}

TStatus TFailingFileSystem::TryInfo(const std::string& path, platform::TLinks links, TFileInfo& info) {
  if (const int code = Count(TCall::kInfo, path).Code; code != 0) {
    info = TFileInfo{};
    return TStatus(code, path);
  }
  return inner_.TryInfo(path, links, info);
}

TStatus TFailingFileSystem::TryCheckAccess(const std::string& path, platform::TAccess access) {
  OSTRIVAN_FAIL_HERE(TCall::kAccess, path);
  return inner_.TryCheckAccess(path, access);
}

TStatus TFailingFileSystem::TryListFolder(const std::string& path, std::vector<platform::TFolderEntry>& entries) {
  entries.clear();
  OSTRIVAN_FAIL_HERE(TCall::kList, path);
  return inner_.TryListFolder(path, entries);
}

TStatus TFailingFileSystem::TryMakeFolder(const std::string& path, unsigned permissions) {
  OSTRIVAN_FAIL_HERE(TCall::kMakeFolder, path);
  return inner_.TryMakeFolder(path, permissions);
}

TStatus TFailingFileSystem::TryRemoveFolder(const std::string& path) {
  OSTRIVAN_FAIL_HERE(TCall::kRemoveFolder, path);
  return inner_.TryRemoveFolder(path);
}

TStatus TFailingFileSystem::TryRemoveFile(const std::string& path) {
  OSTRIVAN_FAIL_HERE(TCall::kRemoveFile, path);
  return inner_.TryRemoveFile(path);
}

TStatus TFailingFileSystem::TryRenameNoReplace(const std::string& from, const std::string& to) {
  OSTRIVAN_FAIL_HERE(TCall::kMove, from);
  return inner_.TryRenameNoReplace(from, to);
}

TStatus TFailingFileSystem::TryRenameReplacing(const std::string& from, const std::string& to) {
  OSTRIVAN_FAIL_HERE(TCall::kMoveReplacing, from);
  return inner_.TryRenameReplacing(from, to);
}

TStatus TFailingFileSystem::TryHardLink(const std::string& existing, const std::string& name) {
  OSTRIVAN_FAIL_HERE(TCall::kLink, name);
  return inner_.TryHardLink(existing, name);
}

TStatus TFailingFileSystem::TrySetPermissions(const std::string& path, unsigned permissions) {
  OSTRIVAN_FAIL_HERE(TCall::kSetPermissions, path);
  return inner_.TrySetPermissions(path, permissions);
}

TStatus TFailingFileSystem::TrySetTimes(const std::string& path, std::optional<TFileTime> accessed,
                                        TFileTime modified) {
  OSTRIVAN_FAIL_HERE(TCall::kSetTimes, path);
  return inner_.TrySetTimes(path, accessed, modified);
}

TStatus TFailingFileSystem::TrySync(const std::string& path) {
  OSTRIVAN_FAIL_HERE(TCall::kSync, path);
  return inner_.TrySync(path);
}

TStatus TFailingFileSystem::TryFreeSpace(const std::string& path, std::uint64_t& bytes) {
  OSTRIVAN_FAIL_HERE(TCall::kFreeSpace, path);
  return inner_.TryFreeSpace(path, bytes);
}

TStatus TFailingFileSystem::TryCheckWriters(const std::string& path, platform::TWriters& writers) {
  writers = platform::TWriters::kCannotTell;
  OSTRIVAN_FAIL_HERE(TCall::kWriters, path);
  return inner_.TryCheckWriters(path, writers);
}

TStatus TFailingFileSystem::TryExecutablePath(std::string& path) {
  OSTRIVAN_FAIL_HERE(TCall::kExecutable, std::string("/proc/self/exe"));
  return inner_.TryExecutablePath(path);
}

TStatus TFailingFileSystem::TryCurrentFolder(std::string& path) {
  OSTRIVAN_FAIL_HERE(TCall::kExecutable, std::string("."));
  return inner_.TryCurrentFolder(path);
}

TStatus TFailingFileSystem::TryWatchChanges(std::unique_ptr<platform::TChangeWatch>& watch) {
  watch.reset();
  OSTRIVAN_FAIL_HERE(TCall::kWatch, std::string());
  return inner_.TryWatchChanges(watch);
}

#undef OSTRIVAN_FAIL_HERE

}  // namespace ostrivan::test_support

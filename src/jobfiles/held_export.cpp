#include "jobfiles/held_export.h"

#include <cerrno>
#include <mutex>

#include "common/error.h"
#include "common/file_system.h"
#include "common/paths.h"
#include "jobfiles/held_layout.h"
#include "jobfiles/job_texts.h"
#include "jobfiles/working_directory.h"
#include "logging/framework_log.h"
#include "platform/file_system.h"
#include "platform/process.h"

namespace ostrivan::jobfiles {

using namespace held_layout;

namespace {

std::mutex g_sequence_lock;
unsigned g_sequence = 0;

std::string NextJobName() {
  std::lock_guard<std::mutex> guard(g_sequence_lock);
  return FileTimeStamp() + "-" + std::to_string(platform::ProcessId()) + "-" + std::to_string(++g_sequence);
}

bool Writable(const std::string& dir) { return platform::Files().TryCheckAccess(dir, platform::TAccess::kWrite).Ok(); }

// The service's own folders: a failure to make one names it and the system's reason.
void MakeOwnFolder(const std::string& dir, unsigned mode) {
  TStatus status = TryMakeDirectories(dir, mode);
  if (status) status = platform::Files().TryCheckAccess(dir, platform::TAccess::kWrite);
  if (status) return;
  const int code = status.Code();
  throw EOSError(texts::PackingFailed(texts::FolderNotCreated(dir, SysErrorMessageText(code))), dir, code);
}

void Walk(const std::string& root, const std::string& relative, std::vector<THeldEntry>& out) {
  const std::string dir = relative.empty() ? root : JoinPath(root, relative);
  std::vector<TDirectoryEntry> listing;
  try {
    listing = ListDirectory(dir);
  } catch (const Exception&) {
    // Asked again for the reason, which the listing's message words its own way.
    std::vector<platform::TFolderEntry> again;
    const TStatus listed = platform::Files().TryListFolder(dir, again);
    const int code = listed ? EIO : listed.Code();
    throw EOSError(texts::PackingFailed(texts::FolderNotRead(dir, SysErrorMessageText(code))), dir, code);
  }
  for (const TDirectoryEntry& entry : listing) {
    THeldEntry held;
    held.Relative = relative.empty() ? entry.Name : relative + "/" + entry.Name;
    int code = 0;
    if (!ReadIdentity(JoinPath(root, held.Relative), held.Identity, &code)) {
      if (code == ENOENT) continue;  // gone already
      throw EOSError(texts::PackingFailed(texts::FolderNotRead(dir, SysErrorMessageText(code))), dir, code);
    }
    held.IsDirectory = IsFolderMode(held.Identity.Mode);
    out.push_back(held);
    if (held.IsDirectory) Walk(root, held.Relative, out);
  }
}

}  // namespace

std::string HoldRootBeside(const std::string& export_dir) {
  const std::string dir = WithoutTrailingSlashes(export_dir);
  const std::string name = FileNameOf(dir);
  if (name.empty() || name == "/" || name == "." || name == "..") return {};
  return ParentFolder(dir) + "/." + name + kHoldSuffix;
}

bool IsJobEntry(const TFileIdentity& identity) { return IsFileMode(identity.Mode) || IsFolderMode(identity.Mode); }

std::vector<THeldEntry> SnapshotTree(const std::string& dir) {
  std::vector<THeldEntry> entries;
  Walk(dir, "", entries);
  return entries;
}

THeldExport::THeldExport(std::string origin, std::string folder)
    : origin_(std::move(origin)), folder_(std::move(folder)), started_wall_ms_(WallClockMs()) {}

std::shared_ptr<THeldExport> THeldExport::Create(const std::string& export_dir) {
  const std::string list = StoreFolder("held");
  MakeOwnFolder(list, 0700);
  std::string root = HoldRootBeside(export_dir);
  // Beside the directory keeps the moves on one file system; where that cannot be
  // written, beside the executable, where a move may have to copy.
  if (root.empty() || !(TryMakeDirectories(root, 0700) && Writable(root))) root = list;
  const std::string name = NextJobName();
  const std::string folder = root + "/" + name;
  MakeOwnFolder(folder + "/" + kFilesFolder, 0700);
  std::shared_ptr<THeldExport> job(new THeldExport(export_dir, folder));
  // Recorded before anything can move, so that a start finds the job whatever the
  // parameter file says by then.
  const std::string record = list + "/" + name + kHoldRecordSuffix;
  if (const int code = TryWriteFileDurably(record, folder + "\n").Code(); code != 0)
    throw EOSError(texts::PackingFailed(texts::FolderNotCreated(list, SysErrorMessageText(code))), list, code);
  job->record_path_ = record;
  return job;
}

THeldExport::~THeldExport() {
  if (held_) {
    Complete(false);
  } else if (!completed_.load()) {
    RemoveFolder();
  }
}

void THeldExport::RemoveFolder() {
  // The files first, then the manifest, then the marks beside it: a kill or a failed
  // removal on the way leaves a folder that still says what its files are and whether
  // they were delivered and journalled, or one that says nothing and holds no file.
  if (RemoveTree(folder_ + "/" + kFilesFolder) && RemoveTree(folder_ + "/" + kManifestName)) RemoveTree(folder_);
  if (const TStatus removed = record_path_.empty() ? TStatus() : platform::Files().TryRemoveFile(record_path_);
      !removed && removed != ENOENT)
    logging::FrameworkLogWarn("Hold record " + Quote(record_path_) +
                              " not removed: " + SysErrorMessageText(removed.Code()));
  // The hold root beside the export directory goes when no job is left in it.
  if (ParentFolder(folder_) != StoreFolder("held")) (void)platform::Files().TryRemoveFolder(ParentFolder(folder_));
}

std::string THeldExport::Id() const { return FileNameOf(folder_); }

bool THeldExport::DeliveryMarked() const {
  return platform::Files().TryCheckAccess(folder_ + "/" + kDeliveredMark, platform::TAccess::kExists).Ok();
}

bool THeldExport::AwaitAcknowledgement(std::int64_t deadline_ms) {
  if (const int code = TryWriteFileDurably(folder_ + "/" + kAwaitingMark, std::to_string(deadline_ms) + "\n").Code();
      code != 0) {
    logging::FrameworkLogError("Export " + Record.Archive + " cannot wait for its acknowledgement: " +
                               Quote(folder_ + "/" + kAwaitingMark) + " not written: " + SysErrorMessageText(code));
    return false;
  }
  ack_deadline_ms_ = deadline_ms;
  return true;
}

}  // namespace ostrivan::jobfiles

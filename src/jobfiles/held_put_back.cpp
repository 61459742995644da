// Putting a held export back in its directory: each file on its own, or the whole job
// or nothing, and taking back out what a put-back cut short had placed.
#include <algorithm>
#include <cerrno>

#include "common/error.h"
#include "common/file_system.h"
#include "common/paths.h"
#include "jobfiles/held_export.h"
#include "jobfiles/held_layout.h"
#include "jobfiles/job_journal.h"
#include "logging/framework_log.h"
#include "platform/file_system.h"

namespace ostrivan::jobfiles {

using namespace held_layout;

namespace {

void SetFolderTimes(const std::string& path, const TFileIdentity& id) {
  if (const TStatus set =
          platform::Files().TrySetTimes(path, std::nullopt, {id.ModifiedSeconds, id.ModifiedNanoseconds});
      !set)
    logging::FrameworkLogWarn("Folder " + Quote(path) +
                              " put back without its time: " + SysErrorMessageText(set.Code()));
}

}  // namespace

bool THeldExport::DirectoryRefilled() const {
  // Without a record of what stayed, only names taken again are seen (PutBack).
  if (!settled_) return false;
  std::vector<THeldEntry> now;
  try {
    now = SnapshotTree(origin_);
  } catch (const Exception&) {
    // Gone altogether holds nothing new; what cannot be read cannot be merged into safely.
    platform::TFileInfo info;
    return !(platform::Files().TryInfo(origin_, platform::TLinks::kDoNotFollow, info) == ENOENT);
  }
  const auto find = [](const std::vector<THeldEntry>& in, const std::string& relative) {
    return std::find_if(in.begin(), in.end(), [&](const THeldEntry& r) { return r.Relative == relative; });
  };
  for (const THeldEntry& e : now) {
    const auto stayed = find(residual_, e.Relative);
    if (stayed != residual_.end()) {
      if (!e.IsDirectory && !SameVersion(e.Identity, stayed->Identity)) return true;
      continue;
    }
    // What a put-back cut short by a kill had already brought back is the job's own: its
    // folders, and its files as they were (a copy has another inode, the same stamp).
    const auto own = find(Entries, e.Relative);
    if (own == Entries.end() || own->IsDirectory != e.IsDirectory) return true;
    if (!e.IsDirectory && !SameContentStamp(e.Identity, own->Identity)) return true;
  }
  return false;
}

std::vector<const THeldEntry*> THeldExport::MakeFolders(std::string* failure) {
  // Directories first, so the files find their places; writable until they are filled.
  std::vector<const THeldEntry*> made;
  for (const THeldEntry& e : Entries) {
    if (!e.IsDirectory) continue;
    const std::string path = JoinPath(origin_, e.Relative);
    if (Present(path)) continue;
    if (const TStatus made_here = platform::Files().TryMakeFolder(path, 0700); made_here) made.push_back(&e);
    else if (failure != nullptr && failure->empty())
      *failure = SysErrorMessageText(made_here.Code()) + " " + Quote(path);
  }
  return made;
}

void THeldExport::RestoreFolders(const std::vector<const THeldEntry*>& made) {
  // Directory modes and times as they were (filling them in changed the times).
  for (const THeldEntry* e : made)
    if (const TStatus set =
            platform::Files().TrySetPermissions(JoinPath(origin_, e->Relative), e->Identity.Mode & 07777);
        !set)
      logging::FrameworkLogWarn("Folder " + Quote(JoinPath(origin_, e->Relative)) +
                                " put back without its mode: " + SysErrorMessageText(set.Code()));
  for (auto it = Entries.rbegin(); it != Entries.rend(); ++it)
    if (it->IsDirectory) SetFolderTimes(JoinPath(origin_, it->Relative), it->Identity);
  const int synced = TrySyncPath(WithoutTrailingSlashes(origin_)).Code();
  if (synced != 0 && synced != EINVAL)
    logging::FrameworkLogError("Export " + Record.Archive + " put back in " + origin_ +
                               " but not flushed: " + SysErrorMessageText(synced));
}

void THeldExport::PutBackEach(const std::vector<const THeldEntry*>& files, const std::string& why) {
  const std::vector<const THeldEntry*> made = MakeFolders(nullptr);
  std::vector<const THeldEntry*> refused;
  std::string taken;   // names the machine has written again
  std::string failed;  // names that could not be put back for another reason
  for (const THeldEntry* e : files) {
    const std::string held = HeldPath(e->Relative);
    if (!Present(held)) continue;  // never moved, or back already
    const std::string path = JoinPath(origin_, e->Relative);
    (void)TryMakeDirectories(ParentFolder(path));
    const int code = TryMoveNoReplace(held, path).Code();
    if (code == 0) continue;
    refused.push_back(e);
    (code == EEXIST ? taken : failed) += (code == EEXIST ? "" : SysErrorMessageText(code) + " ") + Quote(path) + " ";
  }
  RestoreFolders(made);
  if (refused.empty()) return;
  std::string reason;
  if (!taken.empty()) reason += "written again meanwhile: " + taken;
  if (!failed.empty()) reason += (reason.empty() ? "" : "; ") + std::string("not put back: ") + failed;
  KeepInUnsent(refused, why + "; " + reason);
}

bool THeldExport::PlacedHere(const THeldEntry& e, const platform::TFileInfo& at, bool held_there) const {
  if (at.Kind != platform::TFileKind::kFile) return false;
  if (const auto placed = placed_.find(e.Relative); placed != placed_.end())
    return placed->second.Device == at.Device && placed->second.Inode == at.Inode;
  // Renamed back on one file system: the very file that was listed, which the hold did
  // not leave there.
  if (held_there || at.Device != e.Identity.Device || at.Inode != e.Identity.Inode) return false;
  TFileIdentity now;
  if (!ReadIdentity(JoinPath(origin_, e.Relative), now) || !SameContentStamp(now, e.Identity)) return false;
  return !Stayed(e.Relative);
}

bool THeldExport::Stayed(const std::string& relative) const {
  return std::any_of(residual_.begin(), residual_.end(), [&](const THeldEntry& r) { return r.Relative == relative; });
}

bool THeldExport::PutBackWhole(const std::vector<const THeldEntry*>& files, std::string& reason) {
  struct TStep {
    const THeldEntry* entry;
    std::string held, path;
    bool copy = false;   // across file systems: made under its partial name first
    bool named = false;  // under its name now
  };
  std::vector<TStep> steps;
  std::string failure;
  const std::vector<const THeldEntry*> made = MakeFolders(&failure);
  const auto undo = [&](const std::string& why) {
    for (const TStep& step : steps)
      if (step.copy && !step.named) (void)platform::Files().TryRemoveFile(PartialCopyName(step.path));
    TakeBackOut(files);
    for (auto it = made.rbegin(); it != made.rend(); ++it)
      (void)platform::Files().TryRemoveFolder(JoinPath(origin_, (*it)->Relative));
    // Nothing placed is left: a record of it could only mistake a new file for a copy.
    placed_.clear();
    (void)platform::Files().TryRemoveFile(folder_ + "/" + kPlacedName);
    reason = why;
    return false;
  };
  if (!failure.empty()) return undo("not put back: " + failure);
  // Every copy whole and flushed under its partial name; on one file system there is
  // nothing to copy.
  bool copied = false;
  for (const THeldEntry* e : files) {
    TStep step{e, HeldPath(e->Relative), JoinPath(origin_, e->Relative)};
    platform::TFileInfo held;
    if (const TStatus seen = platform::Files().TryInfo(step.held, platform::TLinks::kDoNotFollow, held); !seen) {
      if (seen.Code() == ENOENT) continue;  // never moved, or back already
      // Not known to be gone: a file that cannot be looked at now stays held, never dropped.
      return undo("not put back: " + SysErrorMessageText(seen.Code()) + " " + Quote(step.held) + " ");
    }
    platform::TFileInfo at;
    if (platform::Files().TryInfo(step.path, platform::TLinks::kDoNotFollow, at)) {
      if (!PlacedHere(*e, at, true)) return undo("written again meanwhile: " + Quote(step.path) + " ");
      // A copy named before a kill: only its held source is left to remove.
      step.copy = step.named = true;
      steps.push_back(std::move(step));
      continue;
    }
    int code = TryMakeDirectories(ParentFolder(step.path)).Code();
    platform::TFileInfo folder;
    if (code == 0) code = platform::Files().TryInfo(ParentFolder(step.path), platform::TLinks::kFollow, folder).Code();
    step.copy = code == 0 && folder.Device != held.Device;
    steps.push_back(step);
    if (code == 0 && step.copy) {
      platform::TFileInfo copy;
      code = TryCopyUnderPartialName(step.held, step.path, copy).Code();
      if (code == 0) {
        placed_[e->Relative] = {copy.Device, copy.Inode};
        copied = true;
      }
    } else if (code == 0) {
      placed_[e->Relative] = {held.Device, held.Inode};
    }
    if (code != 0) return undo("not put back: " + SysErrorMessageText(code) + " " + Quote(step.path) + " ");
  }
  // A start after a kill from here on must know which named copies are the job's own.
  if (copied) {
    try {
      WritePlacedRecord();
    } catch (const Exception& e) {
      return undo("not put back: " + e.Message() + " ");
    }
  }
  // Each takes its name, never over a file the machine wrote meanwhile.
  for (TStep& step : steps) {
    if (step.named) continue;
    const int code = step.copy ? TryNamePartialCopy(step.path).Code() : TryRenameNoReplace(step.held, step.path).Code();
    if (code == EEXIST) return undo("written again meanwhile: " + Quote(step.path) + " ");
    step.named = code == 0 || platform::Files().TryCheckAccess(step.path, platform::TAccess::kExists).Ok();
    if (code != 0) return undo("not put back: " + SysErrorMessageText(code) + " " + Quote(step.path) + " ");
  }
  // A folder the hold had emptied away was made again by a put-back, this one or one a
  // kill cut short: each gets its mode back.
  std::vector<const THeldEntry*> remade = made;
  for (const THeldEntry& e : Entries)
    if (e.IsDirectory && settled_ && !Stayed(e.Relative) && std::find(made.begin(), made.end(), &e) == made.end())
      remade.push_back(&e);
  RestoreFolders(remade);
  // Only now, with the whole job back, do the copies' sources go.
  for (const TStep& step : steps) {
    if (!step.copy) continue;
    if (const TStatus removed = platform::Files().TryRemoveFile(step.held); !removed && removed != ENOENT)
      logging::FrameworkLogWarn("Export " + Record.Archive + " put back; " + Quote(step.held) +
                                " not removed: " + SysErrorMessageText(removed.Code()));
  }
  return true;
}

void THeldExport::TakeBackOut(const std::vector<const THeldEntry*>& files) {
  for (const THeldEntry* e : files) {
    const std::string path = JoinPath(origin_, e->Relative);
    const std::string held = HeldPath(e->Relative);
    platform::TFileInfo at;
    if (!platform::Files().TryInfo(path, platform::TLinks::kDoNotFollow, at)) continue;
    const bool held_there = Present(held);
    if (!PlacedHere(*e, at, held_there)) continue;
    // A copy whose source is still held goes; a file that is the only one goes back.
    int code = 0;
    if (held_there) {
      code = platform::Files().TryRemoveFile(path).Code();
    } else {
      code = TryMakeDirectories(ParentFolder(held), 0700).Code();
      if (code == 0) code = TryMoveNoReplace(path, held).Code();
    }
    if (code != 0)
      logging::FrameworkLogError("Export " + Record.Archive + ": " + Quote(path) +
                                 " could not be taken back out: " + SysErrorMessageText(code));
  }
  // The job's folders that the hold had emptied away and that hold nothing now.
  if (!settled_) return;
  for (auto it = Entries.rbegin(); it != Entries.rend(); ++it)
    if (it->IsDirectory && !Stayed(it->Relative))
      (void)platform::Files().TryRemoveFolder(JoinPath(origin_, it->Relative));
}

const char* THeldExport::SettleUndelivered(const std::vector<const THeldEntry*>& files, const std::string& why) {
  std::string reason;
  if (PutBackWhole(files, reason)) return unacknowledged_ ? kOutcomeRestoredUnacknowledged : kOutcomeRestored;
  // Not one file of the job stays beside the rest: all of it is kept.
  KeepInUnsent(files, why + "; " + reason);
  return unacknowledged_ ? kOutcomeKeptUnsentUnacknowledged : kOutcomeKeptUnsent;
}

}  // namespace ostrivan::jobfiles

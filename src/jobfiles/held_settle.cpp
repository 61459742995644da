// Holding an export's files and settling the hold once the reply's fate is known.
#include <algorithm>
#include <cerrno>
#include <memory>

#include "common/error.h"
#include "common/file_system.h"
#include "common/paths.h"
#include "jobfiles/directory_lock.h"
#include "jobfiles/held_export.h"
#include "jobfiles/held_layout.h"
#include "jobfiles/job_metrics.h"
#include "jobfiles/job_texts.h"
#include "jobfiles/write_watch.h"
#include "logging/framework_log.h"

namespace ostrivan::jobfiles {

using namespace held_layout;

// --- hold ----------------------------------------------------------------------------

void THeldExport::Hold() {
  RefuseReadOnlyTopFiles();
  RecordBeforeMoving();
  held_ = true;
  std::vector<const THeldEntry*> moved;
  std::int64_t left = MoveFilesOut(moved);
  left += RemoveEmptiedFolders();
  Record.Left = left;
  RecordWhatStayed();
}

void THeldExport::RefuseReadOnlyTopFiles() const {
  // Read-only files directly in the directory are refused, as the workstation refuses
  // to delete them; checked before anything moves.
  for (const THeldEntry& e : Entries)
    if (!e.IsDirectory && e.Relative.find('/') == std::string::npos && IsFileMode(e.Identity.Mode) &&
        IsReadOnlyMode(e.Identity.Mode))
      throw EOSError(texts::EmptyingFailed(origin_));
}

void THeldExport::RecordBeforeMoving() const {
  try {
    WriteManifest();
  } catch (const Exception& e) {
    // Nothing moves without its record.
    logging::FrameworkLogError("Export of " + origin_ + " could not write " + Quote(folder_ + "/" + kManifestName) +
                               ": " + e.Message());
    throw EOSError(texts::EmptyingFailed(origin_));
  }
}

void THeldExport::AbandonHold(const std::vector<const THeldEntry*>& moved, const std::string& why) {
  SettleUndelivered(moved, why);
  held_ = false;
  if (!keep_folder_) RemoveFolder();
  completed_.store(true);
}

void THeldExport::FailChangedWhilePacking(const std::vector<const THeldEntry*>& moved, const std::string& path) {
  AbandonHold(moved, "a file changed while the export was packed");
  throw Exception(texts::PackingFailed(texts::FileChangedWhilePacking(path)));
}

std::int64_t THeldExport::MoveFilesOut(std::vector<const THeldEntry*>& moved) {
  std::int64_t left = 0;
  for (THeldEntry& e : Entries) {
    if (e.IsDirectory) continue;
    const std::string path = JoinPath(origin_, e.Relative);
    TFileIdentity now;
    if (!ReadIdentity(path, now)) continue;  // removed by the machine meanwhile
    if (!SameVersion(now, e.Identity)) {
      if (e.Packed) FailChangedWhilePacking(moved, path);
      continue;  // a file not packed that changed is new work: it stays
    }
    // One not packed that a writer still has (ROTTLER's others) is new work too.
    if (!e.Packed &&
        (WriterHolds(path) == TWriterState::kOpen || ExportWriteWatch().StateOf(path) == TWriteSeen::kWriting))
      continue;
    const std::string held = HeldPath(e.Relative);
    int code = TryMakeDirectories(ParentFolder(held), 0700).Code();
    if (code == 0) code = TryMoveNoReplace(path, held).Code();
    if (code != 0) {
      if (e.Relative.find('/') != std::string::npos) {
        // Below a subdirectory what cannot be removed stays, as an emptying leaves it.
        logging::FrameworkLogWarn("Export of " + origin_ + " leaves " + Quote(path) + ": " + SysErrorMessageText(code));
        ++left;
        continue;
      }
      logging::FrameworkLogError("Export of " + origin_ + " could not take " + Quote(path) +
                                 " out: " + SysErrorMessageText(code));
      AbandonHold(moved, "the export could not move its files");
      throw EOSError(texts::EmptyingFailed(origin_));
    }
    moved.push_back(&e);
    // A writer between the check and the move changed what was packed.
    TFileIdentity after;
    const bool there = ReadIdentity(held, after);
    if (e.Packed && (!there || !SameContentStamp(after, e.Identity))) FailChangedWhilePacking(moved, path);
    if (there) {
      e.HeldChangedSeconds = after.ChangedSeconds;
      e.HeldChangedNanoseconds = after.ChangedNanoseconds;
    }
  }
  return left;
}

std::int64_t THeldExport::RemoveEmptiedFolders() {
  // The listed directories that are empty now go too, deepest first; one that holds
  // something new (or something left) stays.
  std::int64_t left = 0;
  for (auto it = Entries.rbegin(); it != Entries.rend(); ++it) {
    if (!it->IsDirectory) continue;
    const std::string path = JoinPath(origin_, it->Relative);
    const TStatus removed = platform::Files().TryRemoveFolder(path);
    if (!removed && removed != ENOTEMPTY && removed != EEXIST && removed != ENOENT) {
      logging::FrameworkLogWarn("Export of " + origin_ + " leaves " + Quote(path) + ": " +
                                SysErrorMessageText(removed.Code()));
      ++left;
    }
  }
  return left;
}

void THeldExport::RecordWhatStayed() {
  // What stays tells a put-back later whether the machine has written anything since.
  try {
    residual_ = SnapshotTree(origin_);
    settled_ = true;
    WriteManifest();
  } catch (const Exception& e) {
    // The job is held whole; without this record a put-back goes file by file.
    logging::FrameworkLogWarn("Export of " + origin_ + ": hold not recorded whole: " + e.Message());
    settled_ = false;
  }
}

// --- completion ----------------------------------------------------------------------

void THeldExport::CompleteUnacknowledged() {
  unacknowledged_ = true;
  Complete(false);
}

void THeldExport::Complete(bool delivered) {
  if (completed_.exchange(true)) return;
  if (!held_) {
    RemoveFolder();
    return;
  }
  TDirectoryLock lock(origin_);
  const std::vector<const THeldEntry*> files = HeldFiles();
  const bool marked = DeliveryMarked();
  if (delivered || marked) {
    FinishDelivered(files, marked);
  } else if (DirectoryRefilled()) {
    KeepRefilledInUnsent(files);
  } else {
    PutBackUndelivered(files);
  }
  held_ = false;
  if (!keep_folder_) RemoveFolder();
  RecordJobOutcome(Record, Record.Outcome == kOutcomeDelivered ? kJobDelivered : kJobUndelivered);
}

std::vector<const THeldEntry*> THeldExport::HeldFiles() const {
  std::vector<const THeldEntry*> files;
  for (const THeldEntry& e : Entries)
    if (!e.IsDirectory) files.push_back(&e);
  return files;
}

void THeldExport::FinishRecord() {
  Record.Duration = std::chrono::milliseconds(std::max<std::int64_t>(0, WallClockMs() - started_wall_ms_));
}

void THeldExport::JournalOnce() {
  // One line per job, across kills: a start writes it only when the killed run had not.
  const std::string mark = folder_ + "/" + kJournalledMark;
  if (platform::Files().TryCheckAccess(mark, platform::TAccess::kExists) || !WriteJournal(Record)) return;
  std::unique_ptr<platform::TFile> file;
  (void)platform::Files().TryCreate(mark, {.Mode = platform::TCreateMode::kKeep, .Permissions = 0600}, file);
}

THeldExport::TDeliveredFiles THeldExport::SortDelivered(const std::vector<const THeldEntry*>& files) const {
  // Files written after they were packed (through a handle opened before the move)
  // are newer work: they go back rather than away.
  TDeliveredFiles sorted;
  for (const THeldEntry* e : files) {
    TFileIdentity now;
    if (!ReadIdentity(HeldPath(e->Relative), now)) continue;
    const bool rewritten = !SameContentStamp(now, e->Identity) ||
                           (e->HeldChangedSeconds >= 0 && (now.ChangedSeconds != e->HeldChangedSeconds ||
                                                           now.ChangedNanoseconds != e->HeldChangedNanoseconds)) ||
                           WriterHolds(HeldPath(e->Relative)) == TWriterState::kOpen;
    if (rewritten) {
      sorted.Changed.push_back(e);
    } else {
      sorted.Removable.push_back(e);
      if (!e->Packed) sorted.Discarded.push_back(e);
    }
  }
  return sorted;
}

void THeldExport::MarkDelivered() {
  // From here a restart finishes the removal instead of putting the job back; marked
  // before the journal line, so that a line saying delivered is never followed by a
  // put-back.
  try {
    WriteFileDurably(folder_ + "/" + kDeliveredMark, "");
  } catch (const Exception& e) {
    logging::FrameworkLogError("Export " + Record.Archive + " delivered; its mark could not be written in " + folder_ +
                               ": " + e.Message());
  }
}

void THeldExport::RemoveHeldFiles(const std::vector<const THeldEntry*>& removable) {
  for (const THeldEntry* e : removable) {
    const std::string held = HeldPath(e->Relative);
    if (!platform::Files().TryCheckAccess(held, platform::TAccess::kExists)) continue;  // kept in unsent
    if (const TStatus removed = platform::Files().TryRemoveFile(held); !removed) {
      logging::FrameworkLogError("Export " + Record.Archive + " delivered; " + Quote(held) +
                                 " could not be removed: " + SysErrorMessageText(removed.Code()));
      keep_folder_ = true;
    }
  }
}

void THeldExport::FinishDelivered(const std::vector<const THeldEntry*>& files, bool marked) {
  const TDeliveredFiles sorted = SortDelivered(files);
  Record.Discarded = static_cast<std::int64_t>(sorted.Discarded.size());
  Record.Outcome = kOutcomeDelivered;
  FinishRecord();
  if (!marked) MarkDelivered();
  // Written before anything is removed.
  JournalOnce();
  KeepSentArchive();
  KeepDiscarded(sorted.Discarded);
  RemoveHeldFiles(sorted.Removable);
  if (!sorted.Changed.empty()) PutBackEach(sorted.Changed, "written after it was packed");
}

void THeldExport::KeepRefilledInUnsent(const std::vector<const THeldEntry*>& files) {
  // The machine has written a new job meanwhile: merging would make one job of two.
  // What a put-back cut short by a kill had brought back goes with the rest.
  TakeBackOut(files);
  KeepInUnsent(files, "the reply was not delivered and " + origin_ + " holds new files");
  Record.Outcome = unacknowledged_ ? kOutcomeKeptUnsentUnacknowledged : kOutcomeKeptUnsent;
  FinishRecord();
  JournalOnce();
}

void THeldExport::PutBackUndelivered(const std::vector<const THeldEntry*>& files) {
  Record.Outcome = SettleUndelivered(files, "the reply was not delivered");
  FinishRecord();
  JournalOnce();
}

}  // namespace ostrivan::jobfiles

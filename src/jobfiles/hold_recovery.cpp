// At start: the holds a process left between packing and the reply's fate are found
// and settled.
#include <cstring>
#include <set>

#include "common/file_system.h"
#include "common/paths.h"
#include "jobfiles/ack_waits.h"
#include "jobfiles/held_export.h"
#include "jobfiles/held_layout.h"
#include "jobfiles/hold_recovery.h"
#include "logging/framework_log.h"

namespace ostrivan::jobfiles {

using namespace held_layout;

namespace {

// Anything but folders below dir (a missing dir holds nothing).
bool HoldsAnyFile(const std::string& dir) {
  for (const std::string& name : NamesIn(dir)) {
    const std::string path = dir + "/" + name;
    const platform::TFileKind kind = KindAt(path);
    if (kind == platform::TFileKind::kMissing) continue;
    if (kind != platform::TFileKind::kFolder || HoldsAnyFile(path)) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> HoldFolders(const std::string& export_dir) {
  std::set<std::string> folders;
  const std::string list = StoreFolder("held");
  for (const std::string& name : NamesIn(list)) {
    const std::string path = list + "/" + name;
    if (name.ends_with(kHoldRecordSuffix)) {
      std::string text;
      if (!TryReadWholeFile(path, text)) continue;
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      if (!text.empty()) folders.insert(text);
    } else if (!name.ends_with(".tmp")) {
      folders.insert(path);
    }
  }
  const std::string beside = export_dir.empty() ? std::string() : HoldRootBeside(export_dir);
  if (!beside.empty())
    for (const std::string& name : NamesIn(beside)) folders.insert(beside + "/" + name);
  return {folders.begin(), folders.end()};
}

int RecoverHeldExports(const std::string& export_dir, const TKeepLimits& keep) {
  std::set<std::string> seen;
  int found = 0;
  const auto recover = [&](const std::string& folder, const std::string& record) {
    if (!seen.insert(folder).second) return;
    if (KindAt(folder) != platform::TFileKind::kFolder) {
      if (!record.empty() && platform::Files().TryRemoveFile(record))
        logging::FrameworkLogInfo("Start found the hold record " + Quote(record) + " of a job already settled (" +
                                  Quote(folder) + " is gone); record removed");
      return;
    }
    ++found;
    std::shared_ptr<THeldExport> job;
    switch (THeldExport::Load(folder, job)) {
      case THeldExport::TLoad::kLoaded:
        job->record_path_ = record;
        job->Keep = keep;
        // Copies cut short by the kill carry names of their own; they go first.
        for (const THeldEntry& e : job->Entries) {
          (void)platform::Files().TryRemoveFile(PartialCopyName(JoinPath(job->origin_, e.Relative)));
          (void)platform::Files().TryRemoveFile(PartialCopyName(job->HeldPath(e.Relative)));
        }
        {
          const bool delivered = job->DeliveryMarked();
          const bool awaited = job->ack_deadline_ms_ > 0 && !delivered;
          // Sent to a client that asked to acknowledge it: its acknowledgement may still
          // come, and until then nobody can tell whether it has the job.
          if (awaited && job->ack_deadline_ms_ > WallClockMs()) {
            logging::FrameworkLogWarn("Start found the held export " + Quote(job->Record.Archive) + " (job " +
                                      Quote(job->Record.Job) + ") in " + Quote(folder) +
                                      ": it waits for its acknowledgement (" + job->Id() + ") another " +
                                      std::to_string((job->ack_deadline_ms_ - WallClockMs() + 999) / 1000) + " s");
            AcknowledgementWaits().Resume(job);
            return;
          }
          const bool journalled =
              platform::Files().TryCheckAccess(folder + "/" + kJournalledMark, platform::TAccess::kExists).Ok();
          if (awaited) {
            job->CompleteUnacknowledged();
          } else {
            job->Complete(false);  // a delivered mark makes this finish the removal
          }
          const bool kept =
              job->Record.Outcome == kOutcomeKeptUnsent || job->Record.Outcome == kOutcomeKeptUnsentUnacknowledged;
          const std::string why =
              awaited ? "its acknowledgement did not come in time" : "its reply was not known delivered";
          const std::string done = delivered ? "its reply had been delivered: files removed, archive kept in sent"
                                   : kept    ? why + " and " + job->origin_ + " holds new files: kept in unsent"
                                             : why + ": put back in " + job->origin_;
          logging::FrameworkLogWarn(
              "Start found the held export " + Quote(job->Record.Archive) + " (job " + Quote(job->Record.Job) +
              ") in " + Quote(folder) + ": " + done +
              (journalled ? "; its journal line was written before the stop" : "; journalled now") +
              (job->keep_folder_ ? "; part of it stays in " + Quote(folder) : ""));
        }
        return;
      case THeldExport::TLoad::kNoManifest:
        // Killed while packing: nothing had moved yet, only a partial archive is there.
        if (!HoldsAnyFile(folder + "/" + kFilesFolder)) {
          RemoveTree(folder);
          if (!record.empty()) (void)platform::Files().TryRemoveFile(record);
          logging::FrameworkLogInfo("Start found the hold folder " + Quote(folder) +
                                    " without a manifest and without files (stopped while packing or while removing "
                                    "it): nothing of a job in it, removed");
          return;
        }
        [[fallthrough]];
      case THeldExport::TLoad::kUnreadable:
        logging::FrameworkLogError("Held export " + Quote(folder) +
                                   " has a manifest that cannot be read; it is left as it is for an operator");
        return;
    }
  };
  const std::string list = StoreFolder("held");
  for (const std::string& name : NamesIn(list)) {
    if (name.size() <= std::strlen(kHoldRecordSuffix) || !name.ends_with(kHoldRecordSuffix)) continue;
    std::string text;
    const std::string record = list + "/" + name;
    if (!TryReadWholeFile(record, text)) continue;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!text.empty()) recover(text, record);
  }
  // Holds made before they were recorded, in the places the directory may have used.
  std::vector<std::string> roots;
  const std::string beside = export_dir.empty() ? std::string() : HoldRootBeside(export_dir);
  if (!beside.empty()) roots.push_back(beside);
  roots.push_back(list);
  for (const std::string& root : roots) {
    for (const std::string& name : NamesIn(root)) {
      if (name.ends_with(kHoldRecordSuffix) || name.ends_with(".tmp")) continue;
      recover(root + "/" + name, "");
    }
    if (root != list) (void)platform::Files().TryRemoveFolder(root);
  }
  return found;
}

}  // namespace ostrivan::jobfiles

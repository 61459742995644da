#include "jobfiles/job_metrics.h"

#include <algorithm>
#include <ctime>
#include <mutex>
#include <set>
#include <vector>

#include "common/file_system.h"
#include "jobfiles/held_export.h"
#include "jobfiles/import_staging.h"
#include "jobfiles/job_files.h"
#include "jobfiles/working_directory.h"
#include "logging/framework_log.h"
#include "platform/file_system.h"

namespace ostrivan::jobfiles {

namespace {

// What is at path (a link followed or not); Kind kMissing when nothing can be read there.
platform::TFileInfo MetricsInfo(const std::string& path, platform::TLinks links) {
  platform::TFileInfo info;
  (void)platform::Files().TryInfo(path, links, info);
  return info;
}

bool IsFolderThere(const std::string& path) {
  return MetricsInfo(path, platform::TLinks::kFollow).Kind == platform::TFileKind::kFolder;
}

struct TState {
  std::mutex lock;
  TJobMetrics metrics;
};

// Never destroyed: a job may finish while the process exits.
TState& State() {
  static TState* state = new TState();
  return *state;
}

std::int64_t MetricsClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Files and bytes below path, symbolic links counted as files and never followed.
void AddTree(const std::string& path, TStoreCount& count, const std::string& skip = "") {
  const platform::TFileInfo info = MetricsInfo(path, platform::TLinks::kDoNotFollow);
  if (info.Kind == platform::TFileKind::kMissing) return;
  if (info.Kind != platform::TFileKind::kFolder) {
    ++count.Count;
    count.Bytes += info.Size;
    return;
  }
  for (const std::string& name : NamesIn(path))
    if (name != skip) AddTree(path + "/" + name, count);
}

// Files below dir's subfolders whose folder this account cannot write.
void CountStuck(const std::string& dir, bool top, TExportWaiting& waiting) {
  const bool writable = platform::Files().TryCheckAccess(dir, platform::TAccess::kWrite).Ok();
  for (const std::string& name : NamesIn(dir)) {
    const std::string path = dir + "/" + name;
    const platform::TFileKind kind = MetricsInfo(path, platform::TLinks::kDoNotFollow).Kind;
    if (kind == platform::TFileKind::kFolder) {
      CountStuck(path, false, waiting);
    } else if (kind == platform::TFileKind::kFile && !top && !writable) {
      if (waiting.Stuck++ == 0) waiting.FirstStuck = path;
    }
  }
}

std::int64_t TreeBytes(const std::string& path) {
  TStoreCount count;
  AddTree(path, count);
  return count.Bytes;
}

}  // namespace

void RecordJobOutcome(const std::string& direction, const std::string& outcome, std::int64_t archive_bytes,
                      std::chrono::milliseconds duration, const std::string& job, const std::string& peer,
                      const std::string& message) {
  try {
    TState& state = State();
    std::lock_guard guard(state.lock);
    TJobDirectionMetrics& m = direction == "import" ? state.metrics.Import : state.metrics.Export;
    ++m.Outcomes[outcome];
    if (outcome == kJobEmpty) return;
    // A failed export moved nothing: it is the last export, but no duration of one.
    if (outcome == kJobFailed && direction != "import") {
      m.Last = {MetricsClockMs(), job, outcome, peer, message};
      return;
    }
    if (archive_bytes > 0 && (outcome == kJobDelivered || outcome == kJobImported))
      m.ArchiveBytes += static_cast<std::uint64_t>(archive_bytes);
    const double seconds = static_cast<double>(std::max<std::int64_t>(duration.count(), 0)) / 1000.0;
    std::size_t bucket = 0;
    while (bucket < kJobDurationBuckets.size() && seconds > kJobDurationBuckets[bucket]) ++bucket;
    if (bucket < kJobDurationBuckets.size()) ++m.Buckets[bucket];
    ++m.DurationCount;
    m.DurationSum += seconds;
    m.Last = {MetricsClockMs(), job, outcome, peer, message};
  } catch (const std::exception& e) {
    // Counting must never fail a job.
    logging::FrameworkLogError(std::string("Job not counted: ") + e.what());
  } catch (...) {
    logging::FrameworkLogError("Job not counted: a failure that is no exception");
  }
}

void RecordJobOutcome(const TJournalRecord& record, const std::string& outcome) {
  RecordJobOutcome(record.Direction, outcome, record.ArchiveBytes, record.Duration, record.Job, record.Peer,
                   record.Outcome);
}

TJobMetrics JobMetricsSnapshot() {
  TState& state = State();
  std::lock_guard guard(state.lock);
  return state.metrics;
}

TJobStoreCounts CountJobStore(const std::string& export_dir) {
  TJobStoreCounts counts;
  const std::string store = JobStoreDirectory();
  const auto now = std::chrono::system_clock::now();
  for (const std::string& folder : HoldFolders(export_dir)) {
    const platform::TFileInfo held = MetricsInfo(folder, platform::TLinks::kDoNotFollow);
    if (held.Kind != platform::TFileKind::kFolder) continue;
    ++counts.Held;
    // The manifest is written when the files are taken; before that the folder's own
    // time stands in.
    const platform::TFileInfo manifest = MetricsInfo(folder + "/manifest", platform::TLinks::kDoNotFollow);
    const auto since = static_cast<std::time_t>(
        manifest.Kind != platform::TFileKind::kMissing ? manifest.Modified.Seconds : held.Modified.Seconds);
    const auto age =
        std::chrono::duration_cast<std::chrono::seconds>(now - std::chrono::system_clock::from_time_t(since)).count();
    counts.OldestHeldSeconds = std::max<std::int64_t>(counts.OldestHeldSeconds, age);
  }
  for (const std::string& name : NamesIn(store + "/unsent")) {
    ++counts.Unsent.Count;
    counts.Unsent.Bytes += TreeBytes(store + "/unsent/" + name);
  }
  for (const std::string& name : NamesIn(store + "/sent")) {
    const platform::TFileInfo sent = MetricsInfo(store + "/sent/" + name, platform::TLinks::kDoNotFollow);
    if (sent.Kind != platform::TFileKind::kFile) continue;
    ++counts.Sent.Count;
    counts.Sent.Bytes += sent.Size;
  }
  for (const std::string& name : NamesIn(store + "/received")) {
    ++counts.Received.Count;
    counts.Received.Bytes += TreeBytes(store + "/received/" + name);
  }
  return counts;
}

TExportWaiting InspectExportDirectory(const std::string& dir) {
  TExportWaiting waiting;
  if (dir.empty() || !IsFolderThere(dir)) return waiting;
  waiting.Exists = true;
  TStoreCount tree;
  AddTree(dir, tree);
  waiting.Files = tree.Count;
  waiting.Bytes = tree.Bytes;
  if (waiting.Files == 0) return waiting;
  CountStuck(dir, true, waiting);
  // Named as an export names its archive: after the first file of "programs" (any
  // letter case), else after the first file of the directory.
  try {
    std::vector<std::string> files;
    for (const TDirectoryEntry& entry : ListDirectory(dir))
      if (entry.IsDirectory && SameTextIgnoringCase(entry.Name, "programs")) {
        files = ListFiles(JoinPath(dir, entry.Name));
        if (entry.Name == "programs") break;
      }
    if (files.empty()) files = ListFiles(dir);
    if (!files.empty()) waiting.Job = FileNameText(FileStem(files.front()));
  } catch (const Exception&) {
    // A folder that cannot be read shows nothing waiting; the status names it among its
    // problems, and asking again on every status call must not flood the log.
  }
  return waiting;
}

std::int64_t CountImportFiles(const std::string& dir) {
  if (dir.empty() || !IsFolderThere(dir)) return -1;
  TStoreCount tree;
  AddTree(dir, tree, kImportStagingName);
  return tree.Count;
}

}  // namespace ostrivan::jobfiles

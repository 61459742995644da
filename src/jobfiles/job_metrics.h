#pragma once
// What the jobs did since the service started, for the status route and the metrics:
// counts by direction and outcome, archive bytes, a duration histogram and the last job
// of each direction; and a count of what lies in the folders the jobs keep.
#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "jobfiles/job_journal.h"

namespace ostrivan::jobfiles {

// Outcome labels of the job counters.
inline constexpr const char* kJobDelivered = "delivered";      // export, reply acknowledged
inline constexpr const char* kJobUndelivered = "undelivered";  // export, files put back
inline constexpr const char* kJobFailed = "failed";            // either direction
inline constexpr const char* kJobEmpty = "empty";              // export found nothing to pack
inline constexpr const char* kJobImported = "imported";

// Upper bounds (seconds) of the duration histogram's buckets; +Inf is implied.
inline constexpr std::array<double, 10> kJobDurationBuckets = {0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60};

// One finished job. archive_bytes below 0: no archive. Jobs of outcome "empty" are
// counted but are no "last job": a poll that found nothing moved nothing.
void RecordJobOutcome(const std::string& direction, const std::string& outcome, std::int64_t archive_bytes,
                      std::chrono::milliseconds duration, const std::string& job, const std::string& peer,
                      const std::string& message = "");
// The same from a journal record; message is the record's outcome text.
void RecordJobOutcome(const TJournalRecord& record, const std::string& outcome);

struct TLastJob {
  std::int64_t TimeMs = 0;  // Unix time in milliseconds; 0: none since the start
  std::string Job;
  std::string Outcome;  // one of the labels above
  std::string Peer;
  std::string Message;  // the journal's outcome text
};

struct TJobDirectionMetrics {
  std::map<std::string, std::uint64_t> Outcomes;
  std::uint64_t ArchiveBytes = 0;                                   // archives of delivered exports or imported jobs
  std::array<std::uint64_t, kJobDurationBuckets.size()> Buckets{};  // not cumulative
  std::uint64_t DurationCount = 0;
  double DurationSum = 0;
  TLastJob Last;
};

struct TJobMetrics {
  TJobDirectionMetrics Export;
  TJobDirectionMetrics Import;
};

TJobMetrics JobMetricsSnapshot();

// Folders the jobs keep, as they are now; nothing is changed.
struct TStoreCount {
  std::int64_t Count = 0;
  std::int64_t Bytes = 0;
};
struct TJobStoreCounts {
  std::int64_t Held = 0;               // exports waiting for their client's acknowledgement
  std::int64_t OldestHeldSeconds = 0;  // age of the oldest of them, 0 when none
  TStoreCount Unsent;                  // entries of unsent/ and everything in them
  TStoreCount Sent;                    // archives in sent/
  TStoreCount Received;                // entries of received/, where it exists
};
// Hold folders of export_dir (beside it and beside the executable) and the folders
// beside the executable (JobStoreDirectory).
TJobStoreCounts CountJobStore(const std::string& export_dir);

// What an export would find in dir now.
struct TExportWaiting {
  bool Exists = false;
  std::int64_t Files = 0;  // every file of the tree
  std::int64_t Bytes = 0;
  std::string Job;  // the archive's name without ".zip": the first program, else the first file
  // Files below subfolders this account cannot write: an export cannot take them out, so
  // it leaves them and they are sent again with the next job.
  std::int64_t Stuck = 0;
  std::string FirstStuck;
};
TExportWaiting InspectExportDirectory(const std::string& dir);
// Files of the import directory's tree, its staging folder left out; -1 when it cannot be read.
std::int64_t CountImportFiles(const std::string& dir);

}  // namespace ostrivan::jobfiles

#include "jobs/job_journal.h"

#include <cstdio>

#include "logging/default_log_writer.h"

namespace ostrivan::jobs {

namespace {

// Quoted so that names and messages with blanks stay one field; a quote or a
// backslash inside is escaped, a line break becomes a blank.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += (c == '\r' || c == '\n') ? ' ' : c;
  }
  return out + "\"";
}

std::string Number(std::int64_t value) { return value < 0 ? "-" : std::to_string(value); }

// How long a job waits for its line to reach the file: far more than a working logging
// thread needs, and short enough that a stuck one (a log folder gone read-only) only
// slows each job down instead of holding it. A line late past it is still written.
constexpr std::chrono::milliseconds kJournalWriteWait{2000};

}  // namespace

std::string JournalLine(const TJournalRecord& r) {
  char crc[16] = "-";
  if (r.HasCrc) std::snprintf(crc, sizeof crc, "%08X", r.ArchiveCrc);
  return r.Direction + " machine=" + std::to_string(r.Machine) + " client=" + (r.Client.empty() ? "-" : r.Client) +
         " mode=" + (r.Mode.empty() ? "-" : r.Mode) + " archive=" + Quoted(r.Archive) +
         " job=" + Quoted(r.Job) + " files=" + Number(r.Files) +
         " file_bytes=" + Number(r.FileBytes) + " archive_bytes=" + Number(r.ArchiveBytes) + " crc32=" + crc +
         " outcome=" + Quoted(r.Outcome) + " duration_ms=" + std::to_string(r.Duration.count());
}

void WriteJournal(const TJournalRecord& record) {
  try {
    // Written through, not only queued: a kill right after the job must not lose its
    // line. Lines logged before it still come first in their files.
    logging::DefaultLogWriter()->LogAndWait(logging::TLogType::Info, JournalLine(record), kJournalLogTag,
                                            kJournalWriteWait);
  } catch (...) {
    // A full log queue must not turn a finished job into a failed one.
  }
}

}  // namespace ostrivan::jobs

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
    logging::DefaultLogWriter()->Info(JournalLine(record), kJournalLogTag);
  } catch (...) {
    // A full log queue must not turn a finished job into a failed one.
  }
}

}  // namespace ostrivan::jobs

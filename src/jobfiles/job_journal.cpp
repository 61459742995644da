#include "jobfiles/job_journal.h"

#include <cstdio>

#include "logging/default_log_writer.h"

namespace ostrivan::jobfiles {

namespace {

// Cut at a character boundary, with a visible mark: "P1001...[cut 4999744 bytes]".
std::string Cut(const std::string& text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end) + "...[cut " + std::to_string(text.size() - end) + " bytes]";
}

// Quoted so that names and messages with blanks stay one field; quotes, backslashes and
// control characters inside are escaped, so no text can end the line or the field.
std::string Quoted(const std::string& text, std::size_t limit) {
  const std::string cut = Cut(text, limit);
  std::string out = "\"";
  for (char c : cut) {
    const unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20 || u == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", u);
          out += hex;
        } else {
          out += c;
        }
    }
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
  // The connection's address is the service's own knowledge; the forwarded one is only
  // what the client says, so it is kept apart and quoted.
  std::string line = r.Direction + " machine=" + std::to_string(r.Machine) + " peer=" + (r.Peer.empty() ? "-" : r.Peer);
  if (!r.Client.empty() && r.Client != r.Peer) line += " client=" + Quoted(r.Client, kJournalClientFieldBytes);
  line += " mode=" + (r.Mode.empty() ? std::string("-") : Quoted(r.Mode, kJournalClientFieldBytes)) +
          " archive=" + Quoted(r.Archive, kJournalClientFieldBytes) +
          " job=" + Quoted(r.Job, kJournalClientFieldBytes) + " files=" + Number(r.Files) +
          " file_bytes=" + Number(r.FileBytes) + " archive_bytes=" + Number(r.ArchiveBytes) + " crc32=" + crc;
  if (r.Direction == "export") line += " discarded=" + Number(r.Discarded) + " left=" + Number(r.Left);
  return line + " outcome=" + Quoted(r.Outcome, kJournalOutcomeBytes) +
         " duration_ms=" + std::to_string(r.Duration.count());
}

bool WriteJournal(const TJournalRecord& record) {
  try {
    // Written through, not only queued: a kill right after the job must not lose its
    // line. Lines logged before it still come first in their files.
    return logging::DefaultLogWriter()->LogAndWait(logging::TLogType::Info, JournalLine(record), kJournalLogTag,
                                                   kJournalWriteWait);
  } catch (...) {
    // A full log queue must not turn a finished job into a failed one; the logger that
    // failed is the one that would tell it.
    return false;
  }
}

}  // namespace ostrivan::jobfiles

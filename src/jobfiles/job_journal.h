#pragma once
// The transfer journal: one line per job, success or failure, in its own log file
// (logs/Ostrivan.00.journal.log, rotated like the main log), so an operator can answer
// "did job P1001 reach this machine, and when?" with grep alone.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace ostrivan::jobfiles {

inline constexpr const char* kJournalLogTag = "journal";
// Outcomes that are not a reply's Messaggio.
inline constexpr const char* kOutcomeDelivered = "delivered";
inline constexpr const char* kOutcomeImported = "imported";
inline constexpr const char* kOutcomeRestored = "restored after undelivered reply";
inline constexpr const char* kOutcomeKeptUnsent = "kept in unsent after undelivered reply";
// The same for a reply whose client asked to acknowledge it and did not in time.
inline constexpr const char* kOutcomeRestoredUnacknowledged = "restored after unacknowledged reply";
inline constexpr const char* kOutcomeKeptUnsentUnacknowledged = "kept in unsent after unacknowledged reply";
// An import killed before its reply, settled by the next start.
inline constexpr const char* kOutcomeImportFinishedAtStart = "interrupted, finished at start";
inline constexpr const char* kOutcomeImportUndoneAtStart = "interrupted, undone at start";
// Text a client sent (its address header, the mode, the archive name) is cut to this
// many bytes in a journal line, so one request cannot push the history out of rotation.
inline constexpr std::size_t kJournalClientFieldBytes = 256;
inline constexpr std::size_t kJournalOutcomeBytes = 1024;

struct TJournalRecord {
  std::string Direction;  // "export" or "import"
  std::int32_t Machine = 0;
  std::string Peer;         // the connection's own address
  std::string Client;       // the address a forwarding header names, when it names one
  std::string Mode;         // NEWEN, ROTTLER, or empty for an import
  std::string Archive;      // archive name, empty when none was made
  std::string Job;          // the first program's name (P1001), empty when not known
  std::int64_t Files = -1;  // -1: not known
  std::int64_t FileBytes = -1;
  std::int64_t ArchiveBytes = -1;
  bool HasCrc = false;
  std::uint32_t ArchiveCrc = 0;
  std::int64_t Discarded = -1;  // export: files emptied but not packed (ROTTLER)
  std::int64_t Left = -1;       // export: items below subdirectories that could not be taken
  std::string Outcome;
  std::chrono::milliseconds Duration{0};
};

// "export machine=1 peer=127.0.0.1 mode="NEWEN" archive="P1001.zip" job="P1001" files=41
//  file_bytes=10600000 archive_bytes=3800000 crc32=1A2B3C4D discarded=0 left=0
//  outcome="delivered" duration_ms=180"; unknown numbers are written as "-". client="..."
// follows peer only when a forwarding header named another address. Every text field is
// quoted with its quotes, backslashes and control characters escaped, so whatever a
// client sends, a job makes exactly one line.
std::string JournalLine(const TJournalRecord& record);
// Writes the line through the process-wide log writer under the journal's tag and
// returns once it is in the file (or after a bounded wait when the writer is stuck):
// true when it is known to be there.
bool WriteJournal(const TJournalRecord& record);

}  // namespace ostrivan::jobfiles

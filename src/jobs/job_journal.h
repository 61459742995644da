#pragma once
// The transfer journal: one line per job, success or failure, in its own log file
// (logs/Ostrivan.00.journal.log, rotated like the main log), so an operator can answer
// "did job P1001 reach this machine, and when?" with grep alone.
#include <chrono>
#include <cstdint>
#include <string>

namespace ostrivan::jobs {

inline constexpr const char* kJournalLogTag = "journal";
// Outcomes that are not a reply's Messaggio.
inline constexpr const char* kOutcomeDelivered = "delivered";
inline constexpr const char* kOutcomeRestored = "restored after undelivered reply";

struct TJournalRecord {
  std::string Direction;  // "export" or "import"
  std::int32_t Machine = 0;
  std::string Client;
  std::string Mode;         // NEWEN, ROTTLER, or empty for an import
  std::string Archive;      // archive name, empty when none was made
  std::string Job;          // the first program's name (P1001), empty when not known
  std::int64_t Files = -1;  // -1: not known
  std::int64_t FileBytes = -1;
  std::int64_t ArchiveBytes = -1;
  bool HasCrc = false;
  std::uint32_t ArchiveCrc = 0;
  std::string Outcome;
  std::chrono::milliseconds Duration{0};
};

// "export machine=1 client=127.0.0.1 mode=NEWEN archive="P1001.zip" job="P1001" files=41
//  file_bytes=10600000 archive_bytes=3800000 crc32=1A2B3C4D outcome="delivered"
//  duration_ms=180"; unknown numbers are written as "-".
std::string JournalLine(const TJournalRecord& record);
// Writes the line through the process-wide log writer under the journal's tag and
// returns once it is in the file (or after a bounded wait when the writer is stuck).
void WriteJournal(const TJournalRecord& record);

}  // namespace ostrivan::jobs

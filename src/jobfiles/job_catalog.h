#pragma once
// The jobs the service keeps, as an operator sees them over the network: held exports,
// undelivered ones in unsent/, delivered ones in sent/ and imported ones in received/.
// Listing reads only; a requeue puts a kept job back into the export folder.
#include <cstdint>
#include <string>
#include <vector>

namespace ostrivan::jobfiles {

struct TKeptJob {
  std::string Kind;  // "held", "unsent", "sent" or "received"
  std::string Name;  // one entry of the kind's folder
  std::string ArchivePath;
  std::string FilesFolder;  // unsent: the job's files; else empty
  std::int64_t TimeMs = 0;  // modification time of the entry
  std::int64_t Files = -1;  // entries of the archive; -1 when it cannot be read
  std::int64_t Bytes = -1;  // of the archive
  bool HasCrc = false;
  std::uint32_t Crc = 0;  // of the archive's bytes
  std::string Outcome;    // the journal's outcome text of a line with that CRC, else empty
};

bool IsJobKind(const std::string& kind);
// One entry of a folder: not empty, not "." or "..", no '/', no NUL.
bool IsJobName(const std::string& name);

// Every kept job of every kind, newest first. export_dir names the hold folder beside it.
std::vector<TKeptJob> ListKeptJobs(const std::string& export_dir);
// The job kind/name; false when there is none (or the name is no entry name).
bool FindKeptJob(const std::string& export_dir, const std::string& kind, const std::string& name, TKeptJob& job);

// One kept version of a program: an entry of an archive in sent/ or received/.
struct TProgramVersion {
  std::string Kind;
  std::string Name;  // the archive
  std::string Entry;
  std::int64_t TimeMs = 0;
  std::int64_t Size = 0;
  std::uint32_t Crc = 0;  // the entry's CRC-32
};
// Entries whose last path part is program (letter case ignored), newest first.
std::vector<TProgramVersion> ListProgramVersions(const std::string& program);

// Result of a requeue: 200 done, 404 no such job, 409 refused (export folder not empty,
// busy, not usable), 500 failed with nothing placed.
struct TRequeueResult {
  int Status = 500;
  std::string Message;
  std::int64_t Files = 0;
};
// Puts the files of an unsent or sent job back into export_dir, all of them or none,
// under the folder's lock; an unsent job's folder goes only once every file is in place.
// Journalled with direction "requeue" and the caller's address.
TRequeueResult RequeueKeptJob(const std::string& export_dir, const std::string& kind, const std::string& name,
                              const std::string& peer, std::int32_t machine);

}  // namespace ostrivan::jobfiles

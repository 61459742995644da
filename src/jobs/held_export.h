#pragma once
// An export between packing and the client's reply. The files packed (and, with
// ROTTLER, the others the job empties) are moved out of the export directory into a
// hold folder, so the directory looks emptied at once; once the reply is known to be
// delivered they are removed and the archive is kept in "sent"; otherwise they are put
// back exactly as they were. A process that dies in between puts them back at its next
// start, so a job is sent at least once and never lost.
//
// Hold folder: "<parent>/.<name>.ostrivan-held/<job>/" beside the export directory (same
// file system, so moves are renames), else "<executable dir>/held/<job>/". Each job
// folder holds a manifest (written before anything moves), the archive, the files under
// "files/" by their relative paths, and a "delivered" mark once the reply arrived.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "jobs/job_files.h"
#include "jobs/job_journal.h"

namespace ostrivan::jobs {

// Delivered archives kept for an operator: the newest ones, within both limits.
inline constexpr std::size_t kSentKeepCount = 20;
inline constexpr std::int64_t kSentKeepBytes = 200LL * 1000 * 1000;

struct THeldEntry {
  std::string Relative;  // below the export directory, '/' separated
  bool IsDirectory = false;
  bool Packed = false;
  TFileIdentity Identity;  // when it was listed, before packing began
};

// The whole tree below dir, each directory before what it holds, in listing order.
std::vector<THeldEntry> SnapshotTree(const std::string& dir);

class THeldExport {
 public:
  // A new job folder in the hold area of export_dir. Raises EOSError when neither place
  // can be written.
  static std::shared_ptr<THeldExport> Create(const std::string& export_dir);
  // Reads a job folder left by an earlier process; null when it holds no manifest.
  static std::shared_ptr<THeldExport> Load(const std::string& folder);
  ~THeldExport();
  THeldExport(const THeldExport&) = delete;
  THeldExport& operator=(const THeldExport&) = delete;

  const std::string& Folder() const { return folder_; }
  std::string ArchivePath() const { return folder_ + "/" + Record.Archive; }
  std::string HeldPath(const std::string& relative) const { return folder_ + "/files/" + relative; }

  // Filled by the export before Hold; the journal line is written from it.
  TJournalRecord Record;
  std::vector<THeldEntry> Entries;

  // Writes the manifest, then moves every listed file that is still the version listed
  // out of the export directory and removes the listed directories left empty. A packed
  // file that changed meanwhile is still being written: everything moved goes back and
  // the export fails with "Fallita compressione zip File modificato durante la
  // compressione: "<path>"". Call with the directory's lock held.
  void Hold();
  // Once, with the directory's lock taken here: delivered, the held files are removed
  // (a file changed after packing goes back instead) and the archive goes to "sent";
  // not delivered, everything goes back. Writes the journal line. Later calls do nothing.
  void Complete(bool delivered);

 private:
  THeldExport(std::string origin, std::string folder);
  void WriteManifest() const;
  bool ReadManifest();
  // Puts each held file back; a name taken meanwhile keeps its new file, and the old
  // copy goes to "unsent" with the archive. Returns true when something went there.
  bool PutBack(const std::vector<const THeldEntry*>& files, const std::string& why);
  void RemoveFolder();

  std::string origin_;
  std::string folder_;
  bool held_ = false;
  std::atomic<bool> completed_{false};
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::int64_t started_wall_ms_ = 0;
};

// The hold folders an export directory may have used (beside it and beside the
// executable); each job found there is finished: delivered ones are removed, the
// others put back. Returns how many jobs were found.
int RecoverHeldExports(const std::string& export_dir);

// Keeps the newest kSentKeepCount archives of the sent folder within kSentKeepBytes.
void PruneSentFolder(const std::string& sent_dir);

}  // namespace ostrivan::jobs

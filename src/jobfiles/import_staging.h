#pragma once
// An import unpacks into a hidden staging folder inside the import directory, checks
// every entry (CRC), flushes files and folders to disk and marks the staging complete;
// only then do the job's files move to their names. A process killed on the way is
// finished (mark present) or undone (no mark) at its next start, so the directory
// holds the whole new job or none of it, never a truncated file under a job name.
//
// Layout: "<import dir>/.ostrivan-import/" with "job/" (the unpacked tree), "old/" (the
// previous contents, being removed) and "complete" (the mark, written once job/ is whole
// and durable).
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "archive/stream.h"

namespace ostrivan::jobfiles {

inline constexpr const char* kImportStagingName = ".ostrivan-import";
// The name an import writes the received archive under, in the import directory.
inline constexpr const char* kImportArchiveName = "Lavoro.zip";

// Job facts read from the archive, for the journal.
struct TImportSummary {
  std::string Job;  // the first program's name without extension, "" when none
  long long Files = 0;
  long long FileBytes = 0;
};

class TImportStaging {
 public:
  // Finishes or undoes what an earlier import left, then creates the staging folder.
  // Call with the directory's lock held. Raises EOSError when it cannot be created.
  explicit TImportStaging(std::string import_dir);
  // Anything not committed is removed.
  ~TImportStaging();
  TImportStaging(const TImportStaging&) = delete;
  TImportStaging& operator=(const TImportStaging&) = delete;

  // Empties the import directory as EmptyDirectory does, by moving its entries into the
  // staging folder; they are removed on another thread while the job is received and
  // unpacked. Fails as EmptyDirectory fails.
  void EmptyImportDirectory();
  // Waits for that removal when the file system may need its room for bytes more.
  void MakeRoom(std::uint64_t bytes);

  // Unpacks the archive into the staging folder, deletes the archive, flushes the job's
  // files and folders and marks it complete. Unpacking failures read "Fallita
  // extrazione .zip <reason>" (the archive stays); the real cause of a failed write (for
  // example "No space left on device") goes to the log. An archive that cannot be
  // deleted fails with the system's text.
  TImportSummary Unpack(const std::string& zip_path);
  // The same for an archive whose bytes are at hand (and saved at zip_path): read from
  // memory and unpacked on up to four processors.
  TImportSummary Unpack(const std::string& zip_path, std::string_view archive);
  // Moves the unpacked entries to their places in the import directory, flushes it and
  // removes the staging folder. Raises EOSError, leaving none of the job in place.
  void Commit();

  const std::string& Folder() const { return staging_; }

 private:
  void WaitForRemoval();
  TImportSummary UnpackFrom(const std::string& zip_path, archive::TStream* archive);

  std::string dir_;
  std::string staging_;
  bool committed_ = false;
  std::thread removal_;
};

// What RecoverImport found and did.
struct TImportRecovery {
  bool Found = false;      // a staging folder was there
  bool Finished = false;   // its job was whole and took its place
  bool Settled = false;    // finished or undone; false: the job stays in the staging folder
  long long Files = 0;     // the new job's files and the previous contents' it held
  long long JobFiles = 0;  // of them, the new job's
  std::string Job;         // the new job's name, once it took its place
  explicit operator bool() const { return Found; }
};

// What an import killed earlier left in import_dir: with its mark, the job is moved into
// place; without, the directory is emptied (the import had begun emptying it) and the
// staging removed. The main log says what was found and done. Call with the lock held.
TImportRecovery RecoverImport(const std::string& import_dir);

}  // namespace ostrivan::jobfiles

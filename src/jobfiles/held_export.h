#pragma once
// An export between packing and the client's reply. The files packed (and, with
// ROTTLER, the others the job empties) are moved out of the export directory into a
// hold folder, so the directory looks emptied at once; once the reply is known to be
// delivered they are removed and the archive is kept in "sent"; otherwise they are put
// back exactly as they were, all of them or none (then the whole job is kept in
// "unsent"). A process that dies in between puts them back at its next start, so a job
// is sent at least once and never lost.
//
// Hold folder: "<parent>/.<name>.ostrivan-held/<job>/" beside the export directory (same
// file system, so moves are renames), else "<executable dir>/held/<job>/". Each job
// folder holds a manifest (written before anything moves), the archive, the files under
// "files/" by their relative paths, a "placed" record of the copies a put-back across
// file systems made (written before any takes its name), and a "delivered" mark once the
// reply arrived. Every hold is also recorded in "held/" beside the executable
// ("<job>.hold", naming its folder), so a start finds it whatever the parameter file
// says by then.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "jobfiles/hold_recovery.h"
#include "jobfiles/job_files.h"
#include "jobfiles/job_journal.h"
#include "jobfiles/kept_folders.h"
#include "platform/file_system.h"

namespace ostrivan::jobfiles {

struct THeldEntry {
  std::string Relative;  // below the export directory, '/' separated
  bool IsDirectory = false;
  bool Packed = false;
  TFileIdentity Identity;  // when it was listed, before packing began
  // The held copy's change time right after the move: a later write changes it.
  std::int64_t HeldChangedSeconds = -1;
  std::int64_t HeldChangedNanoseconds = 0;
};

// "<parent>/.<name>.ostrivan-held" for an export directory "<parent>/<name>": where its
// holds go when the parent can be written; empty for "/" and the like.
std::string HoldRootBeside(const std::string& export_dir);

// A file or folder of a job: what is neither (a link, a pipe, a socket, a device) is not
// part of one and is left where it is.
bool IsJobEntry(const TFileIdentity& identity);

// The whole tree below dir, each directory before what it holds, in listing order, links
// and other special files included (IsJobEntry tells them). A folder or entry that
// cannot be read fails with "Fallita compressione zip Impossibile leggere la cartella
// "<path>". <reason>" rather than being left out.
std::vector<THeldEntry> SnapshotTree(const std::string& dir);

class THeldExport {
 public:
  // A new job folder in the hold area of export_dir, recorded in the hold list. Raises
  // EOSError "Fallita compressione zip Impossibile creare la cartella "<path>". <reason>"
  // when neither place (or the list) can be written.
  static std::shared_ptr<THeldExport> Create(const std::string& export_dir);
  ~THeldExport();
  THeldExport(const THeldExport&) = delete;
  THeldExport& operator=(const THeldExport&) = delete;

  const std::string& Folder() const { return folder_; }
  // The hold's name, unique in this installation: what a client acknowledges.
  std::string Id() const;
  std::string ArchivePath() const { return folder_ + "/" + Record.Archive; }
  std::string HeldPath(const std::string& relative) const { return folder_ + "/files/" + relative; }

  // Filled by the export before Hold; the journal line is written from it.
  TJournalRecord Record;
  std::vector<THeldEntry> Entries;
  // How much "sent" keeps once this job's archive is in it.
  TKeepLimits Keep;

  // Writes the manifest, then moves every listed file that is still the version listed
  // out of the export directory and removes the listed directories left empty. A packed
  // file that changed meanwhile is still being written: everything moved goes back and
  // the export fails with "Fallita compressione zip File modificato durante la
  // compressione: "<path>"". A file directly in the directory that cannot be taken out
  // fails it with "Fallita eliminazione contenuto <dir>" (EOSError), everything moved
  // going back; one below a subdirectory stays, with a warning, and counts in
  // Record.Left. What moved goes back together, or all of it to "unsent". Call with the
  // directory's lock held.
  void Hold();
  // Once, with the directory's lock taken here: delivered, the journal line is written,
  // the archive goes to "sent", the held files are removed (one changed after packing
  // goes back instead; with ROTTLER the files not packed are kept in "sent" as
  // "<time>-<job>.discarded.zip" first); not delivered, everything goes back, or, when
  // the machine has put anything new in the directory meanwhile or a file cannot go back,
  // the whole job goes to "unsent". Later calls do nothing.
  void Complete(bool delivered);
  // The same, for a reply whose client asked to acknowledge it and did not in time: the
  // journal says so.
  void CompleteUnacknowledged();

  // Marks the hold (durably) as waiting for its client's acknowledgement until
  // deadline_ms (wall clock): a start before then keeps it held instead of putting it
  // back. false when the mark cannot be written; the job is then settled as any other.
  bool AwaitAcknowledgement(std::int64_t deadline_ms);
  // The deadline of that wait; 0 when none was asked.
  std::int64_t AcknowledgementDeadline() const { return ack_deadline_ms_; }
  // Whether the reply's delivery was recorded (a start then finishes the removal).
  bool DeliveryMarked() const;

 private:
  friend int RecoverHeldExports(const std::string& export_dir, const TKeepLimits& keep);
  enum class TLoad { kLoaded, kNoManifest, kUnreadable };
  THeldExport(std::string origin, std::string folder);
  static TLoad Load(const std::string& folder, std::shared_ptr<THeldExport>& job);
  void WriteManifest() const;
  // The steps of Hold, in their order.
  void RefuseReadOnlyTopFiles() const;
  void RecordBeforeMoving() const;
  std::int64_t MoveFilesOut(std::vector<const THeldEntry*>& moved);  // returns how many stay
  std::int64_t RemoveEmptiedFolders();                               // returns how many stay
  void RecordWhatStayed();
  // A hold cut short: what moved goes back (or to "unsent") and the folder goes.
  void AbandonHold(const std::vector<const THeldEntry*>& moved, const std::string& why);
  [[noreturn]] void FailChangedWhilePacking(const std::vector<const THeldEntry*>& moved, const std::string& path);
  // The steps of Complete.
  struct TDeliveredFiles {
    std::vector<const THeldEntry*> Changed;    // written after packing: they go back
    std::vector<const THeldEntry*> Discarded;  // not packed (ROTTLER): kept in "sent"
    std::vector<const THeldEntry*> Removable;
  };
  std::vector<const THeldEntry*> HeldFiles() const;
  TDeliveredFiles SortDelivered(const std::vector<const THeldEntry*>& files) const;
  void FinishDelivered(const std::vector<const THeldEntry*>& files, bool marked);
  void KeepRefilledInUnsent(const std::vector<const THeldEntry*>& files);
  void PutBackUndelivered(const std::vector<const THeldEntry*>& files);
  void MarkDelivered();
  void FinishRecord();
  void JournalOnce();
  void KeepSentArchive();
  void RemoveHeldFiles(const std::vector<const THeldEntry*>& removable);
  bool ReadManifest(const std::string& text);
  // Puts each held file back on its own; a name taken meanwhile keeps its new file, and
  // the old copy goes to "unsent" with the archive.
  void PutBackEach(const std::vector<const THeldEntry*>& files, const std::string& why);
  // Puts the files back together or not at all: every copy is made whole under its
  // partial name before any takes its name, and a failure takes back out what went back.
  // false (reason set) leaves every file held.
  bool PutBackWhole(const std::vector<const THeldEntry*>& files, std::string& reason);
  // An undelivered job: back whole, or all of it in "unsent"; returns the outcome.
  const char* SettleUndelivered(const std::vector<const THeldEntry*>& files, const std::string& why);
  // Takes what a put-back placed under the job's names back into the hold.
  void TakeBackOut(const std::vector<const THeldEntry*>& files);
  // The hold left this in the directory (so it is the machine's, not the job's to move).
  bool Stayed(const std::string& relative) const;
  // What is at a job name is the file a put-back placed there (the same inode).
  bool PlacedHere(const THeldEntry& e, const platform::TFileInfo& at, bool held_there) const;
  void WritePlacedRecord() const;
  void ReadPlacedRecord();
  // The listed folders missing in the directory, made writable for the files to come;
  // the first failure in *failure.
  std::vector<const THeldEntry*> MakeFolders(std::string* failure);
  // Modes and times of the listed folders as they were.
  void RestoreFolders(const std::vector<const THeldEntry*>& made);
  // Moves the archive and the given held files to "unsent/<time>-<job>/".
  void KeepInUnsent(const std::vector<const THeldEntry*>& files, const std::string& why);
  // Anything in the export directory that the hold did not leave there.
  bool DirectoryRefilled() const;
  void KeepDiscarded(const std::vector<const THeldEntry*>& files);
  void RemoveFolder();

  std::string origin_;
  std::string folder_;
  std::string record_path_;  // this hold's line in the list beside the executable
  bool held_ = false;
  bool settled_ = false;              // the hold was whole and its manifest says what stayed
  bool keep_folder_ = false;          // something could not be moved out: the folder stays
  std::vector<THeldEntry> residual_;  // what the hold left in the directory
  struct TPlaced {
    std::uint64_t Device = 0;
    std::uint64_t Inode = 0;
  };
  // Where a put-back placed copies (relative path -> the copy), recorded before any of
  // them takes its name, so that a start after a kill knows them.
  std::map<std::string, TPlaced> placed_;
  std::atomic<bool> completed_{false};
  std::int64_t started_wall_ms_ = 0;
  std::int64_t ack_deadline_ms_ = 0;
  bool unacknowledged_ = false;  // the reply's client asked to acknowledge it, and did not
};

}  // namespace ostrivan::jobfiles

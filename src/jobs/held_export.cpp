#include "jobs/held_export.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <sstream>

#include "common/error.h"
#include "common/file_system.h"
#include "jobs/directory_lock.h"
#include "jobs/job_metrics.h"
#include "jobs/working_directory.h"
#include "logging/framework_log.h"

namespace ostrivan::jobs {

namespace {

const char* const kManifestName = "manifest";
const char* const kManifestHeader = "ostrivan held export 1";
const char* const kDeliveredMark = "delivered";
const char* const kFilesFolder = "files";
const char* const kHoldSuffix = ".ostrivan-held";

std::mutex g_sequence_lock;
unsigned g_sequence = 0;

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string ParentDirectory(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// "<parent>/.<name>.ostrivan-held" for an export directory "<parent>/<name>".
std::string HoldRootBeside(const std::string& export_dir) {
  const std::string dir = WithoutTrailingSlashes(export_dir);
  const std::size_t slash = dir.find_last_of('/');
  const std::string name = slash == std::string::npos ? dir : dir.substr(slash + 1);
  if (name.empty() || name == "/" || name == "." || name == "..") return {};
  return ParentDirectory(dir) + "/." + name + kHoldSuffix;
}

std::string StoreFolder(const char* name) { return JobStoreDirectory() + "/" + name; }

std::string NextJobName() {
  std::lock_guard<std::mutex> guard(g_sequence_lock);
  return FileTimeStamp() + "-" + std::to_string(::getpid()) + "-" + std::to_string(++g_sequence);
}

bool Writable(const std::string& dir) { return ::access(dir.c_str(), W_OK | X_OK) == 0; }

std::string StemOf(const std::string& name) {
  const std::size_t dot = name.find_last_of('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::int64_t WallClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void Walk(const std::string& root, const std::string& relative, std::vector<THeldEntry>& out) {
  for (const TDirectoryEntry& entry : ListDirectory(relative.empty() ? root : JoinPath(root, relative))) {
    THeldEntry held;
    held.Relative = relative.empty() ? entry.Name : relative + "/" + entry.Name;
    held.IsDirectory = entry.IsDirectory;
    if (!ReadIdentity(JoinPath(root, held.Relative), held.Identity)) continue;  // gone already
    out.push_back(held);
    if (entry.IsDirectory) Walk(root, held.Relative, out);
  }
}

std::string IdentityFields(const TFileIdentity& id) {
  return std::to_string(id.Device) + "\t" + std::to_string(id.Inode) + "\t" + std::to_string(id.Size) + "\t" +
         std::to_string(id.ModifiedSeconds) + "\t" + std::to_string(id.ModifiedNanoseconds) + "\t" +
         std::to_string(id.Mode);
}

bool ParseIdentity(const std::vector<std::string>& f, std::size_t at, TFileIdentity& id) {
  if (f.size() < at + 6) return false;
  try {
    id.Device = static_cast<dev_t>(std::stoull(f[at]));
    id.Inode = static_cast<ino_t>(std::stoull(f[at + 1]));
    id.Size = std::stoll(f[at + 2]);
    id.ModifiedSeconds = std::stoll(f[at + 3]);
    id.ModifiedNanoseconds = std::stoll(f[at + 4]);
    id.Mode = static_cast<mode_t>(std::stoul(f[at + 5]));
  } catch (...) {
    return false;
  }
  return true;
}

void SetTimes(const std::string& path, const TFileIdentity& id) {
  const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(id.ModifiedSeconds), id.ModifiedNanoseconds}};
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

}  // namespace

std::vector<THeldEntry> SnapshotTree(const std::string& dir) {
  std::vector<THeldEntry> entries;
  Walk(dir, "", entries);
  return entries;
}

THeldExport::THeldExport(std::string origin, std::string folder)
    : origin_(std::move(origin)), folder_(std::move(folder)), started_wall_ms_(WallClockMs()) {}

std::shared_ptr<THeldExport> THeldExport::Create(const std::string& export_dir) {
  std::string root = HoldRootBeside(export_dir);
  // Beside the directory keeps the moves on one file system; where that cannot be
  // written, beside the executable, where a move may have to copy.
  if (root.empty() || !((MakeDirectories(root, 0700) && Writable(root)))) root = StoreFolder("held");
  const std::string folder = root + "/" + NextJobName();
  if (!MakeDirectories(folder + "/" + kFilesFolder, 0700)) throw MakeOSError(errno ? errno : EACCES);
  return std::shared_ptr<THeldExport>(new THeldExport(export_dir, folder));
}

std::shared_ptr<THeldExport> THeldExport::Load(const std::string& folder) {
  std::shared_ptr<THeldExport> job(new THeldExport("", folder));
  if (!job->ReadManifest()) return nullptr;
  job->held_ = true;
  return job;
}

THeldExport::~THeldExport() {
  if (held_) {
    Complete(false);
  } else if (!completed_.load()) {
    RemoveFolder();
  }
}

void THeldExport::WriteManifest() const {
  std::ostringstream out;
  out << kManifestHeader << "\n";
  out << "origin\t" << EscapeField(origin_) << "\n";
  out << "started\t" << started_wall_ms_ << "\n";
  out << "record\t" << EscapeField(Record.Direction) << "\t" << Record.Machine << "\t" << EscapeField(Record.Client)
      << "\t" << EscapeField(Record.Mode) << "\t" << EscapeField(Record.Archive) << "\t" << EscapeField(Record.Job)
      << "\t" << Record.Files << "\t" << Record.FileBytes << "\t" << Record.ArchiveBytes << "\t"
      << (Record.HasCrc ? 1 : 0) << "\t" << Record.ArchiveCrc << "\n";
  for (const THeldEntry& e : Entries)
    out << (e.IsDirectory ? "d" : e.Packed ? "p" : "f") << "\t" << EscapeField(e.Relative) << "\t"
        << IdentityFields(e.Identity) << "\n";
  out << "end\n";
  WriteFileDurably(folder_ + "/" + kManifestName, out.str());
}

bool THeldExport::ReadManifest() {
  std::string text;
  if (ReadWholeFile(folder_ + "/" + kManifestName, text) != TReadFailure::kNone) return false;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kManifestHeader) return false;
  bool ended = false;
  while (std::getline(in, line)) {
    if (line == "end") {
      ended = true;
      break;
    }
    const std::vector<std::string> f = SplitFields(line);
    try {
      if (f[0] == "origin" && f.size() >= 2) {
        origin_ = f[1];
      } else if (f[0] == "started" && f.size() >= 2) {
        started_wall_ms_ = std::stoll(f[1]);
      } else if (f[0] == "record" && f.size() >= 12) {
        Record.Direction = f[1];
        Record.Machine = static_cast<std::int32_t>(std::stol(f[2]));
        Record.Client = f[3];
        Record.Mode = f[4];
        Record.Archive = f[5];
        Record.Job = f[6];
        Record.Files = std::stoll(f[7]);
        Record.FileBytes = std::stoll(f[8]);
        Record.ArchiveBytes = std::stoll(f[9]);
        Record.HasCrc = f[10] == "1";
        Record.ArchiveCrc = static_cast<std::uint32_t>(std::stoul(f[11]));
      } else if ((f[0] == "d" || f[0] == "p" || f[0] == "f") && f.size() >= 2) {
        THeldEntry e;
        e.IsDirectory = f[0] == "d";
        e.Packed = f[0] == "p";
        e.Relative = f[1];
        if (!ParseIdentity(f, 2, e.Identity)) return false;
        Entries.push_back(std::move(e));
      }
    } catch (...) {
      return false;
    }
  }
  return ended && !origin_.empty();
}

void THeldExport::Hold() {
  // Read-only files directly in the directory are refused, as the workstation refuses
  // to delete them; checked before anything moves.
  for (const THeldEntry& e : Entries)
    if (!e.IsDirectory && e.Relative.find('/') == std::string::npos && S_ISREG(e.Identity.Mode) &&
        IsReadOnlyMode(e.Identity.Mode))
      throw EOSError("Fallita eliminazione contenuto " + origin_);
  WriteManifest();
  held_ = true;
  std::vector<const THeldEntry*> moved;
  auto fail = [&](const std::string& path) {
    PutBack(moved, "a file changed while the export was packed");
    held_ = false;
    RemoveFolder();
    completed_.store(true);
    throw Exception("Fallita compressione zip File modificato durante la compressione: \"" + path + "\"");
  };
  for (const THeldEntry& e : Entries) {
    if (e.IsDirectory) continue;
    const std::string path = JoinPath(origin_, e.Relative);
    TFileIdentity now;
    if (!ReadIdentity(path, now)) continue;  // removed by the machine meanwhile
    if (!SameVersion(now, e.Identity)) {
      if (e.Packed) fail(path);
      continue;  // a file not packed that changed is new work: it stays
    }
    const std::string held = HeldPath(e.Relative);
    MakeDirectories(ParentDirectory(held), 0700);
    const int code = MoveNoReplace(path, held);
    if (code != 0) {
      PutBack(moved, "the export could not move its files");
      held_ = false;
      RemoveFolder();
      completed_.store(true);
      throw EOSError("Fallita eliminazione contenuto " + origin_);
    }
    moved.push_back(&e);
    // A writer between the check and the move changed what was packed.
    TFileIdentity after;
    if (e.Packed && (!ReadIdentity(held, after) || !SameContentStamp(after, e.Identity))) fail(path);
  }
  // The listed directories that are empty now go too, deepest first; one that holds
  // something new stays.
  for (auto it = Entries.rbegin(); it != Entries.rend(); ++it)
    if (it->IsDirectory) ::rmdir(JoinPath(origin_, it->Relative).c_str());
}

bool THeldExport::PutBack(const std::vector<const THeldEntry*>& files, const std::string& why) {
  std::vector<const THeldEntry*> refused;
  // Directories first, so the files find their places; writable until they are filled.
  std::vector<const THeldEntry*> made;
  for (const THeldEntry& e : Entries) {
    if (!e.IsDirectory) continue;
    const std::string path = JoinPath(origin_, e.Relative);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && ::mkdir(path.c_str(), 0700) == 0) made.push_back(&e);
  }
  for (const THeldEntry* e : files) {
    const std::string held = HeldPath(e->Relative);
    struct stat st {};
    if (::lstat(held.c_str(), &st) != 0) continue;  // never moved, or back already
    const std::string path = JoinPath(origin_, e->Relative);
    MakeDirectories(ParentDirectory(path));
    if (MoveNoReplace(held, path) != 0) refused.push_back(e);
  }
  // Directory modes and times as they were (filling them in changed the times).
  for (const THeldEntry* e : made) ::chmod(JoinPath(origin_, e->Relative).c_str(), e->Identity.Mode & 07777);
  for (auto it = Entries.rbegin(); it != Entries.rend(); ++it)
    if (it->IsDirectory) SetTimes(JoinPath(origin_, it->Relative), it->Identity);
  SyncPath(WithoutTrailingSlashes(origin_));
  if (refused.empty()) return false;

  // A name the machine has written again keeps its new file; the old copy and the
  // archive are kept for an operator.
  const std::string unsent = StoreFolder("unsent") + "/" + FileTimeStamp() + "-" + StemOf(Record.Archive);
  MakeDirectories(unsent + "/" + kFilesFolder);
  std::string names;
  for (const THeldEntry* e : refused) {
    const std::string target = unsent + "/" + kFilesFolder + "/" + e->Relative;
    MakeDirectories(ParentDirectory(target));
    MoveNoReplace(HeldPath(e->Relative), target);
    names += (names.empty() ? "\"" : ", \"") + JoinPath(origin_, e->Relative) + "\"";
  }
  MoveNoReplace(ArchivePath(), unsent + "/" + Record.Archive);
  logging::FrameworkLogError("Export " + Record.Archive + " not put back whole (" + why + "): " + names +
                             " written again meanwhile; the old copies and the archive are kept in " + unsent);
  return true;
}

void THeldExport::RemoveFolder() {
  RemoveTree(folder_);
  // The hold root beside the export directory goes when no job is left in it.
  ::rmdir(ParentDirectory(folder_).c_str());
}

void THeldExport::Complete(bool delivered) {
  if (completed_.exchange(true)) return;
  if (!held_) {
    RemoveFolder();
    return;
  }
  TDirectoryLock lock(origin_);
  std::vector<const THeldEntry*> files;
  for (const THeldEntry& e : Entries)
    if (!e.IsDirectory) files.push_back(&e);
  const bool marked = ::access((folder_ + "/" + kDeliveredMark).c_str(), F_OK) == 0;
  if (delivered || marked) {
    const std::string sent = StoreFolder("sent");
    if (::access(ArchivePath().c_str(), F_OK) == 0) {
      MakeDirectories(sent);
      if (MoveNoReplace(ArchivePath(), sent + "/" + FileTimeStamp() + "-" + Record.Archive) != 0)
        logging::FrameworkLogError("Export " + Record.Archive + " delivered; its archive could not be kept in " + sent);
      PruneSentFolder(sent);
    }
    // From here a restart finishes the removal instead of putting the job back.
    try {
      WriteFileDurably(folder_ + "/" + kDeliveredMark, "");
    } catch (const Exception&) {
    }
    std::vector<const THeldEntry*> changed;
    for (const THeldEntry* e : files) {
      TFileIdentity now;
      if (!ReadIdentity(HeldPath(e->Relative), now)) continue;
      // Still written through a handle opened before the move: that is newer work.
      if (!SameContentStamp(now, e->Identity) || OpenForWriting(HeldPath(e->Relative))) {
        changed.push_back(e);
        continue;
      }
      ::unlink(HeldPath(e->Relative).c_str());
    }
    if (!changed.empty()) PutBack(changed, "written after it was packed");
    Record.Outcome = kOutcomeDelivered;
  } else {
    PutBack(files, "the reply was not delivered");
    Record.Outcome = kOutcomeRestored;
  }
  held_ = false;
  RemoveFolder();
  Record.Duration = std::chrono::milliseconds(std::max<std::int64_t>(0, WallClockMs() - started_wall_ms_));
  WriteJournal(Record);
  RecordJobOutcome(Record, Record.Outcome == kOutcomeDelivered ? kJobDelivered : kJobUndelivered);
}

int RecoverHeldExports(const std::string& export_dir) {
  std::vector<std::string> roots;
  const std::string beside = HoldRootBeside(export_dir);
  if (!beside.empty()) roots.push_back(beside);
  roots.push_back(StoreFolder("held"));
  int found = 0;
  for (const std::string& root : roots) {
    for (const std::string& name : NamesIn(root)) {
      const std::string folder = root + "/" + name;
      ++found;
      std::shared_ptr<THeldExport> job = THeldExport::Load(folder);
      if (!job) {
        // Killed while packing: nothing had moved yet, only a partial archive is there.
        RemoveTree(folder);
        continue;
      }
      job->Complete(false);  // a delivered mark makes this finish the removal
    }
    ::rmdir(root.c_str());
  }
  return found;
}

void PruneSentFolder(const std::string& sent_dir) {
  struct TKept {
    std::string path;
    std::int64_t size;
  };
  std::vector<TKept> kept;
  for (const std::string& name : NamesIn(sent_dir)) {  // names begin with their time
    struct stat st {};
    const std::string path = sent_dir + "/" + name;
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) kept.push_back({path, st.st_size});
  }
  std::int64_t total = 0;
  std::size_t count = 0;
  for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
    ++count;
    total += it->size;
    // The newest archive stays even alone over the size limit.
    if (count > 1 && (count > kSentKeepCount || total > kSentKeepBytes)) ::unlink(it->path.c_str());
  }
}

}  // namespace ostrivan::jobs

#include "jobfiles/held_export.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>

#include "archive/zip_file.h"
#include "common/error.h"
#include "common/file_descriptor.h"
#include "common/file_system.h"
#include "common/numbers.h"
#include "common/paths.h"
#include "jobfiles/ack_waits.h"
#include "jobfiles/directory_lock.h"
#include "jobfiles/job_metrics.h"
#include "jobfiles/job_texts.h"
#include "jobfiles/working_directory.h"
#include "jobfiles/write_watch.h"
#include "logging/framework_log.h"

namespace ostrivan::jobs {

namespace {

const char* const kManifestName = "manifest";
const char* const kManifestHeaderV1 = "ostrivan held export 1";
const char* const kManifestHeader = "ostrivan held export 2";
const char* const kDeliveredMark = "delivered";
const char* const kAwaitingMark = "awaiting-ack";
const char* const kPlacedName = "placed";
const char* const kPlacedHeader = "ostrivan put-back 1";
// The job's journal line is in its file: a restart does not write it again.
const char* const kJournalledMark = "journalled";
const char* const kFilesFolder = "files";
const char* const kHoldSuffix = ".ostrivan-held";
const char* const kHoldRecordSuffix = ".hold";

std::mutex g_sequence_lock;
unsigned g_sequence = 0;

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string StoreFolder(const char* name) { return JobStoreDirectory() + "/" + name; }

std::string NextJobName() {
  std::lock_guard<std::mutex> guard(g_sequence_lock);
  return FileTimeStamp() + "-" + std::to_string(::getpid()) + "-" + std::to_string(++g_sequence);
}

bool Writable(const std::string& dir) { return ::access(dir.c_str(), W_OK | X_OK) == 0; }

std::int64_t WallClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Quote(const std::string& path) { return "\"" + path + "\""; }

// The service's own folders: a failure to make one names it and the system's reason.
void MakeOwnFolder(const std::string& dir, mode_t mode) {
  const TStatus made = TryMakeDirectories(dir, mode);
  if (made && Writable(dir)) return;
  const int code = !made ? made.Code() : errno;  // why access() refused
  throw EOSError(texts::PackingFailed(texts::FolderNotCreated(dir, SysErrorMessageText(code))), dir, code);
}

void Walk(const std::string& root, const std::string& relative, std::vector<THeldEntry>& out) {
  const std::string dir = relative.empty() ? root : JoinPath(root, relative);
  std::vector<TDirectoryEntry> listing;
  try {
    listing = ListDirectory(dir);
  } catch (const Exception&) {
    // Asked again for the reason, which the listing's message words its own way.
    int code = EIO;
    if (DIR* d = ::opendir(dir.c_str())) ::closedir(d);
    else code = errno;
    throw EOSError(texts::PackingFailed(texts::FolderNotRead(dir, SysErrorMessageText(code))), dir, code);
  }
  for (const TDirectoryEntry& entry : listing) {
    THeldEntry held;
    held.Relative = relative.empty() ? entry.Name : relative + "/" + entry.Name;
    int code = 0;
    if (!ReadIdentity(JoinPath(root, held.Relative), held.Identity, &code)) {
      if (code == ENOENT) continue;  // gone already
      throw EOSError(texts::PackingFailed(texts::FolderNotRead(dir, SysErrorMessageText(code))), dir, code);
    }
    held.IsDirectory = S_ISDIR(held.Identity.Mode);
    out.push_back(held);
    if (held.IsDirectory) Walk(root, held.Relative, out);
  }
}

void SetTimes(const std::string& path, const TFileIdentity& id) {
  const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(id.ModifiedSeconds), id.ModifiedNanoseconds}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    logging::FrameworkLogWarn("Folder " + Quote(path) + " put back without its time: " + SysErrorMessageText(errno));
}

// --- manifest ------------------------------------------------------------------------
// One table names every field of the record, how it is written and how it is read.
struct TRecordField {
  const char* name;
  std::function<std::string(const TJournalRecord&)> write;
  std::function<void(TJournalRecord&, const std::string&)> read;
};

const std::vector<TRecordField>& RecordFields() {
  auto text = [](std::string TJournalRecord::*field) {
    return TRecordField{nullptr, [field](const TJournalRecord& r) { return r.*field; },
                        [field](TJournalRecord& r, const std::string& v) { r.*field = v; }};
  };
  auto number = [](std::int64_t TJournalRecord::*field) {
    return TRecordField{nullptr, [field](const TJournalRecord& r) { return std::to_string(r.*field); },
                        [field](TJournalRecord& r, const std::string& v) { r.*field = std::stoll(v); }};
  };
  auto named = [](const char* name, TRecordField f) {
    f.name = name;
    return f;
  };
  static const std::vector<TRecordField> fields = {
      named("direction", text(&TJournalRecord::Direction)),
      named("machine",
            {nullptr, [](const TJournalRecord& r) { return std::to_string(r.Machine); },
             [](TJournalRecord& r, const std::string& v) { r.Machine = static_cast<std::int32_t>(std::stol(v)); }}),
      named("peer", text(&TJournalRecord::Peer)),
      named("client", text(&TJournalRecord::Client)),
      named("mode", text(&TJournalRecord::Mode)),
      named("archive", text(&TJournalRecord::Archive)),
      named("job", text(&TJournalRecord::Job)),
      named("files", number(&TJournalRecord::Files)),
      named("file_bytes", number(&TJournalRecord::FileBytes)),
      named("archive_bytes", number(&TJournalRecord::ArchiveBytes)),
      named("crc32",
            {nullptr, [](const TJournalRecord& r) { return r.HasCrc ? std::to_string(r.ArchiveCrc) : std::string(); },
             [](TJournalRecord& r, const std::string& v) {
               r.HasCrc = !v.empty();
               if (r.HasCrc) r.ArchiveCrc = static_cast<std::uint32_t>(std::stoul(v));
             }}),
      named("left", number(&TJournalRecord::Left)),
  };
  return fields;
}

std::string IdentityFields(const TFileIdentity& id) {
  return std::to_string(id.Device) + "\t" + std::to_string(id.Inode) + "\t" + std::to_string(id.Size) + "\t" +
         std::to_string(id.ModifiedSeconds) + "\t" + std::to_string(id.ModifiedNanoseconds) + "\t" +
         std::to_string(id.Mode);
}

bool ParseIdentity(const std::vector<std::string>& f, std::size_t at, TFileIdentity& id) {
  if (f.size() < at + 6) return false;
  id.Device = static_cast<dev_t>(std::stoull(f[at]));
  id.Inode = static_cast<ino_t>(std::stoull(f[at + 1]));
  id.Size = std::stoll(f[at + 2]);
  id.ModifiedSeconds = std::stoll(f[at + 3]);
  id.ModifiedNanoseconds = std::stoll(f[at + 4]);
  id.Mode = static_cast<mode_t>(std::stoul(f[at + 5]));
  return true;
}

std::string EntryLine(const char* key, const THeldEntry& e) {
  return std::string(key) + "\t" +
         (e.IsDirectory ? "d"
          : e.Packed    ? "p"
                        : "f") +
         "\t" + EscapeField(e.Relative) + "\t" + IdentityFields(e.Identity) + "\t" +
         std::to_string(e.HeldChangedSeconds) + "\t" + std::to_string(e.HeldChangedNanoseconds) + "\n";
}

bool ParseEntry(const std::vector<std::string>& f, THeldEntry& e) {
  if (f.size() < 11 || (f[1] != "d" && f[1] != "p" && f[1] != "f")) return false;
  e.IsDirectory = f[1] == "d";
  e.Packed = f[1] == "p";
  e.Relative = f[2];
  if (!ParseIdentity(f, 3, e.Identity)) return false;
  e.HeldChangedSeconds = std::stoll(f[9]);
  e.HeldChangedNanoseconds = std::stoll(f[10]);
  return true;
}

// Anything but folders below dir (a missing dir holds nothing).
bool HoldsAnyFile(const std::string& dir) {
  for (const std::string& name : NamesIn(dir)) {
    const std::string path = dir + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (!S_ISDIR(st.st_mode) || HoldsAnyFile(path)) return true;
  }
  return false;
}

}  // namespace

std::string HoldRootBeside(const std::string& export_dir) {
  const std::string dir = WithoutTrailingSlashes(export_dir);
  const std::string name = FileNameOf(dir);
  if (name.empty() || name == "/" || name == "." || name == "..") return {};
  return ParentFolder(dir) + "/." + name + kHoldSuffix;
}

bool IsJobEntry(const TFileIdentity& identity) { return S_ISREG(identity.Mode) || S_ISDIR(identity.Mode); }

std::vector<THeldEntry> SnapshotTree(const std::string& dir) {
  std::vector<THeldEntry> entries;
  Walk(dir, "", entries);
  return entries;
}

THeldExport::THeldExport(std::string origin, std::string folder)
    : origin_(std::move(origin)), folder_(std::move(folder)), started_wall_ms_(WallClockMs()) {}

std::shared_ptr<THeldExport> THeldExport::Create(const std::string& export_dir) {
  const std::string list = StoreFolder("held");
  MakeOwnFolder(list, 0700);
  std::string root = HoldRootBeside(export_dir);
  // Beside the directory keeps the moves on one file system; where that cannot be
  // written, beside the executable, where a move may have to copy.
  if (root.empty() || !(TryMakeDirectories(root, 0700) && Writable(root))) root = list;
  const std::string name = NextJobName();
  const std::string folder = root + "/" + name;
  MakeOwnFolder(folder + "/" + kFilesFolder, 0700);
  std::shared_ptr<THeldExport> job(new THeldExport(export_dir, folder));
  // Recorded before anything can move, so that a start finds the job whatever the
  // parameter file says by then.
  const std::string record = list + "/" + name + kHoldRecordSuffix;
  if (const int code = TryWriteFileDurably(record, folder + "\n").Code(); code != 0)
    throw EOSError(texts::PackingFailed(texts::FolderNotCreated(list, SysErrorMessageText(code))), list, code);
  job->record_path_ = record;
  return job;
}

THeldExport::TLoad THeldExport::Load(const std::string& folder, std::shared_ptr<THeldExport>& job) {
  job.reset(new THeldExport("", folder));
  // Not ours to remove on the way out until it is read whole.
  job->completed_.store(true);
  std::string text;
  int code = 0;
  if (code = TryReadWholeFile(folder + "/" + kManifestName, text).Code(); code != 0)
    return code == ENOENT ? TLoad::kNoManifest : TLoad::kUnreadable;
  if (!job->ReadManifest(text)) return TLoad::kUnreadable;
  std::string deadline;
  if (TryReadWholeFile(folder + "/" + kAwaitingMark, deadline)) {
    std::int64_t ms = 0;
    // A mark cut short by a kill waits for nothing: the job is settled as any other.
    if (ParseNumber(std::string_view(deadline).substr(0, deadline.find('\n')), ms)) job->ack_deadline_ms_ = ms;
  }
  job->ReadPlacedRecord();
  job->held_ = true;
  job->completed_.store(false);
  return TLoad::kLoaded;
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
  for (const TRecordField& field : RecordFields())
    out << field.name << "\t" << EscapeField(field.write(Record)) << "\n";
  for (const THeldEntry& e : Entries) out << EntryLine("entry", e);
  if (settled_) {
    for (const THeldEntry& e : residual_) out << EntryLine("stayed", e);
    out << "settled\n";
  }
  out << "end\n";
  WriteFileDurably(folder_ + "/" + kManifestName, out.str());
}

bool THeldExport::ReadManifest(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line)) return false;
  const bool v1 = line == kManifestHeaderV1;
  if (!v1 && line != kManifestHeader) return false;
  bool ended = false;
  try {
    while (std::getline(in, line)) {
      if (line == "end") {
        ended = true;
        break;
      }
      const std::vector<std::string> f = SplitFields(line);
      if (f[0] == "origin" && f.size() >= 2) {
        origin_ = f[1];
      } else if (f[0] == "started" && f.size() >= 2) {
        started_wall_ms_ = std::stoll(f[1]);
      } else if (f[0] == "settled") {
        settled_ = true;
      } else if (!v1 && (f[0] == "entry" || f[0] == "stayed")) {
        THeldEntry e;
        if (!ParseEntry(f, e)) return false;
        (f[0] == "entry" ? Entries : residual_).push_back(std::move(e));
      } else if (v1 && f[0] == "record" && f.size() >= 12) {
        // Written by the version before: positional fields.
        Record.Direction = f[1];
        Record.Machine = static_cast<std::int32_t>(std::stol(f[2]));
        Record.Peer = f[3];
        Record.Mode = f[4];
        Record.Archive = f[5];
        Record.Job = f[6];
        Record.Files = std::stoll(f[7]);
        Record.FileBytes = std::stoll(f[8]);
        Record.ArchiveBytes = std::stoll(f[9]);
        Record.HasCrc = f[10] == "1";
        Record.ArchiveCrc = static_cast<std::uint32_t>(std::stoul(f[11]));
      } else if (v1 && (f[0] == "d" || f[0] == "p" || f[0] == "f") && f.size() >= 8) {
        THeldEntry e;
        e.IsDirectory = f[0] == "d";
        e.Packed = f[0] == "p";
        e.Relative = f[1];
        if (!ParseIdentity(f, 2, e.Identity)) return false;
        Entries.push_back(std::move(e));
      } else if (!v1 && f.size() >= 2) {
        for (const TRecordField& field : RecordFields())
          if (f[0] == field.name) field.read(Record, f[1]);
      }
    }
  } catch (const std::exception&) {
    return false;
  }
  return ended && !origin_.empty();
}

void THeldExport::Hold() {
  // Read-only files directly in the directory are refused, as the workstation refuses
  // to delete them; checked before anything moves.
  for (const THeldEntry& e : Entries)
    if (!e.IsDirectory && e.Relative.find('/') == std::string::npos && S_ISREG(e.Identity.Mode) &&
        IsReadOnlyMode(e.Identity.Mode))
      throw EOSError(texts::EmptyingFailed(origin_));
  try {
    WriteManifest();
  } catch (const Exception& e) {
    // Nothing moves without its record.
    logging::FrameworkLogError("Export of " + origin_ + " could not write " + Quote(folder_ + "/" + kManifestName) +
                               ": " + e.Message());
    throw EOSError(texts::EmptyingFailed(origin_));
  }
  held_ = true;
  std::vector<const THeldEntry*> moved;
  auto undo = [&](const std::string& why) {
    SettleUndelivered(moved, why);
    held_ = false;
    if (!keep_folder_) RemoveFolder();
    completed_.store(true);
  };
  auto changed = [&](const std::string& path) {
    undo("a file changed while the export was packed");
    throw Exception(texts::PackingFailed(texts::FileChangedWhilePacking(path)));
  };
  std::int64_t left = 0;
  for (THeldEntry& e : Entries) {
    if (e.IsDirectory) continue;
    const std::string path = JoinPath(origin_, e.Relative);
    TFileIdentity now;
    if (!ReadIdentity(path, now)) continue;  // removed by the machine meanwhile
    if (!SameVersion(now, e.Identity)) {
      if (e.Packed) changed(path);
      continue;  // a file not packed that changed is new work: it stays
    }
    // One not packed that a writer still has (ROTTLER's others) is new work too.
    if (!e.Packed &&
        (WriterHolds(path) == TWriterState::kOpen || ExportWriteWatch().StateOf(path) == TWriteSeen::kWriting))
      continue;
    const std::string held = HeldPath(e.Relative);
    int code = TryMakeDirectories(ParentFolder(held), 0700).Code();
    if (code == 0) code = TryMoveNoReplace(path, held).Code();
    if (code != 0) {
      if (e.Relative.find('/') != std::string::npos) {
        // Below a subdirectory what cannot be removed stays, as an emptying leaves it.
        logging::FrameworkLogWarn("Export of " + origin_ + " leaves " + Quote(path) + ": " + SysErrorMessageText(code));
        ++left;
        continue;
      }
      logging::FrameworkLogError("Export of " + origin_ + " could not take " + Quote(path) +
                                 " out: " + SysErrorMessageText(code));
      undo("the export could not move its files");
      throw EOSError(texts::EmptyingFailed(origin_));
    }
    moved.push_back(&e);
    // A writer between the check and the move changed what was packed.
    TFileIdentity after;
    const bool there = ReadIdentity(held, after);
    if (e.Packed && (!there || !SameContentStamp(after, e.Identity))) changed(path);
    if (there) {
      e.HeldChangedSeconds = after.ChangedSeconds;
      e.HeldChangedNanoseconds = after.ChangedNanoseconds;
    }
  }
  // The listed directories that are empty now go too, deepest first; one that holds
  // something new (or something left) stays.
  for (auto it = Entries.rbegin(); it != Entries.rend(); ++it) {
    if (!it->IsDirectory) continue;
    const std::string path = JoinPath(origin_, it->Relative);
    if (::rmdir(path.c_str()) != 0 && errno != ENOTEMPTY && errno != EEXIST && errno != ENOENT) {
      logging::FrameworkLogWarn("Export of " + origin_ + " leaves " + Quote(path) + ": " + SysErrorMessageText(errno));
      ++left;
    }
  }
  Record.Left = left;
  // What stays tells a put-back later whether the machine has written anything since.
  try {
    residual_ = SnapshotTree(origin_);
    settled_ = true;
    WriteManifest();
  } catch (const Exception& e) {
    // The job is held whole; without this record a put-back goes file by file.
    logging::FrameworkLogWarn("Export of " + origin_ + ": hold not recorded whole: " + e.Message());
    settled_ = false;
  }
}

bool THeldExport::DirectoryRefilled() const {
  // Without a record of what stayed, only names taken again are seen (PutBack).
  if (!settled_) return false;
  std::vector<THeldEntry> now;
  try {
    now = SnapshotTree(origin_);
  } catch (const Exception&) {
    // Gone altogether holds nothing new; what cannot be read cannot be merged into safely.
    struct stat st {};
    return !(::lstat(origin_.c_str(), &st) != 0 && errno == ENOENT);
  }
  const auto find = [](const std::vector<THeldEntry>& in, const std::string& relative) {
    return std::find_if(in.begin(), in.end(), [&](const THeldEntry& r) { return r.Relative == relative; });
  };
  for (const THeldEntry& e : now) {
    const auto stayed = find(residual_, e.Relative);
    if (stayed != residual_.end()) {
      if (!e.IsDirectory && !SameVersion(e.Identity, stayed->Identity)) return true;
      continue;
    }
    // What a put-back cut short by a kill had already brought back is the job's own: its
    // folders, and its files as they were (a copy has another inode, the same stamp).
    const auto own = find(Entries, e.Relative);
    if (own == Entries.end() || own->IsDirectory != e.IsDirectory) return true;
    if (!e.IsDirectory && !SameContentStamp(e.Identity, own->Identity)) return true;
  }
  return false;
}

std::vector<const THeldEntry*> THeldExport::MakeFolders(std::string* failure) {
  // Directories first, so the files find their places; writable until they are filled.
  std::vector<const THeldEntry*> made;
  for (const THeldEntry& e : Entries) {
    if (!e.IsDirectory) continue;
    const std::string path = JoinPath(origin_, e.Relative);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) continue;
    if (::mkdir(path.c_str(), 0700) == 0) made.push_back(&e);
    else if (failure != nullptr && failure->empty()) *failure = SysErrorMessageText(errno) + " " + Quote(path);
  }
  return made;
}

void THeldExport::RestoreFolders(const std::vector<const THeldEntry*>& made) {
  // Directory modes and times as they were (filling them in changed the times).
  for (const THeldEntry* e : made)
    if (::chmod(JoinPath(origin_, e->Relative).c_str(), e->Identity.Mode & 07777) != 0)
      logging::FrameworkLogWarn("Folder " + Quote(JoinPath(origin_, e->Relative)) +
                                " put back without its mode: " + SysErrorMessageText(errno));
  for (auto it = Entries.rbegin(); it != Entries.rend(); ++it)
    if (it->IsDirectory) SetTimes(JoinPath(origin_, it->Relative), it->Identity);
  const int synced = TrySyncPath(WithoutTrailingSlashes(origin_)).Code();
  if (synced != 0 && synced != EINVAL)
    logging::FrameworkLogError("Export " + Record.Archive + " put back in " + origin_ +
                               " but not flushed: " + SysErrorMessageText(synced));
}

void THeldExport::PutBackEach(const std::vector<const THeldEntry*>& files, const std::string& why) {
  const std::vector<const THeldEntry*> made = MakeFolders(nullptr);
  std::vector<const THeldEntry*> refused;
  std::string taken;   // names the machine has written again
  std::string failed;  // names that could not be put back for another reason
  for (const THeldEntry* e : files) {
    const std::string held = HeldPath(e->Relative);
    struct stat st {};
    if (::lstat(held.c_str(), &st) != 0) continue;  // never moved, or back already
    const std::string path = JoinPath(origin_, e->Relative);
    (void)TryMakeDirectories(ParentFolder(path));
    const int code = TryMoveNoReplace(held, path).Code();
    if (code == 0) continue;
    refused.push_back(e);
    (code == EEXIST ? taken : failed) += (code == EEXIST ? "" : SysErrorMessageText(code) + " ") + Quote(path) + " ";
  }
  RestoreFolders(made);
  if (refused.empty()) return;
  std::string reason;
  if (!taken.empty()) reason += "written again meanwhile: " + taken;
  if (!failed.empty()) reason += (reason.empty() ? "" : "; ") + std::string("not put back: ") + failed;
  KeepInUnsent(refused, why + "; " + reason);
}

bool THeldExport::PlacedHere(const THeldEntry& e, const struct stat& at, bool held_there) const {
  if (!S_ISREG(at.st_mode)) return false;
  if (const auto placed = placed_.find(e.Relative); placed != placed_.end())
    return placed->second.Device == at.st_dev && placed->second.Inode == at.st_ino;
  // Renamed back on one file system: the very file that was listed, which the hold did
  // not leave there.
  if (held_there || at.st_dev != e.Identity.Device || at.st_ino != e.Identity.Inode) return false;
  TFileIdentity now;
  if (!ReadIdentity(JoinPath(origin_, e.Relative), now) || !SameContentStamp(now, e.Identity)) return false;
  return !Stayed(e.Relative);
}

bool THeldExport::Stayed(const std::string& relative) const {
  return std::any_of(residual_.begin(), residual_.end(), [&](const THeldEntry& r) { return r.Relative == relative; });
}

void THeldExport::WritePlacedRecord() const {
  std::ostringstream out;
  out << kPlacedHeader << "\n";
  for (const auto& [relative, at] : placed_)
    out << "placed\t" << EscapeField(relative) << "\t" << at.Device << "\t" << at.Inode << "\n";
  out << "end\n";
  WriteFileDurably(folder_ + "/" + kPlacedName, out.str());
}

void THeldExport::ReadPlacedRecord() {
  std::string text;
  if (!TryReadWholeFile(folder_ + "/" + kPlacedName, text)) return;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kPlacedHeader) return;
  std::map<std::string, TPlaced> placed;
  try {
    while (std::getline(in, line)) {
      if (line == "end") {
        placed_ = std::move(placed);
        return;
      }
      const std::vector<std::string> f = SplitFields(line);
      if (f.size() < 4 || f[0] != "placed") return;
      placed[f[1]] = {static_cast<dev_t>(std::stoull(f[2])), static_cast<ino_t>(std::stoull(f[3]))};
    }
  } catch (const std::exception&) {
  }
  // Written whole or not at all: a record without its end is not taken.
}

bool THeldExport::PutBackWhole(const std::vector<const THeldEntry*>& files, std::string& reason) {
  struct TStep {
    const THeldEntry* entry;
    std::string held, path;
    bool copy = false;   // across file systems: made under its partial name first
    bool named = false;  // under its name now
  };
  std::vector<TStep> steps;
  std::string failure;
  const std::vector<const THeldEntry*> made = MakeFolders(&failure);
  const auto undo = [&](const std::string& why) {
    for (const TStep& step : steps)
      if (step.copy && !step.named) ::unlink(PartialCopyName(step.path).c_str());
    TakeBackOut(files);
    for (auto it = made.rbegin(); it != made.rend(); ++it) ::rmdir(JoinPath(origin_, (*it)->Relative).c_str());
    // Nothing placed is left: a record of it could only mistake a new file for a copy.
    placed_.clear();
    ::unlink((folder_ + "/" + kPlacedName).c_str());
    reason = why;
    return false;
  };
  if (!failure.empty()) return undo("not put back: " + failure);
  // Every copy whole and flushed under its partial name; on one file system there is
  // nothing to copy.
  bool copied = false;
  for (const THeldEntry* e : files) {
    TStep step{e, HeldPath(e->Relative), JoinPath(origin_, e->Relative)};
    struct stat held {};
    if (::lstat(step.held.c_str(), &held) != 0) continue;  // never moved, or back already
    struct stat at {};
    if (::lstat(step.path.c_str(), &at) == 0) {
      if (!PlacedHere(*e, at, true)) return undo("written again meanwhile: " + Quote(step.path) + " ");
      // A copy named before a kill: only its held source is left to remove.
      step.copy = step.named = true;
      steps.push_back(std::move(step));
      continue;
    }
    int code = TryMakeDirectories(ParentFolder(step.path)).Code();
    struct stat folder {};
    if (code == 0 && ::stat(ParentFolder(step.path).c_str(), &folder) != 0) code = errno;
    step.copy = code == 0 && folder.st_dev != held.st_dev;
    steps.push_back(step);
    if (code == 0 && step.copy) {
      platform::TFileInfo copy;
      code = TryCopyUnderPartialName(step.held, step.path, copy).Code();
      if (code == 0) {
        placed_[e->Relative] = {copy.Device, copy.Inode};
        copied = true;
      }
    } else if (code == 0) {
      placed_[e->Relative] = {held.st_dev, held.st_ino};
    }
    if (code != 0) return undo("not put back: " + SysErrorMessageText(code) + " " + Quote(step.path) + " ");
  }
  // A start after a kill from here on must know which named copies are the job's own.
  if (copied) {
    try {
      WritePlacedRecord();
    } catch (const Exception& e) {
      return undo("not put back: " + e.Message() + " ");
    }
  }
  // Each takes its name, never over a file the machine wrote meanwhile.
  for (TStep& step : steps) {
    if (step.named) continue;
    const int code = step.copy ? TryNamePartialCopy(step.path).Code() : TryRenameNoReplace(step.held, step.path).Code();
    if (code == EEXIST) return undo("written again meanwhile: " + Quote(step.path) + " ");
    step.named = code == 0 || ::access(step.path.c_str(), F_OK) == 0;
    if (code != 0) return undo("not put back: " + SysErrorMessageText(code) + " " + Quote(step.path) + " ");
  }
  // A folder the hold had emptied away was made again by a put-back, this one or one a
  // kill cut short: each gets its mode back.
  std::vector<const THeldEntry*> remade = made;
  for (const THeldEntry& e : Entries)
    if (e.IsDirectory && settled_ && !Stayed(e.Relative) && std::find(made.begin(), made.end(), &e) == made.end())
      remade.push_back(&e);
  RestoreFolders(remade);
  // Only now, with the whole job back, do the copies' sources go.
  for (const TStep& step : steps)
    if (step.copy && ::unlink(step.held.c_str()) != 0 && errno != ENOENT)
      logging::FrameworkLogWarn("Export " + Record.Archive + " put back; " + Quote(step.held) +
                                " not removed: " + SysErrorMessageText(errno));
  return true;
}

void THeldExport::TakeBackOut(const std::vector<const THeldEntry*>& files) {
  for (const THeldEntry* e : files) {
    const std::string path = JoinPath(origin_, e->Relative);
    const std::string held = HeldPath(e->Relative);
    struct stat at {};
    if (::lstat(path.c_str(), &at) != 0) continue;
    struct stat st {};
    const bool held_there = ::lstat(held.c_str(), &st) == 0;
    if (!PlacedHere(*e, at, held_there)) continue;
    // A copy whose source is still held goes; a file that is the only one goes back.
    int code = 0;
    if (held_there) {
      code = ::unlink(path.c_str()) == 0 ? 0 : errno;
    } else {
      code = TryMakeDirectories(ParentFolder(held), 0700).Code();
      if (code == 0) code = TryMoveNoReplace(path, held).Code();
    }
    if (code != 0)
      logging::FrameworkLogError("Export " + Record.Archive + ": " + Quote(path) +
                                 " could not be taken back out: " + SysErrorMessageText(code));
  }
  // The job's folders that the hold had emptied away and that hold nothing now.
  if (!settled_) return;
  for (auto it = Entries.rbegin(); it != Entries.rend(); ++it)
    if (it->IsDirectory && !Stayed(it->Relative)) ::rmdir(JoinPath(origin_, it->Relative).c_str());
}

const char* THeldExport::SettleUndelivered(const std::vector<const THeldEntry*>& files, const std::string& why) {
  std::string reason;
  if (PutBackWhole(files, reason)) return unacknowledged_ ? kOutcomeRestoredUnacknowledged : kOutcomeRestored;
  // Not one file of the job stays beside the rest: all of it is kept.
  KeepInUnsent(files, why + "; " + reason);
  return unacknowledged_ ? kOutcomeKeptUnsentUnacknowledged : kOutcomeKeptUnsent;
}

void THeldExport::KeepInUnsent(const std::vector<const THeldEntry*>& files, const std::string& why) {
  // The machine's files are never overwritten: the old copies and the archive are kept
  // for an operator.
  const std::string unsent = StoreFolder("unsent") + "/" + KeptName(FileStem(Record.Archive), "");
  std::string names;
  std::string failures;
  if (const TStatus made = TryMakeDirectories(unsent + "/" + kFilesFolder); !made) {
    failures = "cannot create " + Quote(unsent) + ": " + SysErrorMessageText(made.Code());
  } else {
    for (const THeldEntry* e : files) {
      const std::string held = HeldPath(e->Relative);
      struct stat st {};
      if (::lstat(held.c_str(), &st) != 0) continue;
      const std::string target = unsent + "/" + kFilesFolder + "/" + e->Relative;
      int code = TryMakeDirectories(ParentFolder(target)).Code();
      if (code == 0) code = TryMoveNoReplace(held, target).Code();
      if (code != 0) failures += Quote(held) + ": " + SysErrorMessageText(code) + " ";
      names += (names.empty() ? "" : ", ") + Quote(JoinPath(origin_, e->Relative));
    }
    struct stat st {};
    if (::lstat(ArchivePath().c_str(), &st) == 0) {
      const int code = TryMoveNoReplace(ArchivePath(), unsent + "/" + Record.Archive).Code();
      if (code != 0) failures += Quote(ArchivePath()) + ": " + SysErrorMessageText(code) + " ";
    }
  }
  if (failures.empty()) {
    logging::FrameworkLogError("Export " + Record.Archive + " not put back (" + why + "): " + names +
                               " kept with the archive in " + unsent);
    return;
  }
  keep_folder_ = true;
  logging::FrameworkLogError("Export " + Record.Archive + " not put back (" + why + ") and not kept in unsent (" +
                             failures + "); the job stays in " + folder_);
}

void THeldExport::KeepDiscarded(const std::vector<const THeldEntry*>& files) {
  if (files.empty()) return;
  const std::string sent = StoreFolder("sent");
  const std::string target = sent + "/" + KeptName(FileStem(Record.Archive), ".discarded.zip");
  try {
    std::vector<archive::TZipSource> sources;
    for (const THeldEntry* e : files) {
      std::string name = e->Relative;
      std::replace(name.begin(), name.end(), '/', '\\');
      sources.push_back({HeldPath(e->Relative), FileNameText(name)});
    }
    archive::TBytesStream memory;
    archive::TZipFile zip;
    zip.Open(memory, archive::TZipMode::zmWrite);
    zip.AddFiles(sources);
    zip.Close();
    const std::vector<std::uint8_t> bytes = memory.TakeBytes();
    if (const TStatus made = TryMakeDirectories(sent); !made) throw MakeOSError(made.Code(), sent);
    WriteFileDurably(target, std::string(bytes.begin(), bytes.end()));
    PruneKeptFolder(sent, Keep);
  } catch (const Exception& e) {
    // Nothing the machine wrote goes without a copy: without the archive the files stay.
    KeepInUnsent(files, "its discarded files could not be kept in " + sent + ": " + e.Message());
  }
}

void THeldExport::RemoveFolder() {
  // The files first, the manifest after them: a kill on the way leaves a folder that
  // still says what its files are, or one with no file left.
  RemoveTree(folder_ + "/" + kFilesFolder);
  RemoveTree(folder_);
  if (!record_path_.empty() && ::unlink(record_path_.c_str()) != 0 && errno != ENOENT)
    logging::FrameworkLogWarn("Hold record " + Quote(record_path_) + " not removed: " + SysErrorMessageText(errno));
  // The hold root beside the export directory goes when no job is left in it.
  if (ParentFolder(folder_) != StoreFolder("held")) ::rmdir(ParentFolder(folder_).c_str());
}

std::string THeldExport::Id() const { return FileNameOf(folder_); }

bool THeldExport::DeliveryMarked() const { return ::access((folder_ + "/" + kDeliveredMark).c_str(), F_OK) == 0; }

bool THeldExport::AwaitAcknowledgement(std::int64_t deadline_ms) {
  if (const int code = TryWriteFileDurably(folder_ + "/" + kAwaitingMark, std::to_string(deadline_ms) + "\n").Code();
      code != 0) {
    logging::FrameworkLogError("Export " + Record.Archive + " cannot wait for its acknowledgement: " +
                               Quote(folder_ + "/" + kAwaitingMark) + " not written: " + SysErrorMessageText(code));
    return false;
  }
  ack_deadline_ms_ = deadline_ms;
  return true;
}

void THeldExport::CompleteUnacknowledged() {
  unacknowledged_ = true;
  Complete(false);
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
  const auto finish_record = [&] {
    Record.Duration = std::chrono::milliseconds(std::max<std::int64_t>(0, WallClockMs() - started_wall_ms_));
  };
  // One line per job, across kills: a start writes it only when the killed run had not.
  const auto journal_once = [&] {
    if (::access((folder_ + "/" + kJournalledMark).c_str(), F_OK) == 0 || !WriteJournal(Record)) return;
    TFileDescriptor mark(::open((folder_ + "/" + kJournalledMark).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  };
  if (delivered || marked) {
    // Files written after they were packed (through a handle opened before the move)
    // are newer work: they go back rather than away.
    std::vector<const THeldEntry*> changed;
    std::vector<const THeldEntry*> discarded;
    std::vector<const THeldEntry*> removable;
    for (const THeldEntry* e : files) {
      TFileIdentity now;
      if (!ReadIdentity(HeldPath(e->Relative), now)) continue;
      const bool rewritten = !SameContentStamp(now, e->Identity) ||
                             (e->HeldChangedSeconds >= 0 && (now.ChangedSeconds != e->HeldChangedSeconds ||
                                                             now.ChangedNanoseconds != e->HeldChangedNanoseconds)) ||
                             WriterHolds(HeldPath(e->Relative)) == TWriterState::kOpen;
      if (rewritten) {
        changed.push_back(e);
      } else {
        removable.push_back(e);
        if (!e->Packed) discarded.push_back(e);
      }
    }
    Record.Discarded = static_cast<std::int64_t>(discarded.size());
    Record.Outcome = kOutcomeDelivered;
    finish_record();
    // From here a restart finishes the removal instead of putting the job back; marked
    // before the journal line, so that a line saying delivered is never followed by a
    // put-back.
    if (!marked) {
      try {
        WriteFileDurably(folder_ + "/" + kDeliveredMark, "");
      } catch (const Exception& e) {
        logging::FrameworkLogError("Export " + Record.Archive + " delivered; its mark could not be written in " +
                                   folder_ + ": " + e.Message());
      }
    }
    // Written before anything is removed.
    journal_once();
    const std::string sent = StoreFolder("sent");
    if (::access(ArchivePath().c_str(), F_OK) == 0) {
      int code = TryMakeDirectories(sent).Code();
      if (code == 0) code = TryMoveNoReplace(ArchivePath(), sent + "/" + KeptName(Record.Archive)).Code();
      if (code != 0) {
        logging::FrameworkLogError("Export " + Record.Archive + " delivered; its archive could not be kept in " + sent +
                                   ": " + SysErrorMessageText(code) + "; it stays in " + folder_);
        keep_folder_ = true;
      } else {
        PruneKeptFolder(sent, Keep);
      }
    }
    KeepDiscarded(discarded);
    for (const THeldEntry* e : removable) {
      const std::string held = HeldPath(e->Relative);
      if (::access(held.c_str(), F_OK) != 0) continue;  // kept in unsent
      if (::unlink(held.c_str()) != 0) {
        logging::FrameworkLogError("Export " + Record.Archive + " delivered; " + Quote(held) +
                                   " could not be removed: " + SysErrorMessageText(errno));
        keep_folder_ = true;
      }
    }
    if (!changed.empty()) PutBackEach(changed, "written after it was packed");
  } else if (DirectoryRefilled()) {
    // The machine has written a new job meanwhile: merging would make one job of two.
    // What a put-back cut short by a kill had brought back goes with the rest.
    TakeBackOut(files);
    KeepInUnsent(files, "the reply was not delivered and " + origin_ + " holds new files");
    Record.Outcome = unacknowledged_ ? kOutcomeKeptUnsentUnacknowledged : kOutcomeKeptUnsent;
    finish_record();
    journal_once();
  } else {
    Record.Outcome = SettleUndelivered(files, "the reply was not delivered");
    finish_record();
    journal_once();
  }
  held_ = false;
  if (!keep_folder_) RemoveFolder();
  RecordJobOutcome(Record, Record.Outcome == kOutcomeDelivered ? kJobDelivered : kJobUndelivered);
}

std::vector<std::string> HoldFolders(const std::string& export_dir) {
  std::set<std::string> folders;
  const std::string list = StoreFolder("held");
  for (const std::string& name : NamesIn(list)) {
    const std::string path = list + "/" + name;
    if (name.ends_with(kHoldRecordSuffix)) {
      std::string text;
      if (!TryReadWholeFile(path, text)) continue;
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      if (!text.empty()) folders.insert(text);
    } else if (!name.ends_with(".tmp")) {
      folders.insert(path);
    }
  }
  const std::string beside = export_dir.empty() ? std::string() : HoldRootBeside(export_dir);
  if (!beside.empty())
    for (const std::string& name : NamesIn(beside)) folders.insert(beside + "/" + name);
  return {folders.begin(), folders.end()};
}

int RecoverHeldExports(const std::string& export_dir, const TKeepLimits& keep) {
  std::set<std::string> seen;
  int found = 0;
  const auto recover = [&](const std::string& folder, const std::string& record) {
    if (!seen.insert(folder).second) return;
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      if (!record.empty() && ::unlink(record.c_str()) == 0)
        logging::FrameworkLogInfo("Start found the hold record " + Quote(record) + " of a job already settled (" +
                                  Quote(folder) + " is gone); record removed");
      return;
    }
    ++found;
    std::shared_ptr<THeldExport> job;
    switch (THeldExport::Load(folder, job)) {
      case THeldExport::TLoad::kLoaded:
        job->record_path_ = record;
        job->Keep = keep;
        // Copies cut short by the kill carry names of their own; they go first.
        for (const THeldEntry& e : job->Entries) {
          ::unlink(PartialCopyName(JoinPath(job->origin_, e.Relative)).c_str());
          ::unlink(PartialCopyName(job->HeldPath(e.Relative)).c_str());
        }
        {
          const bool delivered = job->DeliveryMarked();
          const bool awaited = job->ack_deadline_ms_ > 0 && !delivered;
          // Sent to a client that asked to acknowledge it: its acknowledgement may still
          // come, and until then nobody can tell whether it has the job.
          if (awaited && job->ack_deadline_ms_ > WallClockMs()) {
            logging::FrameworkLogWarn("Start found the held export " + Quote(job->Record.Archive) + " (job " +
                                      Quote(job->Record.Job) + ") in " + Quote(folder) +
                                      ": it waits for its acknowledgement (" + job->Id() + ") another " +
                                      std::to_string((job->ack_deadline_ms_ - WallClockMs() + 999) / 1000) + " s");
            AcknowledgementWaits().Resume(job);
            return;
          }
          const bool journalled = ::access((folder + "/" + kJournalledMark).c_str(), F_OK) == 0;
          if (awaited) {
            job->CompleteUnacknowledged();
          } else {
            job->Complete(false);  // a delivered mark makes this finish the removal
          }
          const bool kept =
              job->Record.Outcome == kOutcomeKeptUnsent || job->Record.Outcome == kOutcomeKeptUnsentUnacknowledged;
          const std::string why =
              awaited ? "its acknowledgement did not come in time" : "its reply was not known delivered";
          const std::string done = delivered ? "its reply had been delivered: files removed, archive kept in sent"
                                   : kept    ? why + " and " + job->origin_ + " holds new files: kept in unsent"
                                             : why + ": put back in " + job->origin_;
          logging::FrameworkLogWarn(
              "Start found the held export " + Quote(job->Record.Archive) + " (job " + Quote(job->Record.Job) +
              ") in " + Quote(folder) + ": " + done +
              (journalled ? "; its journal line was written before the stop" : "; journalled now") +
              (job->keep_folder_ ? "; part of it stays in " + Quote(folder) : ""));
        }
        return;
      case THeldExport::TLoad::kNoManifest:
        // Killed while packing: nothing had moved yet, only a partial archive is there.
        if (!HoldsAnyFile(folder + "/" + kFilesFolder)) {
          RemoveTree(folder);
          if (!record.empty()) ::unlink(record.c_str());
          logging::FrameworkLogInfo("Start found the hold folder " + Quote(folder) +
                                    " without a manifest and without files (stopped while packing or while removing "
                                    "it): nothing of a job in it, removed");
          return;
        }
        [[fallthrough]];
      case THeldExport::TLoad::kUnreadable:
        logging::FrameworkLogError("Held export " + Quote(folder) +
                                   " has a manifest that cannot be read; it is left as it is for an operator");
        return;
    }
  };
  const std::string list = StoreFolder("held");
  for (const std::string& name : NamesIn(list)) {
    if (name.size() <= std::strlen(kHoldRecordSuffix) || !name.ends_with(kHoldRecordSuffix)) continue;
    std::string text;
    const std::string record = list + "/" + name;
    if (!TryReadWholeFile(record, text)) continue;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!text.empty()) recover(text, record);
  }
  // Holds made before they were recorded, in the places the directory may have used.
  std::vector<std::string> roots;
  const std::string beside = export_dir.empty() ? std::string() : HoldRootBeside(export_dir);
  if (!beside.empty()) roots.push_back(beside);
  roots.push_back(list);
  for (const std::string& root : roots) {
    for (const std::string& name : NamesIn(root)) {
      if (name.ends_with(kHoldRecordSuffix) || name.ends_with(".tmp")) continue;
      recover(root + "/" + name, "");
    }
    if (root != list) ::rmdir(root.c_str());
  }
  return found;
}

void PruneKeptFolder(const std::string& dir, const TKeepLimits& keep) {
  struct TKept {
    std::string path;
    std::int64_t size;
    std::int64_t modified_ns;
  };
  std::vector<TKept> kept;
  for (const std::string& name : NamesIn(dir)) {
    struct stat st {};
    const std::string path = dir + "/" + name;
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
      kept.push_back(
          {path, st.st_size, static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec});
  }
  // Newest first by modification time: a clock or daylight-saving step that changes the
  // names' order cannot remove the newest.
  std::stable_sort(kept.begin(), kept.end(), [](const TKept& a, const TKept& b) {
    return a.modified_ns != b.modified_ns ? a.modified_ns > b.modified_ns : a.path > b.path;
  });
  std::int64_t total = 0;
  std::size_t count = 0;
  for (const TKept& k : kept) {
    ++count;
    total += k.size;
    if (count > 1 && (count > keep.Count || total > keep.Bytes)) ::unlink(k.path.c_str());
  }
}

}  // namespace ostrivan::jobs

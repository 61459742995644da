#include "jobfiles/job_catalog.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <map>
#include <set>

#include "archive/zip_file.h"
#include "archive/zip_record.h"
#include "common/error.h"
#include "common/file_system.h"
#include "common/file_tree.h"
#include "common/paths.h"
#include "jobfiles/directory_lock.h"
#include "jobfiles/held_export.h"
#include "jobfiles/job_files.h"
#include "jobfiles/job_journal.h"
#include "jobfiles/working_directory.h"
#include "logging/framework_log.h"
#include "platform/file_system.h"
#include "platform/process.h"

namespace ostrivan::jobfiles {

namespace {

constexpr const char* kKeptKinds[] = {"held", "unsent", "sent", "received"};

std::int64_t KeptModifiedMs(const platform::TFileInfo& info) {
  return info.Modified.Seconds * 1000 + info.Modified.Nanoseconds / 1000000;
}

// What is at path (a link followed or not); Kind kMissing when nothing can be read there.
platform::TFileInfo CatalogInfo(const std::string& path, platform::TLinks links = platform::TLinks::kDoNotFollow) {
  platform::TFileInfo info;
  (void)platform::Files().TryInfo(path, links, info);
  return info;
}

// The first archive directly in a job folder (held and unsent keep theirs there).
std::string KeptArchiveIn(const std::string& folder) {
  for (const std::string& name : NamesIn(folder)) {
    const std::string path = folder + "/" + name;
    if (name.size() > 4 && SameTextIgnoringCase(name.substr(name.size() - 4), ".zip") &&
        CatalogInfo(path).Kind == platform::TFileKind::kFile)
      return path;
  }
  return "";
}

// The folder a kind keeps its entries in; empty for "held", whose entries are scattered.
std::string KeptKindFolder(const std::string& kind) { return JobStoreDirectory() + "/" + kind; }

bool ReadKeptArchive(TKeptJob& job) {
  std::string bytes;
  if (!TryReadWholeFile(job.ArchivePath, bytes)) return false;
  job.Bytes = static_cast<std::int64_t>(bytes.size());
  job.Crc = archive::record::Crc32Of(bytes.data(), bytes.size());
  job.HasCrc = true;
  try {
    archive::TZipFile zip;
    zip.Open(job.ArchivePath, archive::TZipMode::zmRead);
    job.Files = static_cast<std::int64_t>(zip.FileCount());
    zip.Close();
  } catch (const Exception&) {
    job.Files = -1;
  }
  return true;
}

bool KeptEntryOf(const std::string& kind, const std::string& folder_or_file, const std::string& name, TKeptJob& job) {
  const platform::TFileInfo st = CatalogInfo(folder_or_file);
  if (st.Kind == platform::TFileKind::kMissing) return false;
  job = {};
  job.Kind = kind;
  job.Name = name;
  job.TimeMs = KeptModifiedMs(st);
  if (kind == "sent" || kind == "received") {
    if (st.Kind != platform::TFileKind::kFile) return false;
    job.ArchivePath = folder_or_file;
  } else {
    if (st.Kind != platform::TFileKind::kFolder) return false;
    job.ArchivePath = KeptArchiveIn(folder_or_file);
    if (kind == "unsent") job.FilesFolder = folder_or_file + "/files";
  }
  if (!job.ArchivePath.empty()) ReadKeptArchive(job);
  return true;
}

// A quoted journal field's text, its escapes undone.
std::string JournalQuotedField(const std::string& line, const std::string& key) {
  const std::string start = " " + key + "=\"";
  const std::size_t at = line.find(start);
  if (at == std::string::npos) return "";
  std::string text;
  for (std::size_t i = at + start.size(); i < line.size(); ++i) {
    if (line[i] == '"') break;
    if (line[i] == '\\' && i + 1 < line.size()) ++i;
    text += line[i];
  }
  return text;
}

// "<direction> crc32" -> outcome of the newest journal line, oldest rotated file first.
std::map<std::string, std::string> JournalOutcomes() {
  std::map<std::string, std::string> outcomes;
  const std::string logs = ExecutableDirectory() + "logs/";
  for (int index = 5; index >= 0; --index) {
    char name[64];
    std::snprintf(name, sizeof name, "Ostrivan.%02d.journal.log", index);
    std::string text;
    if (!TryReadWholeFile(logs + name, text)) continue;
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(start, end - start);
      start = end + 1;
      const std::size_t crc = line.find(" crc32=");
      const std::size_t head = line.find("] ");
      if (crc == std::string::npos || head == std::string::npos) continue;
      const std::size_t direction_end = line.find(' ', head + 2);
      if (direction_end == std::string::npos) continue;
      const std::string direction = line.substr(head + 2, direction_end - head - 2);
      outcomes[direction + " " + line.substr(crc + 7, 8)] = JournalQuotedField(line, "outcome");
    }
  }
  return outcomes;
}

std::string KeptCrcText(std::uint32_t crc) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", crc);
  return text;
}

// "P1001" of "20261211-081455.301-P1001": kept archives carry their time before the name.
std::string WithoutTimeStamp(const std::string& stem) {
  static constexpr const char* kPattern = "99999999-999999.999-";
  const std::size_t size = std::char_traits<char>::length(kPattern);
  if (stem.size() <= size) return stem;
  for (std::size_t i = 0; i < size; ++i)
    if (kPattern[i] == '9' ? !(stem[i] >= '0' && stem[i] <= '9') : stem[i] != kPattern[i]) return stem;
  return stem.substr(size);
}

void JournalRequeue(const TKeptJob& job, const std::string& peer, std::int32_t machine, const std::string& outcome,
                    std::int64_t files, std::int64_t file_bytes) {
  TJournalRecord record;
  record.Direction = "requeue";
  record.Machine = machine;
  record.Peer = peer;
  record.Archive = job.Kind + "/" + job.Name;
  record.Job = job.ArchivePath.empty() ? "" : FileNameText(WithoutTimeStamp(FileStem(job.ArchivePath)));
  record.Files = files;
  record.FileBytes = file_bytes;
  record.ArchiveBytes = job.Bytes;
  record.HasCrc = job.HasCrc;
  record.ArchiveCrc = job.Crc;
  record.Outcome = outcome;
  WriteJournal(record);
}

struct TRequeueFile {
  std::string Relative;
  std::int64_t Bytes = 0;
};

// Regular files below dir by relative path, folders first; false when a folder cannot be read.
bool ListRequeueTree(const std::string& dir, const std::string& relative, std::vector<TRequeueFile>& files,
                     std::vector<std::string>& folders) {
  const std::string here = relative.empty() ? dir : dir + "/" + relative;
  if (CatalogInfo(here).Kind != platform::TFileKind::kFolder) return false;
  for (const std::string& name : NamesIn(here)) {
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    const platform::TFileInfo st = CatalogInfo(dir + "/" + rel);
    if (st.Kind == platform::TFileKind::kMissing) return false;
    if (st.Kind == platform::TFileKind::kFolder) {
      folders.push_back(rel);
      if (!ListRequeueTree(dir, rel, files, folders)) return false;
    } else if (st.Kind == platform::TFileKind::kFile) {
      files.push_back({rel, st.Size});
    }
  }
  return true;
}

// Copies every file under its partial name, then names them all; any failure takes out
// what was placed and the folders made, so the export folder is as empty as it was.
bool PlaceRequeueWhole(const std::string& from, const std::string& to, const std::vector<TRequeueFile>& files,
                       const std::vector<std::string>& folders, std::string& reason, bool& mixed) {
  mixed = false;
  std::vector<std::string> made;
  std::vector<std::string> copied;
  std::vector<std::string> named;
  auto undo = [&] {
    for (const std::string& rel : named) (void)platform::Files().TryRemoveFile(to + "/" + rel);
    for (const std::string& rel : copied) (void)platform::Files().TryRemoveFile(PartialCopyName(to + "/" + rel));
    for (auto it = made.rbegin(); it != made.rend(); ++it) (void)platform::Files().TryRemoveFolder(to + "/" + *it);
    (void)TrySyncPath(to);
  };
  for (const std::string& rel : folders) {
    if (const TStatus made_here = platform::Files().TryMakeFolder(to + "/" + rel, 0777); !made_here) {
      reason = "cannot make " + to + "/" + rel + ": " + SysErrorMessageText(made_here.Code());
      undo();
      return false;
    }
    made.push_back(rel);
  }
  for (const TRequeueFile& f : files) {
    if (const int code = TryCopyUnderPartialName(from + "/" + f.Relative, to + "/" + f.Relative).Code(); code != 0) {
      reason = "cannot copy " + f.Relative + " into " + to + ": " + SysErrorMessageText(code);
      undo();
      return false;
    }
    copied.push_back(f.Relative);
  }
  // The machine may have written meanwhile: then this job does not join its files.
  std::set<std::string> ours;
  for (const std::string& rel : folders)
    if (rel.find('/') == std::string::npos) ours.insert(rel);
  for (const TRequeueFile& f : files)
    if (f.Relative.find('/') == std::string::npos) ours.insert(FileNameOf(PartialCopyName(to + "/" + f.Relative)));
  for (const std::string& name : NamesIn(to)) {
    if (ours.count(name) != 0) continue;
    reason = "the export folder " + to + " got \"" + FileNameText(name) + "\" meanwhile: jobs never mix";
    mixed = true;
    undo();
    return false;
  }
  for (const TRequeueFile& f : files) {
    if (const int code = TryNamePartialCopy(to + "/" + f.Relative).Code(); code != 0) {
      reason = "cannot name " + to + "/" + f.Relative + ": " + SysErrorMessageText(code);
      undo();
      return false;
    }
    copied.erase(std::find(copied.begin(), copied.end(), f.Relative));
    named.push_back(f.Relative);
  }
  for (const std::string& rel : folders) (void)TrySyncPath(to + "/" + rel);
  (void)TrySyncPath(to);
  return true;
}

std::atomic<unsigned> g_requeue_unpacks{0};

}  // namespace

bool IsJobKind(const std::string& kind) {
  return std::find(std::begin(kKeptKinds), std::end(kKeptKinds), kind) != std::end(kKeptKinds);
}

bool IsJobName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

std::vector<TKeptJob> ListKeptJobs(const std::string& export_dir) {
  std::vector<TKeptJob> jobs;
  TKeptJob job;
  for (const std::string& folder : HoldFolders(export_dir))
    if (KeptEntryOf("held", folder, FileNameOf(folder), job)) jobs.push_back(job);
  for (const char* kind : {"unsent", "sent", "received"}) {
    const std::string dir = KeptKindFolder(kind);
    for (const std::string& name : NamesIn(dir))
      if (KeptEntryOf(kind, dir + "/" + name, name, job)) jobs.push_back(job);
  }
  const std::map<std::string, std::string> outcomes = JournalOutcomes();
  for (TKeptJob& j : jobs) {
    if (!j.HasCrc) continue;
    const std::string direction = j.Kind == "received" ? "import" : "export";
    const auto it = outcomes.find(direction + " " + KeptCrcText(j.Crc));
    if (it != outcomes.end()) j.Outcome = it->second;
  }
  std::stable_sort(jobs.begin(), jobs.end(), [](const TKeptJob& a, const TKeptJob& b) {
    return a.TimeMs != b.TimeMs ? a.TimeMs > b.TimeMs : a.Name > b.Name;
  });
  return jobs;
}

bool FindKeptJob(const std::string& export_dir, const std::string& kind, const std::string& name, TKeptJob& job) {
  if (!IsJobKind(kind) || !IsJobName(name)) return false;
  if (kind == "held") {
    for (const std::string& folder : HoldFolders(export_dir))
      if (FileNameOf(folder) == name) return KeptEntryOf(kind, folder, name, job);
    return false;
  }
  const std::string dir = KeptKindFolder(kind);
  if (KeptEntryOf(kind, dir + "/" + name, name, job)) return true;
  // A name that is no UTF-8 is listed as its Latin-1 reading: that finds it too.
  for (const std::string& entry : NamesIn(dir))
    if (entry != name && FileNameText(entry) == name) return KeptEntryOf(kind, dir + "/" + entry, entry, job);
  return false;
}

std::vector<TProgramVersion> ListProgramVersions(const std::string& program) {
  std::vector<TProgramVersion> versions;
  for (const char* kind : {"sent", "received"}) {
    const std::string dir = KeptKindFolder(kind);
    for (const std::string& name : NamesIn(dir)) {
      const std::string path = dir + "/" + name;
      const platform::TFileInfo st = CatalogInfo(path);
      if (st.Kind != platform::TFileKind::kFile) continue;
      try {
        archive::TZipFile zip;
        zip.Open(path, archive::TZipMode::zmRead);
        for (const archive::TZipHeader& header : zip.Files()) {
          const std::string entry = archive::TZipFile::DecodeEntryName(header, "");
          const std::size_t cut = entry.find_last_of("\\/");
          const std::string last = cut == std::string::npos ? entry : entry.substr(cut + 1);
          if (!SameTextIgnoringCase(last, program)) continue;
          versions.push_back({kind, name, entry, KeptModifiedMs(st),
                              static_cast<std::int64_t>(header.GetUncompressedSize64()), header.CRC32});
        }
        zip.Close();
      } catch (const Exception&) {
        // An archive that cannot be read holds no version anyone could run.
      }
    }
  }
  std::stable_sort(versions.begin(), versions.end(), [](const TProgramVersion& a, const TProgramVersion& b) {
    return a.TimeMs != b.TimeMs ? a.TimeMs > b.TimeMs : a.Name > b.Name;
  });
  return versions;
}

TRequeueResult RequeueKeptJob(const std::string& export_dir, const std::string& kind, const std::string& name,
                              const std::string& peer, std::int32_t machine) {
  TRequeueResult result;
  TKeptJob job;
  if (!FindKeptJob(export_dir, kind, name, job)) {
    result.Status = 404;
    result.Message = "no " + kind + " job named \"" + name + "\"";
    return result;
  }
  if (kind != "unsent" && kind != "sent") {
    result.Status = 409;
    result.Message = "only unsent and sent jobs can be requeued, not " + kind + " ones";
    return result;
  }
  if (export_dir.empty() || CatalogInfo(export_dir, platform::TLinks::kFollow).Kind != platform::TFileKind::kFolder) {
    result.Status = 409;
    result.Message =
        export_dir.empty() ? "ExportLavoroDir is not set" : "the export folder " + export_dir + " is missing";
    JournalRequeue(job, peer, machine, "not requeued: " + result.Message, -1, -1);
    return result;
  }
  TDirectoryLock lock(export_dir, std::try_to_lock);
  if (!lock.Owns()) {
    result.Status = 409;
    result.Message = "the export folder " + export_dir + " is busy: a job is working on it; try again";
    JournalRequeue(job, peer, machine, "not requeued: " + result.Message, -1, -1);
    return result;
  }
  if (const std::vector<std::string> there = NamesIn(export_dir); !there.empty()) {
    result.Status = 409;
    result.Message = "the export folder " + export_dir + " is not empty (" + std::to_string(there.size()) +
                     " entries, first \"" + FileNameText(there.front()) + "\"): jobs never mix";
    JournalRequeue(job, peer, machine, "not requeued: " + result.Message, -1, -1);
    return result;
  }

  std::string source = job.FilesFolder;
  std::string unpacked;
  if (kind == "sent") {
    unpacked = JobStoreDirectory() + "/.requeue-" + std::to_string(platform::ProcessId()) + "-" +
               std::to_string(g_requeue_unpacks.fetch_add(1));
    RemoveTree(unpacked);
    try {
      if (const TStatus made = TryMakeDirectories(unpacked); !made) throw MakeOSError(made.Code(), unpacked);
      UnpackArchive(job.ArchivePath, unpacked);
    } catch (const Exception& e) {
      RemoveTree(unpacked);
      result.Message = "the archive " + job.ArchivePath + " cannot be unpacked: " + e.Message();
      JournalRequeue(job, peer, machine, "not requeued: " + result.Message, -1, -1);
      return result;
    }
    source = unpacked;
  }
  std::vector<TRequeueFile> files;
  std::vector<std::string> folders;
  if (!ListRequeueTree(source, "", files, folders) || files.empty()) {
    if (!unpacked.empty()) RemoveTree(unpacked);
    result.Message = files.empty() ? "the job holds no file" : "the job's files in " + source + " cannot be read";
    JournalRequeue(job, peer, machine, "not requeued: " + result.Message, -1, -1);
    return result;
  }
  std::int64_t bytes = 0;
  for (const TRequeueFile& f : files) bytes += f.Bytes;
  std::string reason;
  bool mixed = false;
  const bool placed = PlaceRequeueWhole(source, export_dir, files, folders, reason, mixed);
  if (!unpacked.empty()) RemoveTree(unpacked);
  if (!placed) {
    if (mixed) result.Status = 409;
    result.Message = "nothing was requeued: " + reason;
    logging::FrameworkLogError("Requeue of " + kind + "/" + name + " failed: " + reason);
    JournalRequeue(job, peer, machine, "not requeued: " + reason, -1, -1);
    return result;
  }
  result.Status = 200;
  result.Files = static_cast<std::int64_t>(files.size());
  result.Message = "requeued into " + export_dir;
  JournalRequeue(job, peer, machine, "requeued from " + kind + " into " + export_dir, result.Files, bytes);
  logging::FrameworkLogInfo("Job " + kind + "/" + name + " requeued into " + export_dir + " by " + peer);
  // Every file is in place: only now does the unsent copy go.
  if (kind == "unsent" && !RemoveTree(KeptKindFolder(kind) + "/" + job.Name))
    logging::FrameworkLogError("Requeued job unsent/" + name + " could not be removed from unsent/ entirely");
  return result;
}

}  // namespace ostrivan::jobfiles

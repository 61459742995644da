#include "jobfiles/export_packing.h"

#include <set>

#include "archive/zip_file.h"
#include "common/error.h"
#include "common/file_system.h"
#include "common/paths.h"
#include "jobfiles/job_texts.h"
#include "jobfiles/working_directory.h"
#include "jobfiles/write_watch.h"
#include "logging/framework_log.h"

namespace ostrivan::jobfiles {

namespace {

// The files of an export in the order the tree is packed, with their entry names:
// "programs\P1.NC" for programs/P1.NC.
std::vector<archive::TZipSource> PackSources(const std::string& dir, const std::vector<THeldEntry>& entries) {
  std::vector<archive::TZipSource> sources;
  for (const THeldEntry& e : entries) {
    if (!e.Packed) continue;
    // Each name as text (a name that is not UTF-8 reads as Latin-1); files are read by
    // their real names.
    std::string name;
    std::size_t start = 0;
    for (;;) {
      const std::size_t slash = e.Relative.find('/', start);
      name += FileNameText(e.Relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
      if (slash == std::string::npos) break;
      name += '\\';
      start = slash + 1;
    }
    sources.push_back({JoinPath(dir, e.Relative), name});
  }
  // Two files whose names read alike (a Latin-1 and a UTF-8 spelling, or a backslash in
  // a name beside a folder of that name) would be one entry: a client would unpack one
  // and the other would be lost when the directory is emptied.
  std::set<std::string> names;
  for (const archive::TZipSource& source : sources)
    if (!names.insert(source.ArchiveFileName).second)
      throw archive::EZipException(texts::PackingFailed(texts::RepeatedEntryName(source.ArchiveFileName)));
  return sources;
}

}  // namespace

std::vector<std::uint8_t> PackHeldExport(const std::string& dir, THeldExport& job, std::int64_t file_bytes,
                                         int settle_seconds) {
  const std::vector<archive::TZipSource> sources = PackSources(dir, job.Entries);
  std::vector<std::uint64_t> packed_sizes;
  std::vector<std::uint8_t> bytes;
  try {
    archive::TBytesStream memory;
    // Job files are text that deflates to well under half: one allocation in the
    // common case, and growth by doubling past it.
    memory.Reserve(static_cast<std::size_t>(file_bytes / 2 + 65536));
    archive::TZipFile zip;
    zip.Open(memory, archive::TZipMode::zmWrite);
    zip.AddFiles(sources);
    for (const archive::TZipHeader& h : zip.Files()) packed_sizes.push_back(h.GetUncompressedSize64());
    zip.Close();
    bytes = memory.TakeBytes();
    // Kept in the hold folder in one piece and not flushed: a process killed before
    // delivery puts the job back and drops it; after delivery it is the operator's copy.
    WriteWholeFile(job.ArchivePath(), std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  } catch (Exception& e) {
    e.SetMessage(texts::PackingFailed(e.Message()));
    throw;
  }
  std::size_t i = 0;
  for (const THeldEntry& e : job.Entries) {
    if (!e.Packed) continue;
    TFileIdentity now;
    const std::string path = JoinPath(dir, e.Relative);
    if (!ReadIdentity(path, now) || !SameVersion(now, e.Identity) ||
        packed_sizes.at(i) != static_cast<std::uint64_t>(e.Identity.Size) || StillBeingWritten(path, settle_seconds))
      throw archive::EZipException(texts::PackingFailed(texts::FileChangedWhilePacking(path)));
    ++i;
  }
  return bytes;
}

std::shared_ptr<THeldExport> SnapshotExport(const std::string& dir, const TExportSelection& selection,
                                            TJournalRecord& record) {
  // The archive is written in the hold folder, never in the directory: nothing there
  // is truncated, and a later listing never meets a half-written archive.
  std::vector<THeldEntry> tree = SnapshotTree(dir);
  std::shared_ptr<THeldExport> job = THeldExport::Create(dir);
  for (THeldEntry& e : tree) {
    if (IsJobEntry(e.Identity)) {
      job->Entries.push_back(std::move(e));
    } else {
      // Links, pipes and sockets are not a job's: they stay where they are.
      logging::FrameworkLogWarn("Export of " + dir + " skips \"" + FileNameText(JoinPath(dir, e.Relative)) +
                                "\": not a file or a folder");
    }
  }
  std::int64_t file_bytes = 0;
  std::int64_t files = 0;
  for (THeldEntry& e : job->Entries) {
    e.Packed = !e.IsDirectory && (selection.WholeTree || e.Relative == selection.Only);
    if (e.Packed) {
      ++files;
      file_bytes += e.Identity.Size;
    }
  }
  record.Files = files;
  record.FileBytes = file_bytes;
  job->Record = record;
  return job;
}

}  // namespace ostrivan::jobfiles

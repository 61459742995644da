// The kept folders beside the executable: "sent" (delivered exports and what ROTTLER
// discarded), "unsent" (jobs that could not go back) and "received" (imported archives).
#include <algorithm>
#include <cerrno>

#include "archive/zip_file.h"
#include "common/error.h"
#include "common/file_system.h"
#include "common/paths.h"
#include "jobfiles/held_export.h"
#include "jobfiles/held_layout.h"
#include "jobfiles/import_staging.h"
#include "jobfiles/kept_folders.h"
#include "jobfiles/working_directory.h"
#include "logging/framework_log.h"

namespace ostrivan::jobfiles {

using namespace held_layout;

void THeldExport::KeepSentArchive() {
  const std::string sent = StoreFolder("sent");
  if (platform::Files().TryCheckAccess(ArchivePath(), platform::TAccess::kExists)) {
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
      platform::TFileInfo info;
      if (const TStatus seen = platform::Files().TryInfo(held, platform::TLinks::kDoNotFollow, info); !seen) {
        // Only a file known gone is skipped: one that cannot be looked at keeps the folder.
        if (seen.Code() != ENOENT) failures += Quote(held) + ": " + SysErrorMessageText(seen.Code()) + " ";
        continue;
      }
      const std::string target = unsent + "/" + kFilesFolder + "/" + e->Relative;
      int code = TryMakeDirectories(ParentFolder(target)).Code();
      if (code == 0) code = TryMoveNoReplace(held, target).Code();
      if (code != 0) failures += Quote(held) + ": " + SysErrorMessageText(code) + " ";
      names += (names.empty() ? "" : ", ") + Quote(JoinPath(origin_, e->Relative));
    }
    if (Present(ArchivePath())) {
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

void PruneKeptFolder(const std::string& dir, const TKeepLimits& keep) {
  struct TKept {
    std::string path;
    std::int64_t size;
    std::int64_t modified_ns;
  };
  std::vector<TKept> kept;
  for (const std::string& name : NamesIn(dir)) {
    platform::TFileInfo info;
    const std::string path = dir + "/" + name;
    if (platform::Files().TryInfo(path, platform::TLinks::kDoNotFollow, info) &&
        info.Kind == platform::TFileKind::kFile)
      kept.push_back({path, info.Size, info.Modified.Seconds * 1000000000 + info.Modified.Nanoseconds});
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
    if (count > 1 && (count > keep.Count || total > keep.Bytes)) (void)platform::Files().TryRemoveFile(k.path);
  }
}

TReceivedCopy::TReceivedCopy(const std::string& client_name, const std::string& zip_path, const TKeepLimits& keep)
    : keep_(keep) {
  const std::size_t slash = client_name.find_last_of("/\\");
  std::string name = client_name.substr(slash == std::string::npos ? 0 : slash + 1);
  // The client's name as far as it is a plain file name: never a path, never hidden.
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
  name.erase(0, name.find_first_not_of('.'));
  if (name.empty()) name = kImportArchiveName;
  dir_ = JobStoreDirectory() + "/received";
  path_ = dir_ + "/" + KeptName(name);
  partial_ = PartialCopyName(path_);
  code_ = TryMakeDirectories(dir_).Code();
  if (code_ == 0) {
    (void)platform::Files().TryRemoveFile(partial_);
    linked_ = platform::Files().TryHardLink(zip_path, partial_).Ok();
  }
}

TReceivedCopy::~TReceivedCopy() {
  if (!kept_) (void)platform::Files().TryRemoveFile(partial_);
}

void TReceivedCopy::Keep(const std::string& archive) {
  int code = code_;
  if (code == 0 && !linked_) {
    code = TryWriteWholeFile(partial_, archive, TWriteOptions{.Mode = 0644}).Code();
  }
  // Named only once whole, so "received" never shows a cut archive.
  if (code == 0) code = platform::Files().TryRenameReplacing(partial_, path_).Code();
  if (code != 0) {
    logging::FrameworkLogError("Import archive not kept in \"" + dir_ + "\": " + SysErrorMessageText(code));
    return;
  }
  kept_ = true;
  PruneKeptFolder(dir_, keep_);
}

}  // namespace ostrivan::jobfiles

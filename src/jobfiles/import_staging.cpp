#include "jobfiles/import_staging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <system_error>

#include "archive/zip_file.h"
#include "common/error.h"
#include "common/file_descriptor.h"
#include "jobfiles/job_files.h"
#include "jobfiles/job_texts.h"
#include "jobfiles/working_directory.h"
#include "logging/framework_log.h"

namespace ostrivan::jobfiles {

namespace {

const char* const kJobFolder = "job";
const char* const kCompleteMark = "complete";
const char* const kOldFolder = "old";

// Each unpacking thread holds up to a few megabytes of an entry: past four, memory grows
// with the processor count and little time is won.
unsigned UnpackThreads() { return std::clamp(std::thread::hardware_concurrency(), 1u, 4u); }

// Moves every entry of the unpacked tree to the import directory. A name in the way
// (there should be none: the directory was emptied) is replaced, as unpacking would.
// Returns 0 or the errno of the entry that could not be moved.
int MoveJobIntoPlace(const std::string& job, const std::string& dir, std::vector<std::string>& moved,
                     std::string* failed = nullptr) {
  for (const std::string& name : NamesIn(job)) {
    const std::string from = job + "/" + name;
    const std::string to = JoinPath(dir, name);
    if (::rename(from.c_str(), to.c_str()) != 0) {
      RemoveTree(to);
      if (::rename(from.c_str(), to.c_str()) != 0) {
        if (failed != nullptr) *failed = to;
        return errno;
      }
    }
    moved.push_back(to);
  }
  return 0;
}

// The first folder or file name of an entry: "a\\b/c" and "./a/b" -> "a".
std::string FirstNameOf(const std::string& entry) {
  std::size_t start = 0;
  while (start < entry.size()) {
    const std::size_t end = std::min(entry.find_first_of("/\\", start), entry.size());
    const std::string part = entry.substr(start, end - start);
    if (!part.empty() && part != ".") return part;
    start = end + 1;
  }
  return {};
}

// A message about a file being unpacked names it where the job puts it, as the machine
// sees it: "<dir>/ro.txt", not "<dir>/.ostrivan-import/job/ro.txt".
std::string AsSeenInDirectory(std::string message, const std::string& job_prefix, const std::string& dir) {
  const std::string target = dir.empty() || dir.back() == '/' ? dir : dir + "/";
  for (std::size_t at = message.find(job_prefix); at != std::string::npos;
       at = message.find(job_prefix, at + target.size()))
    message.replace(at, job_prefix.size(), target);
  return message;
}

// The job's name as an export would give it: the first file directly in "programs".
std::string JobNameOf(const std::vector<std::string>& entry_names) {
  std::string best;
  std::string best_key;
  for (const std::string& raw : entry_names) {
    std::string name = raw;
    std::replace(name.begin(), name.end(), '\\', '/');
    const std::size_t slash = name.find('/');
    if (slash == std::string::npos || !SameTextIgnoringCase(name.substr(0, slash), "programs")) continue;
    const std::string rest = name.substr(slash + 1);
    if (rest.empty() || rest.find('/') != std::string::npos) continue;
    const std::string key = UpperCaseText(rest);
    if (best.empty() || key < best_key) {
      best = rest;
      best_key = key;
    }
  }
  return best.empty() ? best : FileStem(best);
}

// Files (anything but folders) below path, links not followed; 0 when it is no folder.
long long FilesBelow(const std::string& path) {
  long long count = 0;
  for (const std::string& name : NamesIn(path)) {
    const std::string entry = path + "/" + name;
    struct stat st {};
    if (::lstat(entry.c_str(), &st) != 0) continue;
    count += S_ISDIR(st.st_mode) ? FilesBelow(entry) : 1;
  }
  return count;
}

// The files of "programs" among the top names of dir, named as archive entries for
// JobNameOf: "programs/P1.NC".
std::vector<std::string> ProgramsBelow(const std::string& dir, const std::vector<std::string>& top) {
  std::vector<std::string> entries;
  for (const std::string& name : top)
    if (SameTextIgnoringCase(name, "programs"))
      for (const std::string& file : NamesIn(JoinPath(dir, name))) {
        struct stat st {};
        if (::lstat(JoinPath(dir, name + "/" + file).c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
          entries.push_back(name + "/" + file);
      }
  return entries;
}

}  // namespace

TImportStaging::TImportStaging(std::string import_dir) : dir_(std::move(import_dir)) {
  RecoverImport(dir_);
  staging_ = JoinPath(dir_, kImportStagingName);
  if (::mkdir(staging_.c_str(), 0700) == 0) return;
  // A directory this account cannot write fails at the step a plain import fails at:
  // emptying it when it holds something, else creating the received archive.
  const int code = errno;
  bool empty = true;
  for (const std::string& name : NamesIn(dir_))
    if (name != kImportStagingName) empty = false;
  if (!empty) throw EOSError(texts::EmptyingFailed(dir_));
  throw CannotCreateFile(JoinPath(dir_, kImportArchiveName), code);
}

TImportStaging::~TImportStaging() {
  WaitForRemoval();
  if (!committed_) RemoveTree(staging_);
}

namespace {

// What the emptying could not remove (below subfolders, as the rule allows) stays beside
// the new job: each such file is named, so nobody takes it for part of the job.
void ReportLeftFiles(const std::string& root, const std::string& dir, const std::string& keep) {
  for (const std::string& name : NamesIn(dir)) {
    if (dir == root && name == keep) continue;
    const std::string path = dir + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      ReportLeftFiles(root, path, keep);
    } else {
      logging::FrameworkLogWarn("Import into " + FileNameText(root) + " leaves \"" + FileNameText(path) +
                                "\" of the previous job: it could not be removed and stays beside the new job");
    }
  }
}

}  // namespace

void TImportStaging::EmptyImportDirectory() {
  const std::string old = staging_ + "/" + kOldFolder;
  if (::mkdir(old.c_str(), 0700) != 0) {
    EmptyDirectory(dir_, kImportStagingName);
    ReportLeftFiles(dir_, dir_, kImportStagingName);
    return;
  }
  // Removing a job that was flushed frees its blocks, which can wait on the device for
  // each file; moved aside, it goes while the new one is received.
  try {
    EmptyDirectory(dir_, kImportStagingName, old);
  } catch (...) {
    RemoveTree(old);
    throw;
  }
  ReportLeftFiles(dir_, dir_, kImportStagingName);
  try {
    removal_ = std::thread([old] { RemoveTreeConcurrently(old); });
  } catch (const std::system_error&) {
    RemoveTree(old);
  }
}

void TImportStaging::MakeRoom(std::uint64_t bytes) {
  if (!removal_.joinable()) return;
  struct statvfs vfs {};
  if (::statvfs(dir_.c_str(), &vfs) != 0) return WaitForRemoval();
  // Twice the bytes, for the blocks and folders they take beyond their size: a nearly
  // full disk gets the old job's room first, as when it was removed before anything else.
  const std::uint64_t free = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  if (bytes > free / 2 || free - 2 * bytes < (1u << 20)) WaitForRemoval();
}

void TImportStaging::WaitForRemoval() {
  if (removal_.joinable()) removal_.join();
}

TImportSummary TImportStaging::Unpack(const std::string& zip_path) { return UnpackFrom(zip_path, nullptr); }

TImportSummary TImportStaging::Unpack(const std::string& zip_path, std::string_view archive) {
  archive::TMemoryView bytes(archive.data(), archive.size());
  return UnpackFrom(zip_path, &bytes);
}

TImportSummary TImportStaging::UnpackFrom(const std::string& zip_path, archive::TStream* archive) {
  const std::string job = staging_ + "/" + kJobFolder;
  TImportSummary summary;
  archive::TZipFile zip;
  try {
    // Each file's write-back starts as soon as it is complete, so the flush below mostly
    // finds it done.
    zip.SetOnProgress([](const std::string& file, const archive::TZipHeader&, std::uint64_t) {
      TFileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
      if (fd.get() >= 0) ::sync_file_range(fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    });
    if (archive != nullptr) zip.Open(*archive, archive::TZipMode::zmRead);
    else zip.Open(zip_path, archive::TZipMode::zmRead);
    std::vector<std::string> names;
    for (const archive::TZipHeader& h : zip.Files()) {
      const std::string name = archive::TZipFile::DecodeEntryName(h, "");
      names.push_back(name);
      // The staging folder's own name would put the entry over the staging folder itself
      // when the job moves into place: that name is the service's.
      if (FirstNameOf(name) == kImportStagingName)
        throw archive::EZipException(std::string("Zip entry name reserved for the service's staging folder ") +
                                     kImportStagingName + ": \"" + name + "\"");
      if (name.empty() || name.back() == '/' || name.back() == '\\') continue;
      ++summary.Files;
      // Sizes are what the archive claims: the sum saturates rather than wraps.
      const std::uint64_t size = h.GetUncompressedSize64();
      const std::uint64_t room = static_cast<std::uint64_t>(std::numeric_limits<long long>::max() - summary.FileBytes);
      summary.FileBytes =
          size > room ? std::numeric_limits<long long>::max() : summary.FileBytes + static_cast<long long>(size);
    }
    summary.Job = JobNameOf(names);
    MakeRoom(static_cast<std::uint64_t>(summary.FileBytes));
    // Every entry's CRC is checked as it is written; a damaged one fails here, before
    // any file of the job has its final name.
    zip.ExtractAll(job, archive != nullptr ? UnpackThreads() : 1);
    zip.Close();
    // An entry that lands on the received archive's own name is refused, as unpacking
    // beside the open archive on the workstation refuses it; the archive stays intact.
    if (PathExists(job + "/" + kImportArchiveName))
      throw archive::EZipException(CannotCreateFileText(zip_path, EBUSY), zip_path, EBUSY);
  } catch (Exception& e) {
    const int cause = archive::TZipFile::LastWriteError();
    if (cause != 0)
      logging::FrameworkLogError("Import into " + dir_ + " failed writing its files: " + SysErrorMessageText(cause));
    RemoveTree(job);
    e.SetMessage(texts::UnpackingFailed(AsSeenInDirectory(e.Message(), job + "/", dir_)));
    throw;
  }
  // Unpacked and checked: the received archive goes now, before the flush, so its
  // bytes are dropped rather than written out.
  if (::unlink(zip_path.c_str()) != 0) {
    const int code = errno;
    RemoveTree(job);
    throw EOSError(SysErrorMessageText(code), zip_path, code);
  }
  // Files and folders on disk before the mark says the job is whole. Each is flushed on
  // its own, several at once: a flush of the whole file system would also wait for
  // whatever else is being written there.
  const int code = TrySyncTreeConcurrently(job).Code();
  if (code != 0) {
    logging::FrameworkLogError("Import into " + dir_ + " failed flushing its files: " + SysErrorMessageText(code));
    RemoveTree(job);
    throw EWriteError(texts::UnpackingFailed(kStreamWriteError));
  }
  // Only its name counts. It is flushed before any file moves: a file system that does
  // not order its metadata (ext4 without a journal) could otherwise keep the moves and
  // lose the mark, and the next start would undo a job already reported imported.
  {
    TFileDescriptor mark(::open((staging_ + "/" + kCompleteMark).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    if (mark.get() < 0) {
      logging::FrameworkLogError("Import into " + dir_ + " failed marking its files whole in " + staging_ + ": " +
                                 SysErrorMessageText(errno));
      RemoveTree(job);
      throw EWriteError(texts::UnpackingFailed(kStreamWriteError));
    }
  }
  const int marked = TrySyncPath(staging_).Code();
  if (marked != 0) {
    logging::FrameworkLogError("Import into " + dir_ + " failed flushing its files: " + SysErrorMessageText(marked));
    RemoveTree(job);
    throw EWriteError(texts::UnpackingFailed(kStreamWriteError));
  }
  return summary;
}

void TImportStaging::Commit() {
  std::vector<std::string> moved;
  std::string failed;
  const int code = MoveJobIntoPlace(staging_ + "/" + kJobFolder, dir_, moved, &failed);
  if (code != 0) {
    // None of the job stays rather than part of it.
    for (const std::string& path : moved) RemoveTree(path);
    logging::FrameworkLogError("Import into " + dir_ +
                               " failed moving its files into place: " + SysErrorMessageText(code));
    throw EFCreateError(texts::UnpackingFailed(CannotCreateFileText(failed, code)), failed, code);
  }
  committed_ = true;
  // The reply that follows promises the job survives a power loss.
  const int sync = TrySyncPath(dir_).Code();
  WaitForRemoval();
  // The mark goes last: a staging folder that stays for any reason still says "finish".
  RemoveTree(staging_ + "/" + kJobFolder);
  RemoveTree(staging_ + "/" + kOldFolder);
  ::unlink((staging_ + "/" + kCompleteMark).c_str());
  RemoveTree(staging_);
  if (sync != 0) {
    logging::FrameworkLogError("Import into " + dir_ + " failed flushing its files: " + SysErrorMessageText(sync));
    throw EWriteError(texts::UnpackingFailed(kStreamWriteError));
  }
}

TImportRecovery RecoverImport(const std::string& import_dir) {
  TImportRecovery found;
  const std::string staging = JoinPath(import_dir, kImportStagingName);
  if (!PathExists(staging)) return found;
  found.Found = true;
  found.JobFiles = FilesBelow(staging + "/" + kJobFolder);
  found.Files = found.JobFiles + FilesBelow(staging + "/" + kOldFolder);
  const std::string seen = "Import into " + import_dir + " was interrupted: found " + staging + " holding " +
                           std::to_string(found.Files) + " files (" + std::to_string(found.JobFiles) +
                           " of the new job, ";
  if (PathExists(staging + "/" + kCompleteMark)) {
    // The job was whole and durable: finish putting it in place.
    ::unlink(JoinPath(import_dir, kImportArchiveName).c_str());
    std::vector<std::string> moved;
    const int code = MoveJobIntoPlace(staging + "/" + kJobFolder, import_dir, moved);
    if (code != 0) {
      // The job stays whole in the staging folder, and the next start tries again.
      logging::FrameworkLogError(seen + "whole); it could not be finished: " + SysErrorMessageText(code) +
                                 "; the job stays in " + staging);
      return found;
    }
    found.Finished = true;
    std::vector<std::string> names;
    for (const std::string& path : moved) names.push_back(path.substr(path.find_last_of('/') + 1));
    found.Job = JobNameOf(ProgramsBelow(import_dir, names));
    logging::FrameworkLogWarn(seen + "whole): finished, the new job took its place");
  } else {
    // Killed before the job was whole: the import had begun emptying the directory, so
    // finish that, and drop what was unpacked.
    long long left = 0;
    for (const std::string& name : NamesIn(import_dir)) {
      if (name == kImportStagingName) continue;
      left += std::max(1LL, FilesBelow(JoinPath(import_dir, name)));
      RemoveTree(JoinPath(import_dir, name));
    }
    logging::FrameworkLogWarn(
        seen + "not whole): undone, the folder emptied as the import had begun to empty it" +
        (left > 0 ? " (" + std::to_string(left) + " files of the previous contents were still in it)" : std::string()));
  }
  found.Settled = true;
  (void)TrySyncPath(import_dir);
  RemoveTree(staging);
  (void)TrySyncPath(import_dir);
  return found;
}

}  // namespace ostrivan::jobfiles

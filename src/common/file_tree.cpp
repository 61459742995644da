#include "common/file_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "common/concurrently.h"
#include "common/error.h"
#include "common/file_descriptor.h"
#include "common/file_system.h"
#include "common/paths.h"

namespace ostrivan {

std::string PartialCopyName(const std::string& to) {
  const std::size_t slash = to.find_last_of('/');
  const std::string dir = slash == std::string::npos ? std::string() : to.substr(0, slash + 1);
  return dir + "." + (slash == std::string::npos ? to : to.substr(slash + 1)) + ".ostrivan-partial";
}

int CopyUnderPartialName(const std::string& from, const std::string& to, struct stat* copied) {
  TFileDescriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (in.get() < 0) return errno;
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EXDEV;
  const std::string partial = PartialCopyName(to);
  ::unlink(partial.c_str());  // left by a copy that was cut short
  TFileDescriptor out(::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (out.get() < 0) return errno;
  const auto fail = [&](int code) {
    ::unlink(partial.c_str());
    return code;
  };
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    const int code = n < 0 ? errno : WriteAll(out.get(), std::string_view(buffer, static_cast<std::size_t>(n)));
    if (code != 0) return fail(code);
    if (n == 0) break;
  }
  if (::fchmod(out.get(), st.st_mode & 07777) != 0) return fail(errno);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::futimens(out.get(), times) != 0) return fail(errno);
  if (copied != nullptr && ::fstat(out.get(), copied) != 0) return fail(errno);
  if (::fsync(out.get()) != 0 || ::close(out.release()) != 0) return fail(errno);
  return 0;
}

int NamePartialCopy(const std::string& to) {
  const std::string partial = PartialCopyName(to);
  // Never over a file that appeared meanwhile.
  if (::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
    const int code = errno;
    if (code != EINVAL && code != ENOSYS) return code;
    if (::link(partial.c_str(), to.c_str()) != 0) return errno;
    ::unlink(partial.c_str());
  }
  const int synced = SyncPath(ParentFolder(to));
  return synced == EINVAL ? 0 : synced;  // a file system that cannot flush folders has nothing to lose
}

namespace {

// Copies a regular file with its mode and times, flushed, to a new name: written under
// its partial name first and renamed only once whole and on disk.
int CopyFileExclusive(const std::string& from, const std::string& to) {
  struct stat taken {};
  if (::lstat(to.c_str(), &taken) == 0) return EEXIST;
  if (const int code = CopyUnderPartialName(from, to); code != 0) return code;
  const int code = NamePartialCopy(to);
  if (code != 0) ::unlink(PartialCopyName(to).c_str());
  return code;
}

}  // namespace

int SyncPath(const std::string& path) {
  TFileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return errno;
  return ::fsync(fd.get()) == 0 ? 0 : errno;
}

int TryWriteFileDurably(const std::string& path, const std::string& text) {
  const std::string temp = path + ".tmp";
  int code = 0;
  WriteWholeFile(temp, text, TWriteOptions{.Mode = 0644, .Sync = true}, &code);
  if (code == 0 && ::rename(temp.c_str(), path.c_str()) != 0) code = errno;
  if (code != 0) {
    ::unlink(temp.c_str());
    return code;
  }
  // The new name is durable only once its folder is.
  const int synced = SyncPath(ParentFolder(path));
  return synced == EINVAL ? 0 : synced;  // a file system that cannot flush folders
}

void WriteFileDurably(const std::string& path, const std::string& text) {
  const int code = TryWriteFileDurably(path, text);
  if (code != 0) throw MakeOSError(code, path);
}

bool MakeDirectories(const std::string& dir, mode_t mode) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::string parent = ParentFolder(dir);
  if (parent != dir && !MakeDirectories(parent, 0777)) return false;
  if (::mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) return false;
  return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RemoveTree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0;
  ::chmod(path.c_str(), (st.st_mode & 07777) | S_IRWXU);
  bool all = true;
  for (const std::string& name : NamesIn(path)) all = RemoveTree(path + "/" + name) && all;
  return ::rmdir(path.c_str()) == 0 && all;
}

namespace {

// Every file and folder below dir, folders by depth. For a removal each folder gets its
// owner's permissions back so that its entries can go.
void CollectTree(const std::string& dir, std::size_t depth, bool removal, std::vector<std::string>& files,
                 std::vector<std::vector<std::string>>& folders) {
  struct stat st {};
  if (removal && ::lstat(dir.c_str(), &st) == 0) ::chmod(dir.c_str(), (st.st_mode & 07777) | S_IRWXU);
  if (folders.size() <= depth) folders.resize(depth + 1);
  folders[depth].push_back(dir);
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> below;
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = dir + "/" + name;
    bool is_dir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN) is_dir = ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    (is_dir ? below : files).push_back(std::move(path));
  }
  ::closedir(d);
  for (const std::string& sub : below) CollectTree(sub, depth + 1, removal, files, folders);
}

}  // namespace

int SyncTreeConcurrently(const std::string& path, unsigned threads) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno;
  std::vector<std::string> all;
  if (S_ISDIR(st.st_mode)) {
    std::vector<std::vector<std::string>> folders;
    CollectTree(path, 0, false, all, folders);
    for (auto& level : folders)
      for (std::string& folder : level) all.push_back(std::move(folder));
  } else {
    all.push_back(path);
  }
  std::atomic<int> first{0};
  ForEachConcurrently(all.size(), threads, [&](std::size_t i, unsigned) {
    struct stat entry {};
    if (::lstat(all[i].c_str(), &entry) == 0 && S_ISLNK(entry.st_mode)) return;  // nothing of its own to flush
    const int code = SyncPath(all[i]);
    int none = 0;
    if (code != 0) first.compare_exchange_strong(none, code);
  });
  return first;
}

bool RemoveTreeConcurrently(const std::string& path, unsigned threads) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0;
  std::vector<std::string> files;
  std::vector<std::vector<std::string>> folders;
  CollectTree(path, 0, true, files, folders);
  std::atomic<bool> all{true};
  ForEachConcurrently(files.size(), threads, [&](std::size_t i, unsigned) {
    if (::unlink(files[i].c_str()) != 0 && errno != ENOENT) all = false;
  });
  for (std::size_t depth = folders.size(); depth-- > 0;) {
    const std::vector<std::string>& level = folders[depth];
    ForEachConcurrently(level.size(), threads, [&](std::size_t i, unsigned) {
      if (::rmdir(level[i].c_str()) != 0 && errno != ENOENT) all = false;
    });
  }
  return all;
}

int RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  const int code = errno;
  if (code != EINVAL && code != ENOSYS) return code;
  // A file system without the flag: a hard link refuses a taken name just as well.
  struct stat st {};
  if (::lstat(from.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    if (::unlink(from.c_str()) != 0) {
      const int kept = errno;
      ::unlink(to.c_str());
      return kept;
    }
    return 0;
  }
  if (::lstat(to.c_str(), &st) == 0) return EEXIST;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int MoveNoReplace(const std::string& from, const std::string& to) {
  int code = RenameNoReplace(from, to);
  if (code != EXDEV) return code;
  code = CopyFileExclusive(from, to);
  if (code != 0) return code;
  // A source that stays was not moved: the copy goes again, so the file is in one place.
  if (::unlink(from.c_str()) != 0) {
    const int kept = errno;
    ::unlink(to.c_str());
    return kept;
  }
  return 0;
}

std::vector<std::string> NamesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace ostrivan

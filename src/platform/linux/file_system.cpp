// The file system as Linux gives it.
#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>  // renameat2
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ostrivan::platform {

namespace {

TStatus Failed(const std::string& path) { return TStatus(errno, path); }

TFileKind KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return TFileKind::kFile;
  if (S_ISDIR(mode)) return TFileKind::kFolder;
  if (S_ISLNK(mode)) return TFileKind::kLink;
  return TFileKind::kOther;
}

TFileTime TimeOf(const struct timespec& t) { return TFileTime{t.tv_sec, t.tv_nsec}; }

struct timespec SpecOf(TFileTime t) {
  struct timespec spec {};
  spec.tv_sec = static_cast<time_t>(t.Seconds);
  spec.tv_nsec = static_cast<long>(t.Nanoseconds);
  return spec;
}

void FillInfo(const struct stat& st, TFileInfo& info) {
  info.Kind = KindOfMode(st.st_mode);
  info.Size = static_cast<std::int64_t>(st.st_size);
  info.Permissions = static_cast<unsigned>(st.st_mode & 07777);
  info.Modified = TimeOf(st.st_mtim);
  info.Accessed = TimeOf(st.st_atim);
  info.Changed = TimeOf(st.st_ctim);
  info.Device = static_cast<std::uint64_t>(st.st_dev);
  info.Inode = static_cast<std::uint64_t>(st.st_ino);
  info.Links = static_cast<std::uint64_t>(st.st_nlink);
}

int OpenRetrying(const std::string& path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

class TLinuxFile final : public TFile {
 public:
  TLinuxFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~TLinuxFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  TLinuxFile(const TLinuxFile&) = delete;
  TLinuxFile& operator=(const TLinuxFile&) = delete;

  TStatus TryRead(void* buffer, std::size_t count, std::size_t& got) override {
    got = 0;
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, count);
      if (n >= 0) {
        got = static_cast<std::size_t>(n);
        return {};
      }
      if (errno != EINTR) return Failed(path_);
    }
  }

  TStatus TryReadAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& got) override {
    got = 0;
    for (;;) {
      const ssize_t n = ::pread(fd_, buffer, count, static_cast<off_t>(offset));
      if (n >= 0) {
        got = static_cast<std::size_t>(n);
        return {};
      }
      if (errno != EINTR) return Failed(path_);
    }
  }

  TStatus TryWrite(std::string_view bytes) override {
    while (!bytes.empty()) {
      const ssize_t put = ::write(fd_, bytes.data(), bytes.size());
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return TStatus(put < 0 ? errno : ENOSPC, path_);
      bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    return {};
  }

  TStatus TrySeek(std::int64_t offset, TSeekFrom from, std::int64_t& position) override {
    const int whence = from == TSeekFrom::kBeginning ? SEEK_SET : from == TSeekFrom::kCurrent ? SEEK_CUR : SEEK_END;
    const off_t at = ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (at < 0) return Failed(path_);
    position = static_cast<std::int64_t>(at);
    return {};
  }

  TStatus TryResize(std::int64_t size) override {
    return ::ftruncate(fd_, static_cast<off_t>(size)) == 0 ? TStatus() : Failed(path_);
  }

  TStatus TrySync() override { return ::fsync(fd_) == 0 ? TStatus() : Failed(path_); }

  TStatus TryInfo(TFileInfo& info) override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
      info = TFileInfo{};
      return Failed(path_);
    }
    FillInfo(st, info);
    return {};
  }

  TStatus TrySetPermissions(unsigned permissions) override {
    return ::fchmod(fd_, static_cast<mode_t>(permissions)) == 0 ? TStatus() : Failed(path_);
  }

  TStatus TrySetTimes(TFileTime accessed, TFileTime modified) override {
    const struct timespec times[2] = {SpecOf(accessed), SpecOf(modified)};
    return ::futimens(fd_, times) == 0 ? TStatus() : Failed(path_);
  }

  TStatus TryClose() override {
    if (fd_ < 0) return TStatus(EBADF, path_);
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? TStatus() : Failed(path_);
  }

 private:
  int fd_;
  std::string path_;
};

constexpr std::uint32_t kWatchedChanges = IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                          IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

std::uint32_t ChangesOf(std::uint32_t mask) {
  std::uint32_t changes = 0;
  if ((mask & IN_Q_OVERFLOW) != 0) changes |= kChangeOverflow;
  if ((mask & IN_IGNORED) != 0) changes |= kChangeFolderGone;
  if ((mask & IN_ISDIR) != 0) changes |= kChangeIsFolder;
  if ((mask & IN_CREATE) != 0) changes |= kChangeCreated;
  if ((mask & IN_MODIFY) != 0) changes |= kChangeModified;
  if ((mask & IN_CLOSE_WRITE) != 0) changes |= kChangeClosedAfterWrite;
  if ((mask & IN_DELETE) != 0) changes |= kChangeRemoved;
  if ((mask & IN_MOVED_FROM) != 0) changes |= kChangeMovedFrom;
  if ((mask & IN_MOVED_TO) != 0) changes |= kChangeMovedTo;
  return changes;
}

class TLinuxChangeWatch final : public TChangeWatch {
 public:
  TLinuxChangeWatch(int notify, int wake) : notify_(notify), wake_(wake) {}
  ~TLinuxChangeWatch() override {
    ::close(notify_);
    ::close(wake_);
  }
  TLinuxChangeWatch(const TLinuxChangeWatch&) = delete;
  TLinuxChangeWatch& operator=(const TLinuxChangeWatch&) = delete;

  TStatus TryAddFolder(const std::string& path, int& folder) override {
    folder = ::inotify_add_watch(notify_, path.c_str(), kWatchedChanges);
    return folder >= 0 ? TStatus() : Failed(path);
  }

  void RemoveFolder(int folder) override { ::inotify_rm_watch(notify_, folder); }

  void TakeEvents(std::vector<TChangeEvent>& events) override {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
      const ssize_t got = ::read(notify_, buffer, sizeof buffer);
      if (got <= 0) break;
      for (ssize_t at = 0; at < got;) {
        inotify_event event{};
        std::memcpy(&event, buffer + at, sizeof event);
        const char* name = buffer + at + sizeof event;
        events.push_back(TChangeEvent{event.wd, ChangesOf(event.mask), event.cookie,
                                      event.len > 0 ? std::string(name) : std::string()});
        at += static_cast<ssize_t>(sizeof event + event.len);
      }
    }
  }

  bool Wait() override {
    for (;;) {
      pollfd fds[2] = {{notify_, POLLIN, 0}, {wake_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      return fds[1].revents == 0;
    }
  }

  void Stop() override {
    const std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
  }

 private:
  int notify_;
  int wake_;
};

class TLinuxFileSystem final : public TFileSystem {
 public:
  TStatus TryOpen(const std::string& path, const TOpenOptions& options, std::unique_ptr<TFile>& file) override {
    file.reset();
    int flags = options.Write ? O_RDWR : O_RDONLY;
    if (!options.FollowLinks) flags |= O_NOFOLLOW;
    if (options.NoWait) flags |= O_NONBLOCK;
    const int fd = OpenRetrying(path, flags);
    if (fd < 0) return Failed(path);
    file = std::make_unique<TLinuxFile>(fd, path);
    return {};
  }

  TStatus TryCreate(const std::string& path, const TCreateOptions& options, std::unique_ptr<TFile>& file) override {
    file.reset();
    int flags = (options.Read ? O_RDWR : O_WRONLY) | O_CREAT;
    switch (options.Mode) {
      case TCreateMode::kTruncate: flags |= O_TRUNC; break;
      case TCreateMode::kExclusive: flags |= O_EXCL; break;
      case TCreateMode::kKeep: break;
    }
    if (options.Append) flags |= O_APPEND;
    if (!options.FollowLinks) flags |= O_NOFOLLOW;
    const int fd = OpenRetrying(path, flags, static_cast<mode_t>(options.Permissions));
    if (fd < 0) return Failed(path);
    file = std::make_unique<TLinuxFile>(fd, path);
    return {};
  }

  TStatus TryInfo(const std::string& path, TLinks links, TFileInfo& info) override {
    struct stat st {};
    const int rc = links == TLinks::kFollow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    if (rc != 0) {
      info = TFileInfo{};
      return Failed(path);
    }
    FillInfo(st, info);
    return {};
  }

  TStatus TryCheckAccess(const std::string& path, TAccess access) override {
    const int mode = access == TAccess::kExists ? F_OK : access == TAccess::kRead ? R_OK : W_OK | X_OK;
    return ::access(path.c_str(), mode) == 0 ? TStatus() : Failed(path);
  }

  TStatus TryListFolder(const std::string& path, std::vector<TFolderEntry>& entries) override {
    entries.clear();
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return Failed(path);
    while (dirent* e = ::readdir(dir)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      TFolderEntry entry{e->d_name, TFileKind::kOther};
      switch (e->d_type) {
        case DT_REG: entry.Kind = TFileKind::kFile; break;
        case DT_DIR: entry.Kind = TFileKind::kFolder; break;
        case DT_LNK: entry.Kind = TFileKind::kLink; break;
        case DT_UNKNOWN: {
          // Some file systems do not say in the listing.
          struct stat st {};
          entry.Kind = ::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 ? KindOfMode(st.st_mode)
                                                                                         : TFileKind::kMissing;
          break;
        }
        default: break;
      }
      entries.push_back(std::move(entry));
    }
    ::closedir(dir);
    return {};
  }

  TStatus TryMakeFolder(const std::string& path, unsigned permissions) override {
    return ::mkdir(path.c_str(), static_cast<mode_t>(permissions)) == 0 ? TStatus() : Failed(path);
  }

  TStatus TryRemoveFolder(const std::string& path) override {
    return ::rmdir(path.c_str()) == 0 ? TStatus() : Failed(path);
  }

  TStatus TryRemoveFile(const std::string& path) override {
    return ::unlink(path.c_str()) == 0 ? TStatus() : Failed(path);
  }

  TStatus TryRenameNoReplace(const std::string& from, const std::string& to) override {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
    const int code = errno;
    if (code != EINVAL && code != ENOSYS) return TStatus(code, from);
    // A file system without the flag: a hard link refuses a taken name just as well.
    struct stat st {};
    if (::lstat(from.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
      if (::link(from.c_str(), to.c_str()) != 0) return Failed(from);
      if (::unlink(from.c_str()) != 0) {
        const int kept = errno;
        ::unlink(to.c_str());
        return TStatus(kept, from);
      }
      return {};
    }
    if (::lstat(to.c_str(), &st) == 0) return TStatus(EEXIST, to);
    return ::rename(from.c_str(), to.c_str()) == 0 ? TStatus() : Failed(from);
  }

  TStatus TryRenameReplacing(const std::string& from, const std::string& to) override {
    return ::rename(from.c_str(), to.c_str()) == 0 ? TStatus() : Failed(from);
  }

  TStatus TryHardLink(const std::string& existing, const std::string& name) override {
    return ::link(existing.c_str(), name.c_str()) == 0 ? TStatus() : Failed(name);
  }

  TStatus TrySetPermissions(const std::string& path, unsigned permissions) override {
    return ::chmod(path.c_str(), static_cast<mode_t>(permissions)) == 0 ? TStatus() : Failed(path);
  }

  TStatus TrySetTimes(const std::string& path, std::optional<TFileTime> accessed, TFileTime modified) override {
    struct timespec times[2] = {{0, UTIME_OMIT}, SpecOf(modified)};
    if (accessed) times[0] = SpecOf(*accessed);
    return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? TStatus() : Failed(path);
  }

  TStatus TrySync(const std::string& path) override {
    const int fd = OpenRetrying(path, O_RDONLY);
    if (fd < 0) return Failed(path);
    const TStatus synced = ::fsync(fd) == 0 ? TStatus() : Failed(path);
    ::close(fd);
    return synced;
  }

  TStatus TryFreeSpace(const std::string& path, std::uint64_t& bytes) override {
    struct statvfs vfs {};
    if (::statvfs(path.c_str(), &vfs) != 0) return Failed(path);
    bytes = static_cast<std::uint64_t>(vfs.f_bavail) * static_cast<std::uint64_t>(vfs.f_frsize);
    return {};
  }

  TStatus TryCheckWriters(const std::string& path, TWriters& writers) override {
    writers = TWriters::kCannotTell;
    const int fd = OpenRetrying(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return Failed(path);
    // The kernel refuses a read lease while any writer has the file open.
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
      ::fcntl(fd, F_SETLEASE, F_UNLCK);
      writers = TWriters::kNone;
    } else if (errno == EAGAIN) {
      writers = TWriters::kOpen;
    }
    ::close(fd);
    return {};
  }

  TStatus TryExecutablePath(std::string& path) override {
    path.clear();
    std::vector<char> buffer(4096);
    for (;;) {
      const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
      if (n < 0) return Failed("/proc/self/exe");
      if (n == 0) return TStatus(ENOENT, "/proc/self/exe");
      // readlink cuts silently: a full buffer may hold a cut path, so read again larger.
      if (static_cast<std::size_t>(n) < buffer.size()) {
        path.assign(buffer.data(), static_cast<std::size_t>(n));
        return {};
      }
      buffer.resize(buffer.size() * 2);
    }
  }

  TStatus TryCurrentFolder(std::string& path) override {
    path.clear();
    std::vector<char> buffer(4096);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
      if (errno != ERANGE) return Failed({});
      buffer.resize(buffer.size() * 2);
    }
    path = buffer.data();
    return {};
  }

  TStatus TryWatchChanges(std::unique_ptr<TChangeWatch>& watch) override {
    watch.reset();
    const int notify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify < 0) return Failed({});
    const int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
      const TStatus failed = Failed({});
      ::close(notify);
      return failed;
    }
    watch = std::make_unique<TLinuxChangeWatch>(notify, wake);
    return {};
  }
};

}  // namespace

TFileSystem& SystemFiles() {
  // Never destroyed: files may still be used while static objects go at exit.
  static TFileSystem* files = new TLinuxFileSystem();
  return *files;
}

}  // namespace ostrivan::platform

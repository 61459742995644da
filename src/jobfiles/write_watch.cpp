#include "jobfiles/write_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/error.h"
#include "common/file_descriptor.h"
#include "common/file_tree.h"
#include "common/paths.h"
#include "jobfiles/job_files.h"
#include "logging/framework_log.h"

namespace ostrivan::jobfiles {

namespace {

constexpr std::uint32_t kFolderEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                        IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
// Renames whose second half never came (moved out of the tree) are forgotten past this.
constexpr std::size_t kMaxPendingMoves = 1024;

bool IsFolder(const std::string& path, struct stat& st) {
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

TWriteWatch::TWriteWatch() {
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd_ < 0 || wake_ < 0) {
    logging::FrameworkLogWarn("Export folder not watched for writers (" + SysErrorMessageText(errno) +
                              "): a file counts as written until it has been quiet for the settle time");
    if (fd_ >= 0) ::close(fd_);
    if (wake_ >= 0) ::close(wake_);
    fd_ = wake_ = -1;
    return;
  }
  reader_ = std::thread([this] { Run(); });
}

TWriteWatch::~TWriteWatch() {
  if (wake_ < 0) return;
  const std::uint64_t one = 1;
  (void)!::write(wake_, &one, sizeof one);
  reader_.join();
  ::close(fd_);
  ::close(wake_);
}

void TWriteWatch::Run() {
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    std::lock_guard<std::mutex> guard(lock_);
    Drain();
  }
}

bool TWriteWatch::Watch(const std::string& dir) {
  std::lock_guard<std::mutex> guard(lock_);
  if (fd_ < 0) return false;
  struct stat st {};
  const bool there = IsFolder(dir, st);
  const TDirKey key{st.st_dev, st.st_ino};
  // The same folder still watched; one removed or replaced under its name is new.
  if (there && dir == root_ && key == root_key_) {
    for (const auto& [wd, watched] : dirs_)
      if (watched.first == key) return true;
  }
  Reset();
  root_ = dir;
  root_key_ = key;
  AddTree(dir);
  return !dirs_.empty();
}

void TWriteWatch::Reset() {
  for (const auto& [wd, dir] : dirs_) ::inotify_rm_watch(fd_, wd);
  Drain();  // the removals' notices, and whatever came before them
  dirs_.clear();
  files_.clear();
  moving_.clear();
  root_.clear();
}

void TWriteWatch::AddTree(const std::string& dir) {
  struct stat st {};
  if (!IsFolder(dir, st)) return;
  const int wd = ::inotify_add_watch(fd_, dir.c_str(), kFolderEvents);
  if (wd < 0) {
    // Out of watches (fs.inotify.max_user_watches) or not readable: that folder's files
    // stay unknown.
    logging::FrameworkLogWarn("Folder \"" + dir + "\" not watched for writers: " + SysErrorMessageText(errno));
    return;
  }
  dirs_[wd] = {TDirKey{st.st_dev, st.st_ino}, dir};
  for (const std::string& name : NamesIn(dir)) {
    const std::string sub = dir + "/" + name;
    struct stat sub_st {};
    if (IsFolder(sub, sub_st)) AddTree(sub);
  }
}

void TWriteWatch::Drain() {
  if (fd_ < 0) return;
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    const ssize_t got = ::read(fd_, buffer, sizeof buffer);
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      inotify_event event{};
      std::memcpy(&event, buffer + at, sizeof event);
      const char* name = buffer + at + sizeof event;
      Handle(event.wd, event.mask, event.cookie, event.len > 0 ? std::string(name) : std::string());
      at += static_cast<ssize_t>(sizeof event + event.len);
    }
  }
  if (moving_.size() > kMaxPendingMoves) moving_.clear();
}

void TWriteWatch::Handle(int wd, std::uint32_t mask, std::uint32_t cookie, const std::string& name) {
  if ((mask & IN_Q_OVERFLOW) != 0) {
    // Notices were lost: nothing known is certain any more, and a folder made meanwhile
    // may have no watch yet.
    files_.clear();
    moving_.clear();
    if (!root_.empty()) AddTree(root_);
    return;
  }
  const auto dir = dirs_.find(wd);
  if (dir == dirs_.end()) return;
  const TDirKey key = dir->second.first;
  if ((mask & IN_IGNORED) != 0) {
    // The folder is gone (or its watch was removed): so is what was known of its files.
    for (auto it = files_.begin(); it != files_.end();) it = it->first.first == key ? files_.erase(it) : std::next(it);
    dirs_.erase(dir);
    return;
  }
  if (name.empty()) return;
  if ((mask & IN_ISDIR) != 0) {
    // A folder made or moved in: watched from now on, with all it holds.
    if ((mask & (IN_CREATE | IN_MOVED_TO)) != 0) AddTree(dir->second.second + "/" + name);
    return;
  }
  const auto file = std::make_pair(key, name);
  if ((mask & IN_MODIFY) != 0) files_[file] = true;
  if ((mask & IN_CLOSE_WRITE) != 0) files_[file] = false;
  if ((mask & (IN_CREATE | IN_DELETE)) != 0) files_.erase(file);
  if ((mask & IN_MOVED_FROM) != 0) {
    const auto known = files_.find(file);
    if (known != files_.end()) {
      moving_[cookie] = {key, {name, known->second}};
      files_.erase(known);
    }
  }
  if ((mask & IN_MOVED_TO) != 0) {
    // Renamed within the tree, a file keeps what was known of it; one moved in from
    // elsewhere is unknown.
    const auto moved = moving_.find(cookie);
    if (moved != moving_.end()) {
      files_[file] = moved->second.second.second;
      moving_.erase(moved);
    } else {
      files_.erase(file);
    }
  }
}

TWriteSeen TWriteWatch::StateOf(const std::string& path) {
  std::lock_guard<std::mutex> guard(lock_);
  if (fd_ < 0 || dirs_.empty()) return TWriteSeen::kUnknown;
  Drain();
  struct stat st {};
  if (!IsFolder(ParentFolder(path), st)) return TWriteSeen::kUnknown;
  const auto known = files_.find({TDirKey{st.st_dev, st.st_ino}, FileNameOf(path)});
  if (known == files_.end()) return TWriteSeen::kUnknown;
  return known->second ? TWriteSeen::kWriting : TWriteSeen::kClosed;
}

TWriteWatch& ExportWriteWatch() {
  // Never destroyed: its reader may be waiting while the process exits.
  static TWriteWatch* watch = new TWriteWatch();
  return *watch;
}

bool StillBeingWritten(const std::string& path, int settle_seconds) {
  TFileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.get() < 0) return false;
  // The kernel refuses a read lease while any writer has the file open.
  if (::fcntl(fd.get(), F_SETLEASE, F_RDLCK) == 0) {
    ::fcntl(fd.get(), F_SETLEASE, F_UNLCK);
    return false;
  }
  if (errno == EAGAIN) return true;
  // No lease for this account (another owner's file) or this file system: what the
  // watch saw, and where it saw nothing, how long the file has been quiet.
  switch (ExportWriteWatch().StateOf(path)) {
    case TWriteSeen::kWriting: return true;
    case TWriteSeen::kClosed: return false;
    case TWriteSeen::kUnknown: break;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return true;
  return ChangedWithin(st, std::chrono::seconds(settle_seconds));
}

}  // namespace ostrivan::jobfiles

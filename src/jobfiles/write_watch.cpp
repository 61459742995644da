#include "jobfiles/write_watch.h"

#include <algorithm>
#include <chrono>

#include "common/error.h"
#include "common/file_tree.h"
#include "common/paths.h"
#include "jobfiles/job_files.h"
#include "logging/framework_log.h"
#include "platform/file_system.h"

namespace ostrivan::jobfiles {

namespace {

// Renames whose second half never came (moved out of the tree) are forgotten past this.
constexpr std::size_t kMaxPendingMoves = 1024;

bool IsFolder(const std::string& path, platform::TFileInfo& info) {
  return platform::Files().TryInfo(path, platform::TLinks::kDoNotFollow, info) &&
         info.Kind == platform::TFileKind::kFolder;
}

// The file's last change (content or attributes) lies within settle of now, or ahead of it.
bool ChangedWithinSettle(const platform::TFileInfo& info, std::chrono::seconds settle) {
  const auto ns = [](platform::TFileTime t) { return t.Seconds * 1000000000 + t.Nanoseconds; };
  const std::int64_t now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  const std::int64_t last = std::max(ns(info.Modified), ns(info.Changed));
  // A time ahead of the clock (a stepped clock, another machine's share) is recent too.
  return now - last < static_cast<std::int64_t>(settle.count()) * 1000000000;
}

}  // namespace

TWriteWatch::TWriteWatch() {
  if (const TStatus started = platform::Files().TryWatchChanges(watch_); !started) {
    logging::FrameworkLogWarn("Export folder not watched for writers (" + SysErrorMessageText(started.Code()) +
                              "): a file counts as written until it has been quiet for the settle time");
    watch_.reset();
    return;
  }
  reader_ = std::thread([this] { Run(); });
}

TWriteWatch::~TWriteWatch() {
  if (!watch_) return;
  watch_->Stop();
  reader_.join();
}

void TWriteWatch::Run() {
  while (watch_->Wait()) {
    std::lock_guard<std::mutex> guard(lock_);
    Drain();
  }
}

bool TWriteWatch::Watch(const std::string& dir) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!watch_) return false;
  platform::TFileInfo info;
  const bool there = IsFolder(dir, info);
  const TDirKey key{info.Device, info.Inode};
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
  for (const auto& [wd, dir] : dirs_) watch_->RemoveFolder(wd);
  Drain();  // the removals' notices, and whatever came before them
  dirs_.clear();
  files_.clear();
  moving_.clear();
  root_.clear();
}

void TWriteWatch::AddTree(const std::string& dir) {
  platform::TFileInfo info;
  if (!IsFolder(dir, info)) return;
  int wd = -1;
  if (const TStatus added = watch_->TryAddFolder(dir, wd); !added) {
    // Out of watches (fs.inotify.max_user_watches) or not readable: that folder's files
    // stay unknown.
    logging::FrameworkLogWarn("Folder \"" + dir + "\" not watched for writers: " + SysErrorMessageText(added.Code()));
    return;
  }
  dirs_[wd] = {TDirKey{info.Device, info.Inode}, dir};
  for (const std::string& name : NamesIn(dir)) {
    const std::string sub = dir + "/" + name;
    platform::TFileInfo sub_info;
    if (IsFolder(sub, sub_info)) AddTree(sub);
  }
}

void TWriteWatch::Drain() {
  if (!watch_) return;
  events_.clear();
  watch_->TakeEvents(events_);
  for (const platform::TChangeEvent& event : events_) Handle(event);
  if (moving_.size() > kMaxPendingMoves) moving_.clear();
}

void TWriteWatch::Handle(const platform::TChangeEvent& event) {
  const std::uint32_t mask = event.Changes;
  const std::string& name = event.Name;
  const std::uint32_t cookie = event.Cookie;
  if ((mask & platform::kChangeOverflow) != 0) {
    // Notices were lost: nothing known is certain any more, and a folder made meanwhile
    // may have no watch yet.
    files_.clear();
    moving_.clear();
    if (!root_.empty()) AddTree(root_);
    return;
  }
  const auto dir = dirs_.find(event.Folder);
  if (dir == dirs_.end()) return;
  const TDirKey key = dir->second.first;
  if ((mask & platform::kChangeFolderGone) != 0) {
    // The folder is gone (or its watch was removed): so is what was known of its files.
    for (auto it = files_.begin(); it != files_.end();) it = it->first.first == key ? files_.erase(it) : std::next(it);
    dirs_.erase(dir);
    return;
  }
  if (name.empty()) return;
  if ((mask & platform::kChangeIsFolder) != 0) {
    // A folder made or moved in: watched from now on, with all it holds.
    if ((mask & (platform::kChangeCreated | platform::kChangeMovedTo)) != 0) AddTree(dir->second.second + "/" + name);
    return;
  }
  const auto file = std::make_pair(key, name);
  if ((mask & platform::kChangeModified) != 0) files_[file] = true;
  if ((mask & platform::kChangeClosedAfterWrite) != 0) files_[file] = false;
  if ((mask & (platform::kChangeCreated | platform::kChangeRemoved)) != 0) files_.erase(file);
  if ((mask & platform::kChangeMovedFrom) != 0) {
    const auto known = files_.find(file);
    if (known != files_.end()) {
      moving_[cookie] = {key, {name, known->second}};
      files_.erase(known);
    }
  }
  if ((mask & platform::kChangeMovedTo) != 0) {
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
  if (!watch_ || dirs_.empty()) return TWriteSeen::kUnknown;
  Drain();
  platform::TFileInfo info;
  if (!IsFolder(ParentFolder(path), info)) return TWriteSeen::kUnknown;
  const auto known = files_.find({TDirKey{info.Device, info.Inode}, FileNameOf(path)});
  if (known == files_.end()) return TWriteSeen::kUnknown;
  return known->second ? TWriteSeen::kWriting : TWriteSeen::kClosed;
}

TWriteWatch& ExportWriteWatch() {
  // Never destroyed: its reader may be waiting while the process exits.
  static TWriteWatch* watch = new TWriteWatch();
  return *watch;
}

bool StillBeingWritten(const std::string& path, int settle_seconds) {
  platform::TWriters writers = platform::TWriters::kCannotTell;
  if (!platform::Files().TryCheckWriters(path, writers)) return false;
  if (writers != platform::TWriters::kCannotTell) return writers == platform::TWriters::kOpen;
  // No lease for this account (another owner's file) or this file system: what the
  // watch saw, and where it saw nothing, how long the file has been quiet.
  switch (ExportWriteWatch().StateOf(path)) {
    case TWriteSeen::kWriting: return true;
    case TWriteSeen::kClosed: return false;
    case TWriteSeen::kUnknown: break;
  }
  platform::TFileInfo info;
  if (!platform::Files().TryInfo(path, platform::TLinks::kDoNotFollow, info)) return true;
  return ChangedWithinSettle(info, std::chrono::seconds(settle_seconds));
}

}  // namespace ostrivan::jobfiles

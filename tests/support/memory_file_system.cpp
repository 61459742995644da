#include "support/memory_file_system.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace ostrivan::test_support {

using platform::TFileInfo;
using platform::TFileKind;
using platform::TFileTime;

struct TMemoryFileSystem::TNode {
  TFileKind Kind = TFileKind::kFile;
  std::string Bytes;
  unsigned Permissions = 0644;
  TFileTime Modified = {};
  TFileTime Accessed = {};
  TFileTime Changed = {};
  std::uint64_t Inode = 0;
  std::uint64_t Links = 1;
  int Writers = 0;  // handles open for writing
  std::map<std::string, std::shared_ptr<TNode>> Entries;
};

namespace {

constexpr std::uint64_t kMemoryDevice = 77;

// The path's names, "." dropped and ".." taken back; empty for "/".
std::vector<std::string> PartsOf(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    const std::string part = path.substr(start, slash - start);
    start = slash + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  return parts;
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string path;
  for (const std::string& part : parts) path += "/" + part;
  return path.empty() ? "/" : path;
}

}  // namespace

class TMemoryFile final : public platform::TFile {
 public:
  TMemoryFile(TMemoryFileSystem& files, std::shared_ptr<TMemoryFileSystem::TNode> node, std::string path, bool read,
              bool write, bool append)
      : files_(files), node_(std::move(node)), path_(std::move(path)), read_(read), write_(write), append_(append) {
    if (write_) ++node_->Writers;
  }
  ~TMemoryFile() override { (void)TryClose(); }
  TMemoryFile(const TMemoryFile&) = delete;
  TMemoryFile& operator=(const TMemoryFile&) = delete;

  TStatus TryRead(void* buffer, std::size_t count, std::size_t& got) override {
    got = 0;
    std::lock_guard<std::recursive_mutex> guard(files_.lock_);
    if (const TStatus readable = Readable(); !readable) return readable;
    got = Copy(position_, buffer, count);
    position_ += got;
    return {};
  }

  TStatus TryReadAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& got) override {
    got = 0;
    std::lock_guard<std::recursive_mutex> guard(files_.lock_);
    if (const TStatus readable = Readable(); !readable) return readable;
    got = Copy(offset, buffer, count);
    return {};
  }

  TStatus TryWrite(std::string_view bytes) override {
    std::lock_guard<std::recursive_mutex> guard(files_.lock_);
    if (closed_) return TStatus(EBADF, path_);
    if (!write_) return TStatus(EBADF, path_);
    std::string& data = node_->Bytes;
    if (append_) position_ = data.size();
    if (data.size() < position_ + bytes.size()) data.resize(position_ + bytes.size(), '\0');
    std::memcpy(data.data() + position_, bytes.data(), bytes.size());
    position_ += bytes.size();
    node_->Modified = node_->Changed = files_.Now();
    return {};
  }

  TStatus TrySeek(std::int64_t offset, platform::TSeekFrom from, std::int64_t& position) override {
    std::lock_guard<std::recursive_mutex> guard(files_.lock_);
    if (closed_) return TStatus(EBADF, path_);
    std::int64_t base = 0;
    if (from == platform::TSeekFrom::kCurrent) base = static_cast<std::int64_t>(position_);
    if (from == platform::TSeekFrom::kEnd) base = static_cast<std::int64_t>(node_->Bytes.size());
    if (base + offset < 0) return TStatus(EINVAL, path_);
    position_ = static_cast<std::size_t>(base + offset);
    position = base + offset;
    return {};
  }

  TStatus TryResize(std::int64_t size) override {
    std::lock_guard<std::recursive_mutex> guard(files_.lock_);
    if (closed_ || !write_) return TStatus(closed_ ? EBADF : EINVAL, path_);
    if (size < 0) return TStatus(EINVAL, path_);
    node_->Bytes.resize(static_cast<std::size_t>(size), '\0');
    node_->Modified = node_->Changed = files_.Now();
    return {};
  }

  TStatus TrySync() override {
    std::lock_guard<std::recursive_mutex> guard(files_.lock_);
    return closed_ ? TStatus(EBADF, path_) : TStatus();
  }

  TStatus TryInfo(TFileInfo& info) override {
    std::lock_guard<std::recursive_mutex> guard(files_.lock_);
    if (closed_) {
      info = TFileInfo{};
      return TStatus(EBADF, path_);
    }
    Fill(*node_, info);
    return {};
  }

  TStatus TrySetPermissions(unsigned permissions) override {
    std::lock_guard<std::recursive_mutex> guard(files_.lock_);
    if (closed_) return TStatus(EBADF, path_);
    node_->Permissions = permissions & 07777;
    node_->Changed = files_.Now();
    return {};
  }

  TStatus TrySetTimes(TFileTime accessed, TFileTime modified) override {
    std::lock_guard<std::recursive_mutex> guard(files_.lock_);
    if (closed_) return TStatus(EBADF, path_);
    node_->Accessed = accessed;
    node_->Modified = modified;
    node_->Changed = files_.Now();
    return {};
  }

  TStatus TryClose() override {
    std::lock_guard<std::recursive_mutex> guard(files_.lock_);
    if (closed_) return TStatus(EBADF, path_);
    closed_ = true;
    if (write_) --node_->Writers;
    return {};
  }

  static void Fill(const TMemoryFileSystem::TNode& node, TFileInfo& info) {
    info.Kind = node.Kind;
    info.Size = node.Kind == TFileKind::kFolder ? 4096 : static_cast<std::int64_t>(node.Bytes.size());
    info.Permissions = node.Permissions;
    info.Modified = node.Modified;
    info.Accessed = node.Accessed;
    info.Changed = node.Changed;
    info.Device = kMemoryDevice;
    info.Inode = node.Inode;
    info.Links = node.Links;
  }

 private:
  TStatus Readable() const {
    if (closed_ || !read_) return TStatus(EBADF, path_);
    if (node_->Kind == TFileKind::kFolder) return TStatus(EISDIR, path_);
    return {};
  }
  std::size_t Copy(std::size_t at, void* buffer, std::size_t count) const {
    const std::string& data = node_->Bytes;
    if (at >= data.size()) return 0;
    const std::size_t n = std::min(count, data.size() - at);
    std::memcpy(buffer, data.data() + at, n);
    return n;
  }

  TMemoryFileSystem& files_;
  std::shared_ptr<TMemoryFileSystem::TNode> node_;
  std::string path_;
  bool read_;
  bool write_;
  bool append_;
  bool closed_ = false;
  std::size_t position_ = 0;
};

TMemoryFileSystem::TMemoryFileSystem(std::string executable) : executable_(std::move(executable)) { Clear(); }

TMemoryFileSystem::~TMemoryFileSystem() = default;

void TMemoryFileSystem::Clear() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  root_ = std::make_shared<TNode>();
  root_->Kind = TFileKind::kFolder;
  root_->Permissions = 0755;
  root_->Inode = 1;
  root_->Modified = root_->Accessed = root_->Changed = Now();
  std::vector<std::string> parts = PartsOf(executable_);
  if (!parts.empty()) parts.pop_back();
  std::string folder;
  for (const std::string& part : parts) {
    folder += "/" + part;
    (void)TryMakeFolder(folder, 0755);
  }
}

TFileTime TMemoryFileSystem::Now() {
  const auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  TFileTime now{ns / 1000000000, ns % 1000000000};
  // Every change gets a time of its own, as a file system with fine times gives it.
  if (now <= last_time_) {
    now = last_time_;
    if (++now.Nanoseconds == 1000000000) {
      now.Nanoseconds = 0;
      ++now.Seconds;
    }
  }
  last_time_ = now;
  return now;
}

TStatus TMemoryFileSystem::Find(const std::string& path, std::shared_ptr<TNode>& node) {
  node = root_;
  for (const std::string& part : PartsOf(path)) {
    if (node->Kind != TFileKind::kFolder) return TStatus(ENOTDIR, path);
    const auto it = node->Entries.find(part);
    if (it == node->Entries.end()) return TStatus(ENOENT, path);
    node = it->second;
  }
  return {};
}

TStatus TMemoryFileSystem::ParentOf(const std::string& path, std::shared_ptr<TNode>& parent, std::string& name) {
  std::vector<std::string> parts = PartsOf(path);
  if (parts.empty()) return TStatus(EBUSY, path);  // "/" itself
  name = parts.back();
  parts.pop_back();
  if (const TStatus found = Find(Joined(parts), parent); !found) return TStatus(found.Code(), path);
  if (parent->Kind != TFileKind::kFolder) return TStatus(ENOTDIR, path);
  return {};
}

TStatus TMemoryFileSystem::TryOpen(const std::string& path, const platform::TOpenOptions& options,
                                   std::unique_ptr<platform::TFile>& file) {
  file.reset();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::shared_ptr<TNode> node;
  if (const TStatus found = Find(path, node); !found) return found;
  if (options.Write && node->Kind == TFileKind::kFolder) return TStatus(EISDIR, path);
  file = std::make_unique<TMemoryFile>(*this, node, path, true, options.Write, false);
  return {};
}

TStatus TMemoryFileSystem::TryCreate(const std::string& path, const platform::TCreateOptions& options,
                                     std::unique_ptr<platform::TFile>& file) {
  file.reset();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::shared_ptr<TNode> parent;
  std::string name;
  if (const TStatus found = ParentOf(path, parent, name); !found) return found;
  std::shared_ptr<TNode>& slot = parent->Entries[name];
  if (slot) {
    if (options.Mode == platform::TCreateMode::kExclusive) return TStatus(EEXIST, path);
    if (slot->Kind == TFileKind::kFolder) return TStatus(EISDIR, path);
    if (options.Mode == platform::TCreateMode::kTruncate && !slot->Bytes.empty()) {
      slot->Bytes.clear();
      slot->Modified = slot->Changed = Now();
    }
  } else {
    slot = std::make_shared<TNode>();
    slot->Kind = TFileKind::kFile;
    slot->Permissions = options.Permissions & 07777 & ~0022u;
    slot->Inode = next_inode_++;
    slot->Modified = slot->Accessed = slot->Changed = Now();
    parent->Modified = parent->Changed = slot->Modified;
  }
  file = std::make_unique<TMemoryFile>(*this, slot, path, options.Read, true, options.Append);
  return {};
}

TStatus TMemoryFileSystem::TryInfo(const std::string& path, platform::TLinks, TFileInfo& info) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  info = TFileInfo{};
  std::shared_ptr<TNode> node;
  if (const TStatus found = Find(path, node); !found) return found;
  TMemoryFile::Fill(*node, info);
  return {};
}

TStatus TMemoryFileSystem::TryCheckAccess(const std::string& path, platform::TAccess) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::shared_ptr<TNode> node;
  return Find(path, node);
}

TStatus TMemoryFileSystem::TryListFolder(const std::string& path, std::vector<platform::TFolderEntry>& entries) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  entries.clear();
  std::shared_ptr<TNode> node;
  if (const TStatus found = Find(path, node); !found) return found;
  if (node->Kind != TFileKind::kFolder) return TStatus(ENOTDIR, path);
  for (const auto& [name, entry] : node->Entries) entries.push_back({name, entry->Kind});
  return {};
}

TStatus TMemoryFileSystem::TryMakeFolder(const std::string& path, unsigned permissions) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::shared_ptr<TNode> parent;
  std::string name;
  if (const TStatus found = ParentOf(path, parent, name); !found)
    return found.Code() == EBUSY ? TStatus(EEXIST, path) : found;
  if (parent->Entries.count(name)) return TStatus(EEXIST, path);
  auto folder = std::make_shared<TNode>();
  folder->Kind = TFileKind::kFolder;
  folder->Permissions = permissions & 07777 & ~0022u;
  folder->Inode = next_inode_++;
  folder->Links = 2;
  folder->Modified = folder->Accessed = folder->Changed = Now();
  parent->Entries[name] = folder;
  parent->Modified = parent->Changed = folder->Modified;
  return {};
}

TStatus TMemoryFileSystem::TryRemoveFolder(const std::string& path) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::shared_ptr<TNode> parent;
  std::string name;
  if (const TStatus found = ParentOf(path, parent, name); !found) return found;
  const auto it = parent->Entries.find(name);
  if (it == parent->Entries.end()) return TStatus(ENOENT, path);
  if (it->second->Kind != TFileKind::kFolder) return TStatus(ENOTDIR, path);
  if (!it->second->Entries.empty()) return TStatus(ENOTEMPTY, path);
  parent->Entries.erase(it);
  parent->Modified = parent->Changed = Now();
  return {};
}

TStatus TMemoryFileSystem::TryRemoveFile(const std::string& path) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::shared_ptr<TNode> parent;
  std::string name;
  if (const TStatus found = ParentOf(path, parent, name); !found) return found;
  const auto it = parent->Entries.find(name);
  if (it == parent->Entries.end()) return TStatus(ENOENT, path);
  if (it->second->Kind == TFileKind::kFolder) return TStatus(EISDIR, path);
  --it->second->Links;
  it->second->Changed = Now();
  parent->Entries.erase(it);
  parent->Modified = parent->Changed = Now();
  return {};
}

TStatus TMemoryFileSystem::Rename(const std::string& from, const std::string& to, bool replace) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::shared_ptr<TNode> from_parent;
  std::shared_ptr<TNode> to_parent;
  std::string from_name;
  std::string to_name;
  if (const TStatus found = ParentOf(from, from_parent, from_name); !found) return found;
  const auto it = from_parent->Entries.find(from_name);
  if (it == from_parent->Entries.end()) return TStatus(ENOENT, from);
  if (const TStatus found = ParentOf(to, to_parent, to_name); !found) return TStatus(found.Code(), from);
  const std::shared_ptr<TNode> node = it->second;
  const std::string from_path = Joined(PartsOf(from));
  const std::string to_path = Joined(PartsOf(to));
  if (node->Kind == TFileKind::kFolder && to_path.rfind(from_path + "/", 0) == 0) return TStatus(EINVAL, from);
  const auto taken = to_parent->Entries.find(to_name);
  if (taken != to_parent->Entries.end()) {
    if (!replace) return TStatus(EEXIST, from);
    const std::shared_ptr<TNode> old = taken->second;
    if (old == node) return {};  // one file under both names: nothing to do
    if (node->Kind == TFileKind::kFolder) {
      if (old->Kind != TFileKind::kFolder) return TStatus(ENOTDIR, from);
      if (!old->Entries.empty()) return TStatus(ENOTEMPTY, from);
    } else if (old->Kind == TFileKind::kFolder) {
      return TStatus(EISDIR, from);
    }
    --old->Links;
  }
  from_parent->Entries.erase(it);
  to_parent->Entries[to_name] = node;
  const TFileTime now = Now();
  node->Changed = now;
  from_parent->Modified = from_parent->Changed = now;
  to_parent->Modified = to_parent->Changed = now;
  return {};
}

TStatus TMemoryFileSystem::TryRenameNoReplace(const std::string& from, const std::string& to) {
  return Rename(from, to, false);
}

TStatus TMemoryFileSystem::TryRenameReplacing(const std::string& from, const std::string& to) {
  return Rename(from, to, true);
}

TStatus TMemoryFileSystem::TryHardLink(const std::string& existing, const std::string& name) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::shared_ptr<TNode> node;
  if (const TStatus found = Find(existing, node); !found) return TStatus(found.Code(), name);
  if (node->Kind == TFileKind::kFolder) return TStatus(EPERM, name);
  std::shared_ptr<TNode> parent;
  std::string last;
  if (const TStatus found = ParentOf(name, parent, last); !found) return found;
  if (parent->Entries.count(last)) return TStatus(EEXIST, name);
  parent->Entries[last] = node;
  ++node->Links;
  node->Changed = Now();
  parent->Modified = parent->Changed = node->Changed;
  return {};
}

TStatus TMemoryFileSystem::TrySetPermissions(const std::string& path, unsigned permissions) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::shared_ptr<TNode> node;
  if (const TStatus found = Find(path, node); !found) return found;
  node->Permissions = permissions & 07777;
  node->Changed = Now();
  return {};
}

TStatus TMemoryFileSystem::TrySetTimes(const std::string& path, std::optional<TFileTime> accessed, TFileTime modified) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::shared_ptr<TNode> node;
  if (const TStatus found = Find(path, node); !found) return found;
  if (accessed) node->Accessed = *accessed;
  node->Modified = modified;
  node->Changed = Now();
  return {};
}

TStatus TMemoryFileSystem::TrySync(const std::string& path) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::shared_ptr<TNode> node;
  return Find(path, node);
}

TStatus TMemoryFileSystem::TryFreeSpace(const std::string& path, std::uint64_t& bytes) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::shared_ptr<TNode> node;
  if (const TStatus found = Find(path, node); !found) return found;
  bytes = std::uint64_t{1} << 40;
  return {};
}

TStatus TMemoryFileSystem::TryCheckWriters(const std::string& path, platform::TWriters& writers) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  writers = platform::TWriters::kCannotTell;
  std::shared_ptr<TNode> node;
  if (const TStatus found = Find(path, node); !found) return found;
  writers = node->Writers > 0 ? platform::TWriters::kOpen : platform::TWriters::kNone;
  return {};
}

TStatus TMemoryFileSystem::TryExecutablePath(std::string& path) {
  path = executable_;
  return {};
}

TStatus TMemoryFileSystem::TryCurrentFolder(std::string& path) {
  path = "/";
  return {};
}

TStatus TMemoryFileSystem::TryWatchChanges(std::unique_ptr<platform::TChangeWatch>& watch) {
  watch.reset();
  return TStatus(ENOSYS, {});
}

}  // namespace ostrivan::test_support

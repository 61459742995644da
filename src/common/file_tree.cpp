#include "common/file_tree.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>

#include "common/concurrently.h"
#include "common/error.h"
#include "common/file_system.h"
#include "common/paths.h"

namespace ostrivan {

using platform::Files;
using platform::TFileInfo;
using platform::TFileKind;
using platform::TLinks;

std::string PartialCopyName(const std::string& to) {
  const std::size_t slash = to.find_last_of('/');
  const std::string dir = slash == std::string::npos ? std::string() : to.substr(0, slash + 1);
  return dir + "." + (slash == std::string::npos ? to : to.substr(slash + 1)) + ".ostrivan-partial";
}

TStatus TryCopyUnderPartialName(const std::string& from, const std::string& to, TFileInfo& copied) {
  platform::TFileSystem& files = Files();
  std::unique_ptr<platform::TFile> in;
  if (TStatus opened = files.TryOpen(from, platform::TOpenOptions{.FollowLinks = false}, in); !opened) return opened;
  TFileInfo st;
  if (TStatus info = in->TryInfo(st); !info) return info;
  if (st.Kind != TFileKind::kFile) return TStatus(EXDEV, from);
  const std::string partial = PartialCopyName(to);
  (void)files.TryRemoveFile(partial);  // left by a copy that was cut short
  std::unique_ptr<platform::TFile> out;
  if (TStatus created = files.TryCreate(
          partial, platform::TCreateOptions{.Mode = platform::TCreateMode::kExclusive, .Permissions = 0600}, out);
      !created)
    return created;
  const auto fail = [&](TStatus status) {
    out.reset();
    (void)files.TryRemoveFile(partial);
    return status;
  };
  char buffer[65536];
  for (;;) {
    std::size_t n = 0;
    if (TStatus read = in->TryRead(buffer, sizeof buffer, n); !read) return fail(read);
    if (n == 0) break;
    if (TStatus written = out->TryWrite(std::string_view(buffer, n)); !written) return fail(written);
  }
  if (TStatus status = out->TrySetPermissions(st.Permissions); !status) return fail(status);
  if (TStatus status = out->TrySetTimes(st.Accessed, st.Modified); !status) return fail(status);
  if (TStatus status = out->TryInfo(copied); !status) return fail(status);
  if (TStatus status = out->TrySync(); !status) return fail(status);
  if (TStatus status = out->TryClose(); !status) return fail(status);
  return {};
}

TStatus TryCopyUnderPartialName(const std::string& from, const std::string& to) {
  TFileInfo copied;
  return TryCopyUnderPartialName(from, to, copied);
}

namespace {

// A folder just written to: its new names are durable only once it is flushed. A file
// system that cannot flush folders has nothing to lose.
TStatus SyncFolderOf(const std::string& path) {
  TStatus synced = TrySyncPath(ParentFolder(path));
  return synced.Code() == EINVAL ? TStatus() : synced;
}

}  // namespace

TStatus TryNamePartialCopy(const std::string& to) {
  // Never over a file that appeared meanwhile.
  if (TStatus renamed = Files().TryRenameNoReplace(PartialCopyName(to), to); !renamed) return renamed;
  return SyncFolderOf(to);
}

namespace {

// Copies a regular file with its mode and times, flushed, to a new name: written under
// its partial name first and renamed only once whole and on disk.
TStatus CopyFileExclusive(const std::string& from, const std::string& to) {
  TFileInfo taken;
  if (Files().TryInfo(to, TLinks::kDoNotFollow, taken)) return TStatus(EEXIST, to);
  if (TStatus copied = TryCopyUnderPartialName(from, to); !copied) return copied;
  TStatus named = TryNamePartialCopy(to);
  if (!named) (void)Files().TryRemoveFile(PartialCopyName(to));
  return named;
}

}  // namespace

TStatus TrySyncPath(const std::string& path) { return Files().TrySync(path); }

TStatus TryWriteFileDurably(const std::string& path, const std::string& text) {
  const std::string temp = path + ".tmp";
  TStatus written = TryWriteWholeFile(temp, text, TWriteOptions{.Mode = 0644, .Sync = true});
  if (written) written = Files().TryRenameReplacing(temp, path);
  if (!written) {
    (void)Files().TryRemoveFile(temp);
    return written;
  }
  // The new name is durable only once its folder is.
  return SyncFolderOf(path);
}

void WriteFileDurably(const std::string& path, const std::string& text) {
  const TStatus written = TryWriteFileDurably(path, text);
  if (!written) throw MakeOSError(written.Code(), path);
}

namespace {

// true when dir is a folder at the end; `last` keeps the code of the last call that
// failed, as the reason to give.
bool MakeDirectoriesKeepingCode(const std::string& dir, unsigned mode, int& last) {
  platform::TFileSystem& files = Files();
  TFileInfo st;
  if (const TStatus there = files.TryInfo(dir, TLinks::kDoNotFollow, st); there) return st.Kind == TFileKind::kFolder;
  else last = there.Code();
  const std::string parent = ParentFolder(dir);
  if (parent != dir && !MakeDirectoriesKeepingCode(parent, 0777, last)) return false;
  if (const TStatus made = files.TryMakeFolder(dir, mode); !made) {
    last = made.Code();
    if (made.Code() != EEXIST) return false;
  }
  const TStatus there = files.TryInfo(dir, TLinks::kDoNotFollow, st);
  if (!there) last = there.Code();
  return there && st.Kind == TFileKind::kFolder;
}

}  // namespace

TStatus TryMakeDirectories(const std::string& dir, unsigned mode) {
  int last = 0;
  if (MakeDirectoriesKeepingCode(dir, mode, last)) return {};
  return TStatus(last != 0 ? last : EACCES, dir);
}

bool RemoveTree(const std::string& path) {
  platform::TFileSystem& files = Files();
  TFileInfo st;
  if (const TStatus there = files.TryInfo(path, TLinks::kDoNotFollow, st); !there) return there.Code() == ENOENT;
  if (st.Kind != TFileKind::kFolder) return files.TryRemoveFile(path).Ok();
  (void)files.TrySetPermissions(path, st.Permissions | platform::kOwnerAll);
  bool all = true;
  for (const std::string& name : NamesIn(path)) all = RemoveTree(path + "/" + name) && all;
  return files.TryRemoveFolder(path).Ok() && all;
}

namespace {

// Every file and folder below dir, folders by depth. For a removal each folder gets its
// owner's permissions back so that its entries can go.
void CollectTree(const std::string& dir, std::size_t depth, bool removal, std::vector<std::string>& files,
                 std::vector<std::vector<std::string>>& folders) {
  platform::TFileSystem& system = Files();
  TFileInfo st;
  if (removal && system.TryInfo(dir, TLinks::kDoNotFollow, st))
    (void)system.TrySetPermissions(dir, st.Permissions | platform::kOwnerAll);
  if (folders.size() <= depth) folders.resize(depth + 1);
  folders[depth].push_back(dir);
  std::vector<platform::TFolderEntry> entries;
  if (!system.TryListFolder(dir, entries)) return;
  std::vector<std::string> below;
  for (const platform::TFolderEntry& e : entries) {
    std::string path = dir + "/" + e.Name;
    (e.Kind == TFileKind::kFolder ? below : files).push_back(std::move(path));
  }
  for (const std::string& sub : below) CollectTree(sub, depth + 1, removal, files, folders);
}

}  // namespace

TStatus TrySyncTreeConcurrently(const std::string& path, unsigned threads) {
  TFileInfo st;
  if (TStatus there = Files().TryInfo(path, TLinks::kDoNotFollow, st); !there) return there;
  std::vector<std::string> all;
  if (st.Kind == TFileKind::kFolder) {
    std::vector<std::vector<std::string>> folders;
    CollectTree(path, 0, false, all, folders);
    for (auto& level : folders)
      for (std::string& folder : level) all.push_back(std::move(folder));
  } else {
    all.push_back(path);
  }
  std::atomic<int> first{0};
  std::vector<std::string> failed_path(1);
  ForEachConcurrently(all.size(), threads, [&](std::size_t i, unsigned) {
    TFileInfo entry;
    if (Files().TryInfo(all[i], TLinks::kDoNotFollow, entry) && entry.Kind == TFileKind::kLink)
      return;  // nothing of its own to flush
    const TStatus synced = TrySyncPath(all[i]);
    int none = 0;
    if (!synced && first.compare_exchange_strong(none, synced.Code())) failed_path[0] = all[i];
  });
  return first == 0 ? TStatus() : TStatus(first, failed_path[0]);
}

bool RemoveTreeConcurrently(const std::string& path, unsigned threads) {
  TFileInfo st;
  if (const TStatus there = Files().TryInfo(path, TLinks::kDoNotFollow, st); !there) return there.Code() == ENOENT;
  if (st.Kind != TFileKind::kFolder) return Files().TryRemoveFile(path).Ok();
  std::vector<std::string> files;
  std::vector<std::vector<std::string>> folders;
  CollectTree(path, 0, true, files, folders);
  std::atomic<bool> all{true};
  ForEachConcurrently(files.size(), threads, [&](std::size_t i, unsigned) {
    const TStatus removed = Files().TryRemoveFile(files[i]);
    if (!removed && removed.Code() != ENOENT) all = false;
  });
  for (std::size_t depth = folders.size(); depth-- > 0;) {
    const std::vector<std::string>& level = folders[depth];
    ForEachConcurrently(level.size(), threads, [&](std::size_t i, unsigned) {
      const TStatus removed = Files().TryRemoveFolder(level[i]);
      if (!removed && removed.Code() != ENOENT) all = false;
    });
  }
  return all;
}

TStatus TryRenameNoReplace(const std::string& from, const std::string& to) {
  return Files().TryRenameNoReplace(from, to);
}

TStatus TryMoveNoReplace(const std::string& from, const std::string& to) {
  TStatus moved = TryRenameNoReplace(from, to);
  if (moved.Code() != EXDEV) return moved;
  if (TStatus copied = CopyFileExclusive(from, to); !copied) return copied;
  // A source that stays was not moved: the copy goes again, so the file is in one place.
  if (TStatus removed = Files().TryRemoveFile(from); !removed) {
    (void)Files().TryRemoveFile(to);
    return removed;
  }
  return {};
}

std::vector<std::string> NamesIn(const std::string& dir) {
  std::vector<platform::TFolderEntry> entries;
  std::vector<std::string> names;
  if (Files().TryListFolder(dir, entries)) {
    names.reserve(entries.size());
    for (platform::TFolderEntry& e : entries) names.push_back(std::move(e.Name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace ostrivan

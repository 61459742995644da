// The platform's file system: what each call reports on the real one, and that a file
// system installed in its place sees every call, worker threads' too.
#include "platform/file_system.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/file_system.h"
#include "common/file_tree.h"
#include "support/scratch_files.h"

namespace ostrivan::platform {
namespace {

using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteFile;

TFileSystem& Fs() { return Files(); }

std::unique_ptr<TFile> Create(const std::string& path, TCreateOptions options = {}) {
  std::unique_ptr<TFile> file;
  EXPECT_TRUE(Fs().TryCreate(path, options, file)) << path;
  return file;
}

TFileInfo InfoOf(const std::string& path, TLinks links = TLinks::kDoNotFollow) {
  TFileInfo info;
  (void)Fs().TryInfo(path, links, info);
  return info;
}

TEST(PlatformFiles, InfoTellsWhatIsThere) {
  TempDir dir("ostrivan-platform-");
  WriteFile(dir / "file", "12345");
  WriteFile(dir / "sub/inner", "x");
  ASSERT_EQ(::symlink("file", (dir / "link").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (dir / "dangling").c_str()), 0);
  const struct {
    std::string name;
    TLinks links;
    TFileKind kind;
    int code;
  } cases[] = {
      {"file", TLinks::kDoNotFollow, TFileKind::kFile, 0},
      {"sub", TLinks::kDoNotFollow, TFileKind::kFolder, 0},
      {"link", TLinks::kDoNotFollow, TFileKind::kLink, 0},
      {"link", TLinks::kFollow, TFileKind::kFile, 0},
      {"dangling", TLinks::kDoNotFollow, TFileKind::kLink, 0},
      {"dangling", TLinks::kFollow, TFileKind::kMissing, ENOENT},
      {"missing", TLinks::kFollow, TFileKind::kMissing, ENOENT},
      {"file/below", TLinks::kFollow, TFileKind::kMissing, ENOTDIR},
  };
  for (const auto& c : cases) {
    TFileInfo info;
    info.Kind = TFileKind::kOther;  // a failure must reset it
    const TStatus status = Fs().TryInfo(dir / c.name, c.links, info);
    EXPECT_EQ(status.Code(), c.code) << c.name;
    EXPECT_EQ(info.Kind, c.kind) << c.name;
  }
  const TFileInfo file = InfoOf(dir / "file");
  EXPECT_EQ(file.Size, 5);
  EXPECT_EQ(file.Links, 1u);
  EXPECT_TRUE(file.SameFile(InfoOf(dir / "link", TLinks::kFollow)));
  EXPECT_FALSE(file.SameFile(InfoOf(dir / "sub/inner")));
  EXPECT_FALSE(TFileInfo{}.SameFile(TFileInfo{}));  // nothing is no file
}

TEST(PlatformFiles, ListingGivesEveryEntryWithItsKind) {
  TempDir dir("ostrivan-platform-");
  WriteFile(dir / "a", "");
  WriteFile(dir / "folder/b", "");
  ASSERT_EQ(::symlink("a", (dir / "link").c_str()), 0);
  std::vector<TFolderEntry> entries;
  ASSERT_TRUE(Fs().TryListFolder(dir.Path(), entries));
  std::map<std::string, TFileKind> kinds;
  for (const TFolderEntry& e : entries) kinds[e.Name] = e.Kind;
  EXPECT_EQ(kinds, (std::map<std::string, TFileKind>{
                       {"a", TFileKind::kFile}, {"folder", TFileKind::kFolder}, {"link", TFileKind::kLink}}));
  EXPECT_EQ(Fs().TryListFolder(dir / "missing", entries).Code(), ENOENT);
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(Fs().TryListFolder(dir / "a", entries).Code(), ENOTDIR);
}

TEST(PlatformFiles, RenameNoReplaceNeverOverwrites) {
  const struct {
    const char* from;
    const char* to;
    int code;
  } cases[] = {
      {"a", "free", 0}, {"a", "b", EEXIST}, {"a", "folder", EEXIST}, {"gone", "free", ENOENT}, {"folder", "moved", 0},
  };
  for (const auto& c : cases) {
    TempDir dir("ostrivan-platform-");
    WriteFile(dir / "a", "A");
    WriteFile(dir / "b", "B");
    WriteFile(dir / "folder/x", "X");
    EXPECT_EQ(Fs().TryRenameNoReplace(dir / c.from, dir / c.to).Code(), c.code) << c.from << " -> " << c.to;
    if (c.code == EEXIST) {
      EXPECT_EQ(ReadFile(dir / "a"), "A");
      EXPECT_EQ(ReadFile(dir / "b"), "B");
    }
    if (c.code == 0) {
      EXPECT_EQ(InfoOf(dir / c.from).Kind, TFileKind::kMissing);
    }
  }
  TempDir dir("ostrivan-platform-");
  WriteFile(dir / "a", "A");
  WriteFile(dir / "b", "B");
  EXPECT_TRUE(Fs().TryRenameReplacing(dir / "a", dir / "b"));
  EXPECT_EQ(ReadFile(dir / "b"), "A");
  EXPECT_EQ(Fs().TryHardLink(dir / "b", dir / "c").Code(), 0);
  EXPECT_EQ(InfoOf(dir / "b").Links, 2u);
  EXPECT_EQ(Fs().TryHardLink(dir / "b", dir / "c").Code(), EEXIST);
}

// Two file systems: a rename or link between them fails with EXDEV, and the move of
// common copies instead.
TEST(PlatformFiles, AcrossFileSystemsRenamesFailWithEXDEV) {
  TempDir here("ostrivan-platform-");
  if (InfoOf("/dev/shm").Kind != TFileKind::kFolder || InfoOf("/dev/shm").Device == InfoOf(here.Path()).Device)
    GTEST_SKIP() << "no second file system beside the scratch folder";
  const std::string there = "/dev/shm/ostrivan-platform-" + std::to_string(::getpid());
  ASSERT_TRUE(Fs().TryMakeFolder(there, 0700));
  struct TRemoved {
    std::string path;
    ~TRemoved() { test_support::RemoveTree(path); }
  } removed{there};
  WriteFile(here / "a", "bytes");
  EXPECT_EQ(Fs().TryRenameNoReplace(here / "a", there + "/a").Code(), EXDEV);
  EXPECT_EQ(Fs().TryRenameReplacing(here / "a", there + "/a").Code(), EXDEV);
  EXPECT_EQ(Fs().TryHardLink(here / "a", there + "/a").Code(), EXDEV);
  EXPECT_EQ(ReadFile(here / "a"), "bytes");
  EXPECT_TRUE(TryMoveNoReplace(here / "a", there + "/a"));
  EXPECT_EQ(ReadFile(there + "/a"), "bytes");
  EXPECT_EQ(InfoOf(here / "a").Kind, TFileKind::kMissing);
}

TEST(PlatformFiles, ReadOnlyAttributeIsTheOwnerWriteBit) {
  TempDir dir("ostrivan-platform-");
  const struct {
    unsigned permissions;
    bool read_only;
  } cases[] = {{0644, false}, {0444, true}, {0600, false}, {0400, true}, {0577, true}, {0200, false}};
  for (const auto& c : cases) {
    const std::string path = dir / ("f" + std::to_string(c.permissions));
    WriteFile(path, "x");
    ASSERT_TRUE(Fs().TrySetPermissions(path, c.permissions));
    const TFileInfo info = InfoOf(path);
    EXPECT_EQ(info.Permissions, c.permissions);
    EXPECT_EQ(info.ReadOnly(), c.read_only) << std::oct << c.permissions;
    EXPECT_EQ(IsReadOnlyFile(path), c.read_only) << std::oct << c.permissions;
  }
  // A new file gets what it asks for, less the process's mask.
  const mode_t mask = ::umask(022);
  Create(dir / "made", {.Mode = TCreateMode::kExclusive, .Permissions = 0666}).reset();
  ::umask(mask);
  EXPECT_EQ(InfoOf(dir / "made").Permissions, 0644u);
  EXPECT_EQ(Fs().TrySetPermissions(dir / "missing", 0644).Code(), ENOENT);
}

TEST(PlatformFiles, CreateModesAndTheFileObject) {
  TempDir dir("ostrivan-platform-");
  const std::string path = dir / "f";
  std::unique_ptr<TFile> file = Create(path, {.Mode = TCreateMode::kExclusive, .Read = true});
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->TryWrite("hello world"));
  std::int64_t at = -1;
  EXPECT_TRUE(file->TrySeek(0, TSeekFrom::kCurrent, at));
  EXPECT_EQ(at, 11);
  char buffer[16] = {};
  std::size_t got = 0;
  EXPECT_TRUE(file->TryReadAt(6, buffer, sizeof buffer, got));
  EXPECT_EQ(std::string(buffer, got), "world");
  EXPECT_TRUE(file->TrySeek(0, TSeekFrom::kBeginning, at));
  EXPECT_TRUE(file->TryRead(buffer, 5, got));
  EXPECT_EQ(std::string(buffer, got), "hello");
  EXPECT_TRUE(file->TryResize(4));
  TFileInfo info;
  EXPECT_TRUE(file->TryInfo(info));
  EXPECT_EQ(info.Size, 4);
  EXPECT_TRUE(file->TrySync());
  EXPECT_TRUE(file->TrySetTimes({1000000000, 5}, {1200000000, 7}));
  EXPECT_TRUE(file->TryClose());
  EXPECT_EQ(file->TryClose().Code(), EBADF);
  EXPECT_EQ(InfoOf(path).Modified, (TFileTime{1200000000, 7}));

  EXPECT_EQ(Fs().TryCreate(path, {.Mode = TCreateMode::kExclusive}, file).Code(), EEXIST);
  EXPECT_FALSE(file);
  EXPECT_TRUE(Create(path, {.Mode = TCreateMode::kKeep, .Append = true})->TryWrite("+"));
  EXPECT_EQ(ReadFile(path), "hell+");
  Create(path, {.Mode = TCreateMode::kTruncate}).reset();
  EXPECT_EQ(ReadFile(path), "");
  ASSERT_EQ(::symlink("f", (dir / "link").c_str()), 0);
  EXPECT_EQ(Fs().TryCreate(dir / "link", {.FollowLinks = false}, file).Code(), ELOOP);
  EXPECT_EQ(Fs().TryOpen(dir / "link", {.FollowLinks = false}, file).Code(), ELOOP);
  EXPECT_EQ(Fs().TryOpen(dir / "missing", {}, file).Code(), ENOENT);
  EXPECT_TRUE(Fs().TrySetTimes(path, std::nullopt, {1300000000, 0}));
  EXPECT_EQ(InfoOf(path).Modified, (TFileTime{1300000000, 0}));
}

TEST(PlatformFiles, FoldersMadeAndRemoved) {
  TempDir dir("ostrivan-platform-");
  EXPECT_TRUE(Fs().TryMakeFolder(dir / "f", 0700));
  EXPECT_EQ(Fs().TryMakeFolder(dir / "f").Code(), EEXIST);
  EXPECT_EQ(Fs().TryMakeFolder(dir / "a/b").Code(), ENOENT);
  WriteFile(dir / "f/x", "");
  EXPECT_EQ(Fs().TryRemoveFolder(dir / "f").Code(), ENOTEMPTY);
  EXPECT_EQ(Fs().TryRemoveFile(dir / "f").Code(), EISDIR);
  EXPECT_TRUE(Fs().TryRemoveFile(dir / "f/x"));
  EXPECT_EQ(Fs().TryRemoveFile(dir / "f/x").Code(), ENOENT);
  EXPECT_TRUE(Fs().TryRemoveFolder(dir / "f"));
  EXPECT_TRUE(Fs().TryCheckAccess(dir.Path(), TAccess::kWrite));
  EXPECT_EQ(Fs().TryCheckAccess(dir / "f", TAccess::kExists).Code(), ENOENT);
  EXPECT_TRUE(Fs().TrySync(dir.Path()));
  std::uint64_t free_bytes = 0;
  EXPECT_TRUE(Fs().TryFreeSpace(dir.Path(), free_bytes));
  EXPECT_GT(free_bytes, 0u);
  EXPECT_EQ(Fs().TryFreeSpace(dir / "missing", free_bytes).Code(), ENOENT);
}

TEST(PlatformFiles, AFullDeviceReportsNoSpace) {
  std::unique_ptr<TFile> full;
  if (!Fs().TryCreate("/dev/full", {.Mode = TCreateMode::kKeep}, full)) GTEST_SKIP() << "no /dev/full here";
  EXPECT_EQ(full->TryWrite("bytes").Code(), ENOSPC);
  EXPECT_TRUE(full->TryWrite(""));  // nothing to write, nothing asked of the file
}

// A write the system takes only part of: what it took stays, and the rest is reported.
TEST(PlatformFiles, AShortWriteIsReported) {
  TempDir dir("ostrivan-platform-");
  std::unique_ptr<TFile> file = Create(dir / "limited");
  struct rlimit before {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
  void (*const signal_before)(int) = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = before;
  limited.rlim_cur = 1000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  const TStatus written = file->TryWrite(std::string(4096, 'w'));
  ::setrlimit(RLIMIT_FSIZE, &before);
  ::signal(SIGXFSZ, signal_before);
  EXPECT_EQ(written.Code(), EFBIG);
  EXPECT_EQ(written.Path(), dir / "limited");
  EXPECT_EQ(InfoOf(dir / "limited").Size, 1000);
}

TEST(PlatformFiles, AWriterThatHoldsAFileOpenIsSeen) {
  TempDir dir("ostrivan-platform-");
  std::unique_ptr<TFile> writer = Create(dir / "f");
  TWriters writers = TWriters::kNone;
  ASSERT_TRUE(Fs().TryCheckWriters(dir / "f", writers));
  if (writers == TWriters::kCannotTell) GTEST_SKIP() << "no leases on this file system";
  EXPECT_EQ(writers, TWriters::kOpen);
  ASSERT_TRUE(writer->TryClose());
  ASSERT_TRUE(Fs().TryCheckWriters(dir / "f", writers));
  EXPECT_EQ(writers, TWriters::kNone);
  EXPECT_EQ(Fs().TryCheckWriters(dir / "missing", writers).Code(), ENOENT);
}

TEST(PlatformFiles, TheExecutableIsKnown) {
  std::string path;
  ASSERT_TRUE(Fs().TryExecutablePath(path));
  EXPECT_EQ(path.substr(path.rfind('/') + 1), "platform_tests");
  EXPECT_EQ(ExecutablePath(), path);
  std::string current;
  ASSERT_TRUE(Fs().TryCurrentFolder(current));
  char expected[4096];
  ASSERT_NE(::getcwd(expected, sizeof expected), nullptr);
  EXPECT_EQ(current, expected);
}

TEST(PlatformFiles, AChangeWatchSeesWritesMovesAndFolders) {
  TempDir dir("ostrivan-platform-");
  std::unique_ptr<TChangeWatch> watch;
  if (!Fs().TryWatchChanges(watch)) GTEST_SKIP() << "no change notices here";
  int folder = -1;
  ASSERT_TRUE(watch->TryAddFolder(dir.Path(), folder));
  WriteFile(dir / "f", "x");
  ASSERT_TRUE(Fs().TryRenameNoReplace(dir / "f", dir / "g"));
  ASSERT_TRUE(Fs().TryMakeFolder(dir / "sub"));
  ASSERT_TRUE(watch->Wait());
  std::vector<TChangeEvent> events;
  watch->TakeEvents(events);
  std::map<std::string, std::uint32_t> seen;
  std::set<std::uint32_t> cookies;
  for (const TChangeEvent& e : events) {
    EXPECT_EQ(e.Folder, folder);
    seen[e.Name] |= e.Changes;
    if ((e.Changes & (kChangeMovedFrom | kChangeMovedTo)) != 0) cookies.insert(e.Cookie);
  }
  EXPECT_EQ(seen["f"], kChangeCreated | kChangeModified | kChangeClosedAfterWrite | kChangeMovedFrom);
  EXPECT_EQ(seen["g"], kChangeMovedTo);
  EXPECT_EQ(seen["sub"], kChangeCreated | kChangeIsFolder);
  EXPECT_EQ(cookies.size(), 1u);  // the two halves of one rename
  watch->RemoveFolder(folder);
  events.clear();
  watch->TakeEvents(events);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().Changes & kChangeFolderGone, kChangeFolderGone);
  watch->Stop();
  EXPECT_FALSE(watch->Wait());
  EXPECT_FALSE(watch->Wait());  // stopped for good
}

// Forwards to the system's file system and counts each call by its name.
class TCountingFiles final : public TFileSystem {
 public:
  int Count(const std::string& call) {
    std::lock_guard<std::mutex> guard(lock_);
    return counts_[call];
  }

  TStatus TryOpen(const std::string& path, const TOpenOptions& options, std::unique_ptr<TFile>& file) override {
    Note("Open");
    return SystemFiles().TryOpen(path, options, file);
  }
  TStatus TryCreate(const std::string& path, const TCreateOptions& options, std::unique_ptr<TFile>& file) override {
    Note("Create");
    return SystemFiles().TryCreate(path, options, file);
  }
  TStatus TryInfo(const std::string& path, TLinks links, TFileInfo& info) override {
    Note("Info");
    return SystemFiles().TryInfo(path, links, info);
  }
  TStatus TryCheckAccess(const std::string& path, TAccess access) override {
    Note("CheckAccess");
    return SystemFiles().TryCheckAccess(path, access);
  }
  TStatus TryListFolder(const std::string& path, std::vector<TFolderEntry>& entries) override {
    Note("ListFolder");
    return SystemFiles().TryListFolder(path, entries);
  }
  TStatus TryMakeFolder(const std::string& path, unsigned permissions) override {
    Note("MakeFolder");
    return SystemFiles().TryMakeFolder(path, permissions);
  }
  TStatus TryRemoveFolder(const std::string& path) override {
    Note("RemoveFolder");
    return SystemFiles().TryRemoveFolder(path);
  }
  TStatus TryRemoveFile(const std::string& path) override {
    Note("RemoveFile");
    return SystemFiles().TryRemoveFile(path);
  }
  TStatus TryRenameNoReplace(const std::string& from, const std::string& to) override {
    Note("RenameNoReplace");
    return SystemFiles().TryRenameNoReplace(from, to);
  }
  TStatus TryRenameReplacing(const std::string& from, const std::string& to) override {
    Note("RenameReplacing");
    return SystemFiles().TryRenameReplacing(from, to);
  }
  TStatus TryHardLink(const std::string& existing, const std::string& name) override {
    Note("HardLink");
    return SystemFiles().TryHardLink(existing, name);
  }
  TStatus TrySetPermissions(const std::string& path, unsigned permissions) override {
    Note("SetPermissions");
    return SystemFiles().TrySetPermissions(path, permissions);
  }
  TStatus TrySetTimes(const std::string& path, std::optional<TFileTime> accessed, TFileTime modified) override {
    Note("SetTimes");
    return SystemFiles().TrySetTimes(path, accessed, modified);
  }
  TStatus TrySync(const std::string& path) override {
    Note("Sync");
    return SystemFiles().TrySync(path);
  }
  TStatus TryFreeSpace(const std::string& path, std::uint64_t& bytes) override {
    Note("FreeSpace");
    return SystemFiles().TryFreeSpace(path, bytes);
  }
  TStatus TryCheckWriters(const std::string& path, TWriters& writers) override {
    Note("CheckWriters");
    return SystemFiles().TryCheckWriters(path, writers);
  }
  TStatus TryExecutablePath(std::string& path) override {
    Note("ExecutablePath");
    return SystemFiles().TryExecutablePath(path);
  }
  TStatus TryCurrentFolder(std::string& path) override {
    Note("CurrentFolder");
    return SystemFiles().TryCurrentFolder(path);
  }
  TStatus TryWatchChanges(std::unique_ptr<TChangeWatch>& watch) override {
    Note("WatchChanges");
    return SystemFiles().TryWatchChanges(watch);
  }

 private:
  void Note(const std::string& call) {
    std::lock_guard<std::mutex> guard(lock_);
    ++counts_[call];
  }

  std::mutex lock_;
  std::map<std::string, int> counts_;
};

TEST(PlatformFiles, AnInstalledFileSystemSeesEveryCallUntilItGoes) {
  TempDir dir("ostrivan-platform-");
  TCountingFiles counting;
  {
    TFileSystemOverride installed(counting);
    EXPECT_EQ(&Files(), &counting);
    WriteFileDurably(dir / "record", "text");
    EXPECT_EQ(counting.Count("Create"), 1);
    EXPECT_EQ(counting.Count("RenameReplacing"), 1);
    EXPECT_EQ(counting.Count("Sync"), 1);  // the folder; the file through its object
    EXPECT_TRUE(TryMoveNoReplace(dir / "record", dir / "moved"));
    EXPECT_EQ(counting.Count("RenameNoReplace"), 1);
    EXPECT_EQ(ReadWholeFile(dir / "moved"), "text");
    EXPECT_EQ(counting.Count("Open"), 1);
    // Worker threads ask the installed one too.
    for (int i = 0; i < 6; ++i) WriteWholeFile(dir / ("f" + std::to_string(i)), "x");
    EXPECT_TRUE(TrySyncTreeConcurrently(dir.Path(), 4));
    EXPECT_EQ(counting.Count("Sync"), 1 + 1 + 7);  // before, the folder, its seven files
    TCountingFiles inner;
    {
      TFileSystemOverride nested(inner);
      EXPECT_TRUE(TryMakeDirectories(dir / "a/b"));
    }
    EXPECT_EQ(inner.Count("MakeFolder"), 2);
    EXPECT_EQ(counting.Count("MakeFolder"), 0);
    EXPECT_EQ(&Files(), &counting);
  }
  EXPECT_EQ(&Files(), &SystemFiles());
  WriteFileDurably(dir / "later", "x");
  EXPECT_EQ(counting.Count("Create"), 1 + 6);
}

}  // namespace
}  // namespace ostrivan::platform

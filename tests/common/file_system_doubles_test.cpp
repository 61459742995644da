// The test file systems behave as the system's does: the one in memory answers every
// step of a table as Linux answers it (codes and resulting trees), and the failing one
// fails exactly the call it was told, cuts a write short, or stops everything at a crash.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "platform/file_system.h"
#include "support/failing_file_system.h"
#include "support/memory_file_system.h"
#include "support/scratch_files.h"

namespace ostrivan::test_support {
namespace {

using platform::TFileKind;
using platform::TFileSystem;

std::string ReadOf(TFileSystem& files, const std::string& path) {
  std::unique_ptr<platform::TFile> file;
  if (!files.TryOpen(path, {}, file)) return "<none>";
  std::string bytes;
  char buffer[256];
  for (std::size_t got = 0; file->TryRead(buffer, sizeof buffer, got) && got > 0;) bytes.append(buffer, got);
  return bytes;
}

int Write(TFileSystem& files, const std::string& path, const std::string& bytes, platform::TCreateMode mode) {
  std::unique_ptr<platform::TFile> file;
  if (const TStatus created = files.TryCreate(path, {.Mode = mode}, file); !created) return created.Code();
  if (const TStatus written = file->TryWrite(bytes); !written) return written.Code();
  return file->TryClose().Code();
}

// Kind, bytes and link count of everything below root.
void TreeOf(TFileSystem& files, const std::string& root, const std::string& rel,
            std::map<std::string, std::string>& out) {
  std::vector<platform::TFolderEntry> entries;
  if (!files.TryListFolder(rel.empty() ? root : root + "/" + rel, entries)) return;
  for (const auto& e : entries) {
    const std::string path = rel.empty() ? e.Name : rel + "/" + e.Name;
    platform::TFileInfo info;
    (void)files.TryInfo(root + "/" + path, platform::TLinks::kDoNotFollow, info);
    if (info.Kind == TFileKind::kFolder) {
      out[path + "/"] = "";
      TreeOf(files, root, path, out);
    } else {
      out[path] = ReadOf(files, root + "/" + path) + " links=" + std::to_string(info.Links) +
                  " mode=" + std::to_string(info.Permissions & 0777);
    }
  }
}

struct TStep {
  const char* what;
  std::function<int(TFileSystem&, const std::string&)> run;  // the code it gives
};

const std::vector<TStep>& Steps() {
  using platform::TCreateMode;
  static const std::vector<TStep> steps = {
      {"make a", [](TFileSystem& f, const std::string& r) { return f.TryMakeFolder(r + "/a", 0755).Code(); }},
      {"make a again", [](TFileSystem& f, const std::string& r) { return f.TryMakeFolder(r + "/a", 0755).Code(); }},
      {"make below a missing folder",
       [](TFileSystem& f, const std::string& r) { return f.TryMakeFolder(r + "/x/y", 0755).Code(); }},
      {"write a/f", [](TFileSystem& f, const std::string& r) { return Write(f, r + "/a/f", "one", TCreateMode::kTruncate); }},
      {"write a/f exclusive",
       [](TFileSystem& f, const std::string& r) { return Write(f, r + "/a/f", "two", TCreateMode::kExclusive); }},
      {"append to a/f keeping",
       [](TFileSystem& f, const std::string& r) {
         std::unique_ptr<platform::TFile> file;
         if (const TStatus s = f.TryCreate(r + "/a/f", {.Mode = TCreateMode::kKeep, .Append = true}, file); !s)
           return s.Code();
         return file->TryWrite("+").Code();
       }},
      {"write over a folder", [](TFileSystem& f, const std::string& r) { return Write(f, r + "/a", "x", TCreateMode::kTruncate); }},
      {"write below a file", [](TFileSystem& f, const std::string& r) { return Write(f, r + "/a/f/g", "x", TCreateMode::kTruncate); }},
      {"open a missing file",
       [](TFileSystem& f, const std::string& r) {
         std::unique_ptr<platform::TFile> file;
         return f.TryOpen(r + "/nope", {}, file).Code();
       }},
      {"link a/f as g", [](TFileSystem& f, const std::string& r) { return f.TryHardLink(r + "/a/f", r + "/g").Code(); }},
      {"link over a taken name", [](TFileSystem& f, const std::string& r) { return f.TryHardLink(r + "/a/f", r + "/g").Code(); }},
      {"link a folder", [](TFileSystem& f, const std::string& r) { return f.TryHardLink(r + "/a", r + "/h").Code(); }},
      {"move g over nothing", [](TFileSystem& f, const std::string& r) { return f.TryRenameNoReplace(r + "/g", r + "/m").Code(); }},
      {"move m onto a/f without replacing",
       [](TFileSystem& f, const std::string& r) { return f.TryRenameNoReplace(r + "/m", r + "/a/f").Code(); }},
      {"move m onto a/f replacing (same file)",
       [](TFileSystem& f, const std::string& r) { return f.TryRenameReplacing(r + "/m", r + "/a/f").Code(); }},
      {"write b", [](TFileSystem& f, const std::string& r) { return Write(f, r + "/b", "bee", TCreateMode::kTruncate); }},
      {"move b over m replacing", [](TFileSystem& f, const std::string& r) { return f.TryRenameReplacing(r + "/b", r + "/m").Code(); }},
      {"move a file over a folder", [](TFileSystem& f, const std::string& r) { return f.TryRenameReplacing(r + "/m", r + "/a").Code(); }},
      {"make c", [](TFileSystem& f, const std::string& r) { return f.TryMakeFolder(r + "/c", 0700).Code(); }},
      {"move a folder over a full folder",
       [](TFileSystem& f, const std::string& r) { return f.TryRenameReplacing(r + "/c", r + "/a").Code(); }},
      {"move a folder into itself",
       [](TFileSystem& f, const std::string& r) { return f.TryRenameNoReplace(r + "/a", r + "/a/inner").Code(); }},
      {"move a folder over an empty one",
       [](TFileSystem& f, const std::string& r) {
         (void)f.TryMakeFolder(r + "/d", 0755);
         return f.TryRenameReplacing(r + "/d", r + "/c").Code();
       }},
      {"move a missing name", [](TFileSystem& f, const std::string& r) { return f.TryRenameNoReplace(r + "/zz", r + "/yy").Code(); }},
      {"remove a full folder", [](TFileSystem& f, const std::string& r) { return f.TryRemoveFolder(r + "/a").Code(); }},
      {"remove a folder as a file", [](TFileSystem& f, const std::string& r) { return f.TryRemoveFile(r + "/c").Code(); }},
      {"remove a file as a folder", [](TFileSystem& f, const std::string& r) { return f.TryRemoveFolder(r + "/m").Code(); }},
      {"read-only m", [](TFileSystem& f, const std::string& r) { return f.TrySetPermissions(r + "/m", 0444).Code(); }},
      {"remove m", [](TFileSystem& f, const std::string& r) { return f.TryRemoveFile(r + "/m").Code(); }},
      {"remove c", [](TFileSystem& f, const std::string& r) { return f.TryRemoveFolder(r + "/c").Code(); }},
      {"info of a name below a file",
       [](TFileSystem& f, const std::string& r) {
         platform::TFileInfo info;
         return f.TryInfo(r + "/a/f/x", platform::TLinks::kDoNotFollow, info).Code();
       }},
      {"list a file",
       [](TFileSystem& f, const std::string& r) {
         std::vector<platform::TFolderEntry> entries;
         return f.TryListFolder(r + "/a/f", entries).Code();
       }},
      {"cut a/f to 2 bytes",
       [](TFileSystem& f, const std::string& r) {
         std::unique_ptr<platform::TFile> file;
         if (const TStatus s = f.TryOpen(r + "/a/f", {.Write = true}, file); !s) return s.Code();
         return file->TryResize(2).Code();
       }},
  };
  return steps;
}

TEST(MemoryFileSystem, AnswersEveryStepAsTheSystemDoes) {
  TempDir dir;
  TMemoryFileSystem memory;
  (void)memory.TryMakeFolder("/t", 0755);
  for (const TStep& step : Steps()) {
    SCOPED_TRACE(step.what);
    const int system_code = step.run(platform::SystemFiles(), dir.Path());
    const int memory_code = step.run(memory, "/t");
    EXPECT_EQ(memory_code, system_code) << std::strerror(memory_code) << " / " << std::strerror(system_code);
    std::map<std::string, std::string> system_tree;
    std::map<std::string, std::string> memory_tree;
    TreeOf(platform::SystemFiles(), dir.Path(), "", system_tree);
    TreeOf(memory, "/t", "", memory_tree);
    EXPECT_EQ(memory_tree, system_tree);
  }
}

TEST(MemoryFileSystem, KeepsTimesIdentitiesAndWriters) {
  TMemoryFileSystem memory;
  ASSERT_TRUE(memory.TryMakeFolder("/w", 0755));
  std::unique_ptr<platform::TFile> file;
  ASSERT_TRUE(memory.TryCreate("/w/f", {}, file));
  platform::TWriters writers = platform::TWriters::kCannotTell;
  ASSERT_TRUE(memory.TryCheckWriters("/w/f", writers));
  EXPECT_EQ(writers, platform::TWriters::kOpen);
  platform::TFileInfo before;
  ASSERT_TRUE(memory.TryInfo("/w/f", platform::TLinks::kDoNotFollow, before));
  ASSERT_TRUE(file->TryWrite("abc"));
  ASSERT_TRUE(file->TryClose());
  ASSERT_TRUE(memory.TryCheckWriters("/w/f", writers));
  EXPECT_EQ(writers, platform::TWriters::kNone);
  platform::TFileInfo after;
  ASSERT_TRUE(memory.TryInfo("/w/f", platform::TLinks::kDoNotFollow, after));
  EXPECT_TRUE(after.SameFile(before));
  EXPECT_GT(after.Modified, before.Modified);
  ASSERT_TRUE(memory.TrySetTimes("/w/f", std::nullopt, {1600000000, 5}));
  ASSERT_TRUE(memory.TryRenameNoReplace("/w/f", "/w/g"));
  platform::TFileInfo moved;
  ASSERT_TRUE(memory.TryInfo("/w/g", platform::TLinks::kDoNotFollow, moved));
  EXPECT_TRUE(moved.SameFile(before));
  EXPECT_EQ(moved.Modified, (platform::TFileTime{1600000000, 5}));
  EXPECT_GT(moved.Changed, after.Changed);  // a move changes it, as on Linux
  std::string exe;
  ASSERT_TRUE(memory.TryExecutablePath(exe));
  platform::TFileInfo folder;
  EXPECT_TRUE(memory.TryInfo(exe.substr(0, exe.rfind('/')), platform::TLinks::kFollow, folder));
  EXPECT_EQ(folder.Kind, TFileKind::kFolder);
}

TEST(FailingFileSystem, FailsTheChosenCallOnly) {
  struct Case {
    TFault fault;
    int code;
  } cases[] = {{TFault::kIo, EIO}, {TFault::kNoSpace, ENOSPC}, {TFault::kDenied, EACCES}};
  for (const Case& c : cases) {
    SCOPED_TRACE(FaultName(c.fault));
    TMemoryFileSystem memory;
    TFailingFileSystem failing(memory);
    failing.Arm(2, c.fault);
    EXPECT_TRUE(failing.TryMakeFolder("/a", 0755));
    EXPECT_EQ(failing.TryMakeFolder("/b", 0755).Code(), c.code);
    EXPECT_TRUE(failing.TryMakeFolder("/c", 0755));
    EXPECT_TRUE(failing.Fired());
    EXPECT_EQ(failing.Calls(), 3u);
    platform::TFileInfo info;
    EXPECT_EQ(memory.TryInfo("/b", platform::TLinks::kFollow, info).Code(), ENOENT);  // no effect
    ASSERT_EQ(failing.Trace().size(), 3u);
    EXPECT_EQ(failing.Trace()[1].Call, TCall::kMakeFolder);
    EXPECT_EQ(failing.Trace()[1].Path, "/b");
  }
}

TEST(FailingFileSystem, ACrossingFailsOnlyAMoveAndAShortWriteLandsHalf) {
  TMemoryFileSystem memory;
  TFailingFileSystem failing(memory);
  failing.Arm(1, TFault::kCrossing);
  EXPECT_TRUE(failing.TryMakeFolder("/a", 0755));  // no move: not fired
  EXPECT_FALSE(failing.Fired());
  failing.Arm(1, TFault::kCrossing);
  EXPECT_EQ(failing.TryRenameNoReplace("/a", "/b").Code(), EXDEV);
  failing.Arm(2, TFault::kShortWrite);
  std::unique_ptr<platform::TFile> file;
  ASSERT_TRUE(failing.TryCreate("/a/f", {}, file));
  EXPECT_EQ(file->TryWrite("abcdef").Code(), ENOSPC);
  EXPECT_TRUE(file->TryClose());
  EXPECT_EQ(ReadOf(memory, "/a/f"), "abc");
}

TEST(FailingFileSystem, ACrashStopsEveryCallUntilLifted) {
  TMemoryFileSystem memory;
  TFailingFileSystem failing(memory);
  std::unique_ptr<platform::TFile> file;
  failing.Arm(3, TFault::kCrash);
  ASSERT_TRUE(failing.TryCreate("/f", {}, file));
  ASSERT_TRUE(file->TryWrite("kept"));
  EXPECT_EQ(file->TryWrite("lost").Code(), EIO);
  EXPECT_EQ(failing.TryRemoveFile("/f").Code(), EIO);
  EXPECT_EQ(failing.TryMakeFolder("/g", 0755).Code(), EIO);
  EXPECT_TRUE(failing.Crashed());
  EXPECT_EQ(ReadOf(memory, "/f"), "kept");
  failing.LiftCrash();
  EXPECT_TRUE(failing.TryMakeFolder("/g", 0755));
  EXPECT_EQ(failing.Calls(), 6u);
}

TEST(FailingFileSystem, EveryThreadIsCounted) {
  TMemoryFileSystem memory;
  TFailingFileSystem failing(memory);
  failing.Disarm();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&failing, t] {
      for (int i = 0; i < 100; ++i) (void)failing.TryMakeFolder("/d" + std::to_string(t * 1000 + i), 0755);
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failing.Calls(), 400u);
}

}  // namespace
}  // namespace ostrivan::test_support

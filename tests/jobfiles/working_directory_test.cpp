// The job's directory work: listing order, emptying, packing a tree or one file, and
// unpacking, each with the service's own failure messages.
#include "jobfiles/working_directory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "archive/zip_file.h"
#include "support/commands.h"
#include "support/failures.h"
#include "support/scratch_files.h"
#include "support/zip_builder.h"

namespace ostrivan::jobfiles {
namespace {

using archive::TZipFile;
using archive::TZipMode;
using test_support::FailureOf;
using test_support::FileExists;
using test_support::ListTree;
using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteFile;

void MakeDir(const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path; }

std::vector<std::string> EntryNames(const std::string& zip_path) {
  TZipFile zip;
  zip.Open(zip_path, TZipMode::zmRead);
  std::vector<std::string> names;
  for (const auto& h : zip.Files()) names.push_back(h.FileName);
  return names;
}

TEST(WorkingDirectoryPaths, ListingIsSortedIgnoringCase) {
  TempDir d;
  for (const char* name : {"b.txt", "A.txt", "a2", "C", "\xC3\xA8z",
                           "\xC3\x88"
                           "a"})
    WriteFile(d / name, "");
  MakeDir(d / "Bdir");
  std::vector<std::string> names;
  for (const auto& e : ListDirectory(d.Path())) names.push_back(e.Name + (e.IsDirectory ? "/" : ""));
  EXPECT_EQ(names, (std::vector<std::string>{"A.txt", "a2", "b.txt", "Bdir/", "C",
                                             "\xC3\x88"
                                             "a",
                                             "\xC3\xA8z"}));
  EXPECT_EQ(ListFiles(d.Path()).size(), 6u);
  EXPECT_EQ(FailureOf([&] { ListDirectory(d / "missing"); }),
            "EDirectoryNotFoundException: The specified path was not found");
}

TEST(WorkingDirectoryPaths, JoiningAndNamesWithoutExtension) {
  struct Join {
    std::string dir, name, expected;
  } joins[] = {
      {"/d", "x.zip", "/d/x.zip"},
      {"/d/", "x.zip", "/d/x.zip"},
      {"/d", "/abs/x.zip", "/abs/x.zip"},
      {"", "x.zip", "x.zip"},
      {"/d", std::string("x\0y", 3), "EArgumentException: Invalid characters in path"},
      {std::string("/d\0", 3), "x", "EArgumentException: Invalid characters in path"},
  };
  for (const auto& j : joins) {
    std::string result;
    std::string failure = FailureOf([&] { result = JoinPath(j.dir, j.name); });
    EXPECT_EQ(failure.empty() ? result : failure, j.expected) << j.dir << " + " << j.name;
  }
  struct Stem {
    const char* path;
    const char* expected;
  } stems[] = {{"/a/b/P1.NC", "P1"}, {"P1", "P1"}, {"/a.b/P1", "P1"}, {"x.tar.gz", "x.tar"}, {".hidden", ""}};
  for (const auto& s : stems) EXPECT_EQ(FileStem(s.path), s.expected) << s.path;
  EXPECT_TRUE(SameTextIgnoringCase("/D/P1.zip", "/d/p1.ZIP"));
  EXPECT_TRUE(SameTextIgnoringCase("\xC3\xA0\xC5\x82\xD0\xB6", "\xC3\x80\xC5\x81\xD0\x96"));  // àłж / ÀŁЖ
}

// Bytes that are not UTF-8 stay as they are, each one on its own: a cut sequence does not
// swallow the letter after it, and an overlong form never passes for the letter it spells.
TEST(NameComparison, MalformedBytesAreKeptAndNeverFolded) {
  struct Case {
    std::string name;
    std::string upper;
  };
  const Case cases[] = {
      {"p\xE8.nc", "P\xE8.NC"},  // Latin-1 byte
      {"a\xC3"
       "b",
       "A\xC3"
       "B"},  // cut sequence before a letter
      {"\xE2\x82"
       "x\xC3\xA8",
       "\xE2\x82"
       "X\xC3\x88"},
      {"\xC1\xA1", "\xC1\xA1"},            // overlong "a"
      {"\xED\xA0\x80z", "\xED\xA0\x80Z"},  // encoded surrogate
  };
  for (const Case& c : cases) EXPECT_EQ(UpperCaseText(c.name), c.upper) << c.name;
  EXPECT_FALSE(SameTextIgnoringCase("\xC1\xA1", "a"));
  EXPECT_TRUE(SameTextIgnoringCase("p\xE8.nc", "P\xE8.NC"));
}

// Emptied in place, or moved aside into a folder for removal later: the same rules.
TEST(EmptyingADirectory, RemovesTreesWithReadOnlyFilesButNeverFollowsLinks) {
  for (const bool moved : {false, true}) {
    SCOPED_TRACE(moved ? "aside" : "in place");
    TempDir root;
    const std::string d = root / "export";
    const std::string outside = root / "outside";
    const std::string aside = moved ? d + "/.staging/old" : "";
    MakeDir(d);
    MakeDir(outside);
    WriteFile(outside + "/keep.txt", "must survive");
    MakeDir(d + "/sub");
    MakeDir(d + "/sub/deeper");
    WriteFile(d + "/sub/ro.txt", "read-only below");
    ::chmod((d + "/sub/ro.txt").c_str(), 0444);
    WriteFile(d + "/sub/deeper/x.NC", "x");
    ::chmod((d + "/sub/deeper").c_str(), 0555);
    ASSERT_EQ(::symlink(outside.c_str(), (d + "/sub/link").c_str()), 0);
    ASSERT_EQ(::symlink(outside.c_str(), (d + "/toplink").c_str()), 0);
    WriteFile(d + "/a.txt", "a");
    MakeDir(d + "/.staging");
    if (moved) MakeDir(aside);

    EmptyDirectory(d, ".staging", aside);
    std::vector<std::string> left;
    for (const auto& e : ListDirectory(d)) left.push_back(e.Name);
    EXPECT_EQ(left, std::vector<std::string>{".staging"});
    if (moved) {
      EXPECT_EQ(ListTree(aside),
                (std::vector<std::string>{"a.txt", "sub/deeper/x.NC", "sub/link", "sub/ro.txt", "toplink"}));
      EXPECT_EQ(ReadFile(aside + "/sub/deeper/x.NC"), "x");
    }
    EXPECT_EQ(ReadFile(outside + "/keep.txt"), "must survive");
  }
}

TEST(EmptyingADirectory, ReadOnlyFileDirectlyInsideFailsAfterTheTreesAreGone) {
  for (const bool moved : {false, true}) {
    SCOPED_TRACE(moved ? "aside" : "in place");
    TempDir root;
    const std::string d = root / "import";
    const std::string aside = moved ? root / "aside" : "";
    MakeDir(d);
    if (moved) MakeDir(aside);
    MakeDir(d + "/sub");
    WriteFile(d + "/sub/f", "f");
    WriteFile(d + "/a.txt", "a");
    WriteFile(d + "/b.txt", "b");
    WriteFile(d + "/c.txt", "c");
    ::chmod((d + "/b.txt").c_str(), 0444);
    const std::string failure = FailureOf([&] { EmptyDirectory(d, "", aside); });
    EXPECT_EQ(failure, "EOSError: Fallita eliminazione contenuto " + d);
    EXPECT_EQ(ListTree(d), std::vector<std::string>({"b.txt", "c.txt"}));  // stopped at b.txt
    EXPECT_FALSE(FileExists(d + "/sub"));
    if (moved) {
      EXPECT_EQ(ListTree(aside), std::vector<std::string>({"a.txt", "sub/f"}));
    }

    EXPECT_EQ(FailureOf([&] { EmptyDirectory(root / "missing", "", aside); }),
              "EDirectoryNotFoundException: Fallita eliminazione contenuto " + (root / "missing"));
  }
}

TEST(PackingATree, DepthFirstRelativeBackslashNamesWithoutTheArchiveOrEmptyDirectories) {
  TempDir root;
  const std::string d = root / "export";
  MakeDir(d);
  MakeDir(d + "/programs");
  MakeDir(d + "/programs/subprog");
  MakeDir(d + "/tools");
  MakeDir(d + "/temp");
  WriteFile(d + "/programs/P1.NC", "G0\r\n");
  WriteFile(d + "/programs/subprog/O9001.NC", "M99\r\n");
  WriteFile(d + "/tools/T.CFG", "[T]\r\n");
  WriteFile(d + "/job.ini", "[JOB]\r\n");
  WriteFile(d + "/zzz.txt", "last");
  const std::vector<std::string> expected = {"job.ini", "programs\\P1.NC", "programs\\subprog\\O9001.NC",
                                             "tools\\T.CFG", "zzz.txt"};
  // The archive lies inside the packed directory; doubled separators in the directory
  // text must not hide it.
  for (const std::string& spelled : {d, d + "/", root.Path() + "//export//"}) {
    const std::string z = JoinPath(d, "P1.zip");
    WriteFile(z, "stale archive of an earlier export");
    PackDirectoryTree(spelled, z);
    EXPECT_EQ(EntryNames(z), expected) << spelled;
  }
  TempDir out;
  UnpackArchive(d + "/P1.zip", out.Path());
  EXPECT_EQ(ReadFile(out / "programs/subprog/O9001.NC"), "M99\r\n");
}

TEST(PackingATree, FailuresKeepThePrefixAndTheEntriesAddedSoFar) {
  TempDir root;
  const std::string d = root / "export";
  MakeDir(d);
  WriteFile(d + "/a.txt", "a");
  ASSERT_EQ(::symlink((root / "nowhere").c_str(), (d + "/b.lnk").c_str()), 0);
  WriteFile(d + "/c.txt", "c");
  const std::string z = d + "/a.zip";
  EXPECT_EQ(FailureOf([&] { PackDirectoryTree(d, z); }),
            "EFOpenError: Fallita compressione zip Cannot open file \"" + d + "/b.lnk\". No such file or directory");
  EXPECT_EQ(EntryNames(z), std::vector<std::string>{"a.txt"});

  // Special files end the packing instead of stalling it.
  test_support::RemoveTree(d);
  MakeDir(d);
  WriteFile(d + "/a.txt", "a");
  ASSERT_EQ(::mkfifo((d + "/b.fifo").c_str(), 0644), 0);
  EXPECT_EQ(FailureOf([&] { PackDirectoryTree(d, z); }),
            "EFOpenError: Fallita compressione zip Cannot open file \"" + d + "/b.fifo\". Not a regular file");
  ::unlink((d + "/b.fifo").c_str());
  MakeDir(root / "elsewhere");
  ASSERT_EQ(::symlink((root / "elsewhere").c_str(), (d + "/b.lnk").c_str()), 0);
  EXPECT_EQ(FailureOf([&] { PackDirectoryTree(d, z); }),
            "EFOpenError: Fallita compressione zip Cannot open file \"" + d + "/b.lnk\". Is a directory");

  EXPECT_EQ(FailureOf([&] { PackDirectoryTree(d, root / "missing/x.zip"); }),
            "EFCreateError: Fallita compressione zip Cannot create file \"" + (root / "missing/x.zip") +
                "\". No such file or directory");
}

TEST(PackingOneFile, OnlyTheFirstFileUnderItsBareName) {
  TempDir root;
  const std::string d = root / "export";
  MakeDir(d);
  MakeDir(d + "/A_dir");
  WriteFile(d + "/A_dir/inner.txt", "not packed");
  WriteFile(d + "/b.txt", "second");
  WriteFile(d + "/a.txt", "first");
  PackOneFile(d, d + "/a.zip");
  EXPECT_EQ(EntryNames(d + "/a.zip"), std::vector<std::string>{"a.txt"});

  struct Case {
    const char* what;
    std::function<void(const std::string& dir)> prepare;
    std::string zip_name;
    std::string expected;  // %D stands for the directory
  } cases[] = {
      {"only subdirectories", [](const std::string& dir) { ::mkdir((dir + "/sub").c_str(), 0755); }, "x.zip",
       "Exception: Nessun file trovato nella directory \"%D\""},
      {"archive not creatable", [](const std::string& dir) { WriteFile(dir + "/a.txt", "a"); }, "no/a.zip",
       "EFCreateError: Fallita compressione zip Cannot create file \"%D/no/a.zip\". No such file or directory"},
      {"first file is the archive", [](const std::string& dir) { WriteFile(dir + "/a.zip", "precious"); }, "A.ZIP",
       "EZipException: Fallita compressione zip The archive cannot contain itself: \"%D/a.zip\""},
  };
  for (const auto& c : cases) {
    TempDir dir;
    c.prepare(dir.Path());
    std::string expected = c.expected;
    for (std::size_t at; (at = expected.find("%D")) != std::string::npos;) expected.replace(at, 2, dir.Path());
    EXPECT_EQ(FailureOf([&] { PackOneFile(dir.Path(), dir / c.zip_name); }), expected) << c.what;
  }
}

TEST(UnpackingAnArchive, FailuresAndReadOnlyEntries) {
  TempDir root;
  WriteFile(root / "text.zip", "plain text, not an archive\n");
  WriteFile(root / "empty.zip", "");
  EXPECT_EQ(FailureOf([&] { UnpackArchive(root / "text.zip", root / "t"); }),
            "EZipException: Fallita extrazione .zip Error reading zip file");
  EXPECT_EQ(FailureOf([&] { UnpackArchive(root / "empty.zip", root / "t"); }),
            "EReadError: Fallita extrazione .zip Stream read error");

  const std::string src = root / "src";
  MakeDir(src);
  WriteFile(src + "/top.txt", "top");
  WriteFile(src + "/below.txt", "below");
  ::chmod((src + "/top.txt").c_str(), 0444);
  ::chmod((src + "/below.txt").c_str(), 0444);
  {
    TZipFile zip;
    zip.Open(root / "job.zip", TZipMode::zmWrite);
    zip.Add(src + "/top.txt", "top.txt");
    zip.Add(src + "/below.txt", "sub\\below.txt");
  }
  const std::string d = root / "import";
  MakeDir(d);
  UnpackArchive(root / "job.zip", d);
  EXPECT_TRUE(test_support::IsReadOnly(d + "/top.txt"));
  EXPECT_TRUE(test_support::IsReadOnly(d + "/sub/below.txt"));
  // The next emptying removes the read-only file below but stops at the one on top.
  EXPECT_EQ(FailureOf([&] { EmptyDirectory(d); }), "EOSError: Fallita eliminazione contenuto " + d);
  EXPECT_EQ(ListTree(d), std::vector<std::string>{"top.txt"});
}

TEST(PackingATree, GeneratedJobRoundTripsThroughPackAndUnpack) {
  TempDir root;
  const std::string d = root / "job";
  const auto made = test_support::RunCommand(
      "python3 " + test_support::ShellQuote(std::string(OSTRIVAN_SOURCE_DIR) + "/tools/make_job.py") + " small " +
      test_support::ShellQuote(d));
  ASSERT_EQ(made.exit_code, 0) << made.output;
  const auto before = ListTree(d);
  const std::string first = ListFiles(d + "/programs").front();
  const std::string z = JoinPath(d, FileStem(first) + ".zip");
  PackDirectoryTree(d, z);
  const std::string out = root / "out";
  MakeDir(out);
  UnpackArchive(z, out);
  ASSERT_EQ(ListTree(out), before);
  for (const auto& f : before) EXPECT_EQ(ReadFile(out + "/" + f), ReadFile(d + "/" + f)) << f;
  EmptyDirectory(d);
  EXPECT_TRUE(ListDirectory(d).empty());
}

}  // namespace
}  // namespace ostrivan::jobfiles

// Archives checked against the real tools: ours must satisfy Info-ZIP unzip and Python's
// zipfile, and archives those tools write must extract correctly with ours.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "archive/zip_file.h"
#include "support/commands.h"
#include "support/scratch_files.h"
#include "support/zip_builder.h"

namespace ostrivan::archive {
namespace {

using test_support::ListTree;
using test_support::ReadFile;
using test_support::RunCommand;
using test_support::RunPython;
using test_support::ShellQuote;
using test_support::TempDir;
using test_support::WriteFile;

std::string CncText(int lines) {
  std::string s;
  for (int i = 0; i < lines; ++i) {
    s.append("N").append(std::to_string(i * 10)).append(" G1 X").append(std::to_string(i % 250));
    s.append(".5 Y").append(std::to_string(i * 7 % 300)).append(" F800\r\n");
  }
  return s;
}

// A small job tree with the kinds of files the peers must agree on.
void MakeTree(const std::string& root, bool utf8_name = true) {
  ::mkdir((root + "/programs").c_str(), 0755);
  ::mkdir((root + "/tools").c_str(), 0755);
  ::mkdir((root + "/empty").c_str(), 0755);
  WriteFile(root + "/programs/P1.NC", CncText(3000));
  WriteFile(root + "/tools/T01.CFG", "[TOOL]\r\nD=12.5\r\n");
  WriteFile(root + "/job.ini", "[JOB]\r\nID=42\r\n");
  WriteFile(root + "/zero.txt", "");
  if (utf8_name) WriteFile(root + "/citt\xC3\xA0.txt", "UTF-8 name");
  WriteFile(root + "/ro.txt", "read only");
  ::chmod((root + "/ro.txt").c_str(), 0444);
}

void ExpectSameFiles(const std::string& expected_root, const std::string& actual_root) {
  const auto expected = ListTree(expected_root);
  ASSERT_EQ(ListTree(actual_root), expected);
  for (const auto& f : expected) EXPECT_EQ(ReadFile(actual_root + "/" + f), ReadFile(expected_root + "/" + f)) << f;
}

std::string Extract(const std::string& archive, const std::string& target) {
  try {
    TZipFile zip;
    zip.Open(archive, TZipMode::zmRead);
    zip.ExtractAll(target);
  } catch (const ostrivan::Exception& e) {
    return std::string(e.ClassName()) + ": " + e.Message();
  }
  return "";
}

TEST(ZipInterop, OurArchivesPassUnzipAndPythonZipfile) {
  TempDir dir;
  const std::string src = dir / "src";
  ::mkdir(src.c_str(), 0755);
  MakeTree(src);
  std::vector<TZipSource> sources;
  for (const auto& f : ListTree(src)) {
    std::string name = f;
    for (char& c : name)
      if (c == '/') c = '\\';
    sources.push_back({src + "/" + f, name});
  }
  {
    TZipFile zip;
    zip.Open(dir / "ours.zip", TZipMode::zmWrite);
    zip.AddFiles(sources);
  }
  const auto unzip = RunCommand("unzip -t " + ShellQuote(dir / "ours.zip"));
  EXPECT_EQ(unzip.exit_code, 0) << unzip.output;
  EXPECT_NE(unzip.output.find("No errors detected"), std::string::npos) << unzip.output;

  // Python checks names, CRCs, sizes, times and the read-only bit against the sources.
  const auto check = RunPython(R"(
import os, sys, time, zipfile, zlib
archive, src = sys.argv[1], sys.argv[2]
problems = []
with zipfile.ZipFile(archive) as z:
    if z.testzip() is not None:
        problems.append("testzip")
    names = []
    for info in z.infolist():
        rel = info.filename.replace("\\", "/")
        names.append(rel)
        path = os.path.join(src, rel)
        data = open(path, "rb").read()
        st = os.stat(path)
        if info.CRC != zlib.crc32(data) or info.file_size != len(data):
            problems.append("crc/size " + rel)
        if z.read(info) != data:
            problems.append("content " + rel)
        t = time.localtime(st.st_mtime)
        if info.date_time != (t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec // 2 * 2):
            problems.append("time " + rel)
        ro = not (st.st_mode & 0o200)
        if bool(info.external_attr & 1) != ro or not info.external_attr & 0x20:
            problems.append("attributes " + rel)
        if info.flag_bits & 0x800 == 0 or info.compress_type != zipfile.ZIP_DEFLATED:
            problems.append("flags " + rel)
    expected = sorted(os.path.relpath(os.path.join(r, f), src) for r, _, fs in os.walk(src) for f in fs)
    if sorted(names) != expected:
        problems.append("names %r" % names)
print("ALL OK" if not problems else "\n".join(problems))
)",
                               {dir / "ours.zip", src});
  EXPECT_EQ(check.exit_code, 0) << check.output;
  EXPECT_EQ(check.output, "ALL OK\n");
}

TEST(ZipInterop, InfoZipArchivesExtract) {
  TempDir dir;
  const std::string src = dir / "src";
  ::mkdir(src.c_str(), 0755);
  // Info-ZIP stores non-ASCII names as raw bytes without the UTF-8 flag; those read as
  // code page 437 (checked separately below), so the shared tree keeps ASCII names.
  MakeTree(src, false);
  struct Case {
    const char* what;
    const char* options;
  } cases[] = {
      {"deflated, .CFG stored", "-r -q -n .CFG"},
      {"all stored", "-r -q -0"},
      {"forced ZIP64", "-r -q -fz"},
  };
  for (const auto& c : cases) {
    const std::string archive = dir / "peer.zip";
    ::unlink(archive.c_str());
    const auto made = RunCommand("cd " + ShellQuote(src) + " && zip " + c.options + " " + ShellQuote(archive) + " .");
    ASSERT_EQ(made.exit_code, 0) << made.output;
    TempDir out;
    EXPECT_EQ(Extract(archive, out.Path()), "") << c.what;
    ExpectSameFiles(src, out.Path());
    struct stat st {};
    EXPECT_EQ(::stat((out / "empty").c_str(), &st), 0) << c.what;  // directory entries make directories
  }
  TempDir one;
  WriteFile(one / "citt\xC3\xA0.txt", "x");
  ASSERT_EQ(RunCommand("cd " + ShellQuote(one.Path()) + " && zip -q n.zip citt*").exit_code, 0);
  TempDir out;
  EXPECT_EQ(Extract(one / "n.zip", out.Path()), "");
  EXPECT_EQ(ListTree(out.Path()), std::vector<std::string>{"citt\xE2\x94\x9C\xC3\xA1.txt"});
}

TEST(ZipInterop, PythonArchivesExtract) {
  TempDir dir;
  const auto made = RunPython(R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    z.writestr("sub/deflated.NC", "G0 X1\r\n" * 500, compress_type=zipfile.ZIP_DEFLATED)
    z.writestr("sub/stored.txt", "stored bytes", compress_type=zipfile.ZIP_STORED)
    z.writestr("dir/", "")
    z.writestr("zero.txt", "", compress_type=zipfile.ZIP_DEFLATED)
    z.writestr("perch\u00e9.txt", "utf-8 flag", compress_type=zipfile.ZIP_DEFLATED)
    z.writestr("\u00c7\u00e9.txt", "code page 437", compress_type=zipfile.ZIP_DEFLATED)
    with z.open(zipfile.ZipInfo("big/zip64.bin"), "w", force_zip64=True) as f:
        f.write(b"zip64 entry " * 1000)
)",
                              {dir / "py.zip"});
  ASSERT_EQ(made.exit_code, 0) << made.output;
  TempDir out;
  ASSERT_EQ(Extract(dir / "py.zip", out.Path()), "");
  EXPECT_EQ(ListTree(out.Path()), (std::vector<std::string>{"big/zip64.bin", "perch\xC3\xA9.txt", "sub/deflated.NC",
                                                            "sub/stored.txt", "zero.txt", "\xC3\x87\xC3\xA9.txt"}));
  std::string nc;
  for (int i = 0; i < 500; ++i) nc += "G0 X1\r\n";
  EXPECT_EQ(ReadFile(out / "sub/deflated.NC"), nc);
  EXPECT_EQ(ReadFile(out / "sub/stored.txt"), "stored bytes");
  EXPECT_EQ(ReadFile(out / "\xC3\x87\xC3\xA9.txt"), "code page 437");
  EXPECT_EQ(ReadFile(out / "big/zip64.bin").size(), 12000u);
  struct stat st {};
  EXPECT_EQ(::stat((out / "dir").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(ZipInterop, PeerArchivesWithBadDataOrUnsafeNamesAreRefused) {
  TempDir dir;
  // A stored entry with one content byte flipped.
  WriteFile(dir / "data.txt", "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
  ASSERT_EQ(RunCommand("cd " + ShellQuote(dir.Path()) + " && zip -q -0 flip.zip data.txt").exit_code, 0);
  std::string bytes = ReadFile(dir / "flip.zip");
  const std::size_t at = bytes.find("ABCDEF");
  ASSERT_NE(at, std::string::npos);
  bytes[at] = 'a';
  WriteFile(dir / "flip.zip", bytes);
  {
    TempDir out;
    EXPECT_EQ(Extract(dir / "flip.zip", out.Path()), "EZipCRCException: Error reading zip file");
  }
  // Zip slip: a name that climbs out of the target.
  const auto made = RunPython(R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    z.writestr("ok.txt", "fine")
    z.writestr("../../escaped.txt", "should never be written")
)",
                              {dir / "slip.zip"});
  ASSERT_EQ(made.exit_code, 0) << made.output;
  const std::string target = dir / "a/b";
  EXPECT_EQ(Extract(dir / "slip.zip", target),
            "EZipException: Zip entry name outside the target directory: \"../../escaped.txt\"");
  EXPECT_FALSE(test_support::FileExists(dir / "escaped.txt"));
  EXPECT_FALSE(test_support::FileExists(target + "/ok.txt"));
}

}  // namespace
}  // namespace ostrivan::archive

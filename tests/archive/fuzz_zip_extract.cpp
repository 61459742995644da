// Opens arbitrary bytes as an archive and extracts it into a scratch directory. Besides
// crashes and sanitizer reports, it aborts when anything appears outside the target.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "archive/zip_file.h"
#include "support/scratch_files.h"

namespace {

using ostrivan::archive::TBytesStream;
using ostrivan::archive::TZipFile;
using ostrivan::archive::TZipMode;

using ostrivan::test_support::Names;
using ostrivan::test_support::RemoveTree;
using ostrivan::test_support::TempDir;
using ostrivan::test_support::WriteFile;

// Made once per run; freed with the other statics at exit, which removes it.
std::unique_ptr<TempDir> scratch_dir;
std::string scratch;

// A few valid archives so a run from an empty corpus starts from real structure.
void WriteSeeds(const std::string& corpus) {
  if (!Names(corpus).empty()) return;
  const std::string src = scratch + "/seed-src";
  WriteFile(src + "/a.NC", "G0 X0 Y0\r\nG1 X10 F500\r\nM30\r\n");
  WriteFile(src + "/empty.txt", "");
  for (std::uint16_t method : {std::uint16_t{0}, std::uint16_t{8}}) {
    TBytesStream stream;
    {
      TZipFile zip;
      zip.Open(stream, TZipMode::zmWrite);
      zip.Add(src + "/a.NC", "programs\\a.NC", method);
      zip.Add(src + "/empty.txt", "dir/empty.txt", method);
    }
    WriteFile(corpus + "/seed-" + std::to_string(method), std::string(stream.Bytes().begin(), stream.Bytes().end()));
  }
  RemoveTree(src);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  scratch_dir = std::make_unique<TempDir>("ostrivan-fuzz-zip-");
  scratch = scratch_dir->Path();
  for (int i = *argc - 1; i > 0; --i) {
    struct stat st {};
    if ((*argv)[i][0] != '-' && ::stat((*argv)[i], &st) == 0 && S_ISDIR(st.st_mode)) {
      WriteSeeds((*argv)[i]);
      break;
    }
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string target = scratch + "/out";
  TBytesStream stream{std::vector<std::uint8_t>(data, data + size)};
  try {
    TZipFile zip;
    zip.Open(stream, TZipMode::zmRead);
    zip.ExtractAll(target);
  } catch (const ostrivan::Exception&) {
    // Refusing the input is the expected outcome for almost every case.
  }
  for (const auto& name : Names(scratch))
    if (name != "out") {
      std::fprintf(stderr, "extraction wrote outside its target: %s\n", name.c_str());
      std::abort();
    }
  RemoveTree(target);
  return 0;
}

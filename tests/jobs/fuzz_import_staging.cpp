// Any bytes as a received archive, unpacked the way an import unpacks it: from memory,
// on several threads, through the staging folder. Besides crashes and sanitizer reports
// it aborts when anything lands outside the import directory, when a failed import
// leaves anything but the received archive, or when a finished one leaves its staging
// folder or the archive behind. The files live in memory when a first fixed import
// works there (every call of it goes through the file system layer), on the disk
// otherwise.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "archive/stream.h"
#include "archive/zip_file.h"
#include "common/error.h"
#include "jobfiles/import_staging.h"
#include "jobfiles/job_files.h"
#include "jobs/riz_ozudo_messages.h"
#include "platform/file_system.h"
#include "support/file_trees.h"
#include "support/memory_file_system.h"
#include "support/scratch_files.h"

namespace {

using namespace ostrivan;
using test_support::TempDir;

std::unique_ptr<TempDir> scratch_dir;
std::string scratch;
// Installed for the whole run when the import works in memory.
std::unique_ptr<test_support::TMemoryFileSystem> memory;
std::unique_ptr<platform::TFileSystemOverride> in_memory;

platform::TFileSystem& Files() { return platform::Files(); }

// What went wrong with importing archive, or nothing; done: it was taken.
std::string ImportOnce(std::string_view archive, bool& done) {
  const std::string dir = scratch + "/import";
  test_support::RemoveAllOn(Files(), dir);
  // The job before this one: the import empties it away on its own thread.
  test_support::MakeFoldersOn(Files(), dir + "/programs");
  test_support::WriteAllOn(Files(), dir + "/programs/OLD.NC", "G0 X0\r\n");
  test_support::WriteAllOn(Files(), dir + "/old.txt", "old");
  const std::string zip_path = dir + "/" + jobfiles::kImportArchiveName;
  done = false;
  try {
    jobfiles::TImportStaging staging(dir);
    staging.EmptyImportDirectory();
    jobs::TRizOzudoImportLavoroRequest::SaveArchive(zip_path, archive);
    const jobfiles::TImportSummary summary = staging.Unpack(zip_path, archive);
    if (summary.Files < 0 || summary.FileBytes < 0) return "negative counts in the import summary";
    staging.Commit();
    done = true;
  } catch (const Exception&) {
    // Refusing the archive is the expected outcome for almost every input.
  }
  for (const std::string& name : test_support::NamesOn(Files(), scratch))
    if (name != "import") return "the import wrote outside its directory: " + name;
  for (const std::string& name : test_support::NamesOn(Files(), dir)) {
    if (name == jobfiles::kImportStagingName) return "the staging folder stayed after the import";
    if (done && name == jobfiles::kImportArchiveName) return "the received archive stayed after a finished import";
  }
  if (!done) {
    // A failed import shows nothing under a job name: at most the received archive.
    for (const auto& [file, bytes] : test_support::TreeOn(Files(), dir))
      if (file != jobfiles::kImportArchiveName) return "a failed import left \"" + file + "\"";
  }
  return {};
}

// A small job packed by the service's own packer, and the import of it.
bool ImportWorks() {
  const std::string source = scratch + "/source";
  test_support::MakeFoldersOn(Files(), source);
  test_support::WriteAllOn(Files(), source + "/p", "G0 X1\r\nM30\r\n");
  archive::TBytesStream stream;
  try {
    archive::TZipFile zip;
    zip.Open(stream, archive::TZipMode::zmWrite);
    zip.Add(source + "/p", "programs\\P1.NC");
    zip.Close();
  } catch (const Exception&) {
    return false;
  }
  test_support::RemoveAllOn(Files(), source);
  const std::string archive(stream.Bytes().begin(), stream.Bytes().end());
  bool done = false;
  if (!ImportOnce(archive, done).empty() || !done) return false;
  std::string bytes;
  return test_support::TryReadAllOn(Files(), scratch + "/import/programs/P1.NC", bytes) && bytes == "G0 X1\r\nM30\r\n";
}

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "%s\n", why.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  scratch_dir = std::make_unique<TempDir>("ostrivan-fuzz-import-");
  scratch = scratch_dir->Path();
  memory = std::make_unique<test_support::TMemoryFileSystem>();
  in_memory = std::make_unique<platform::TFileSystemOverride>(*memory);
  test_support::MakeFoldersOn(Files(), scratch);
  if (!ImportWorks()) in_memory.reset();
  std::fprintf(stderr, "fuzz_import_staging: files %s\n", in_memory ? "in memory" : "on disk");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  bool done = false;
  const std::string wrong = ImportOnce(std::string_view(reinterpret_cast<const char*>(data), size), done);
  if (!wrong.empty()) Fail(wrong);
  return 0;
}

// Any bytes as a received archive, unpacked the way an import unpacks it: from memory,
// on several threads, through the staging folder. Besides crashes and sanitizer reports
// it aborts when anything lands outside the import directory, when a failed import
// leaves anything but the received archive, or when a finished one leaves its staging
// folder or the archive behind.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "jobfiles/import_staging.h"
#include "jobfiles/job_files.h"
#include "jobs/riz_ozudo_messages.h"
#include "support/scratch_files.h"

namespace {

using namespace ostrivan;
using test_support::ListTree;
using test_support::Names;
using test_support::TempDir;
using test_support::WriteFile;

std::unique_ptr<TempDir> scratch_dir;
std::string scratch;

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "%s\n", why.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  scratch_dir = std::make_unique<TempDir>("ostrivan-fuzz-import-");
  scratch = scratch_dir->Path();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string dir = scratch + "/import";
  test_support::RemoveTree(dir);
  // The job before this one: the import empties it away on its own thread.
  WriteFile(dir + "/programs/OLD.NC", "G0 X0\r\n");
  WriteFile(dir + "/old.txt", "old");
  const std::string_view archive(reinterpret_cast<const char*>(data), size);
  const std::string zip_path = dir + "/" + jobfiles::kImportArchiveName;
  bool done = false;
  try {
    jobfiles::TImportStaging staging(dir);
    staging.EmptyImportDirectory();
    jobs::TRizOzudoImportLavoroRequest::SaveArchive(zip_path, archive);
    const jobfiles::TImportSummary summary = staging.Unpack(zip_path, archive);
    if (summary.Files < 0 || summary.FileBytes < 0) Fail("negative counts in the import summary");
    staging.Commit();
    done = true;
  } catch (const Exception&) {
    // Refusing the archive is the expected outcome for almost every input.
  }
  for (const std::string& name : Names(scratch))
    if (name != "import") Fail("the import wrote outside its directory: " + name);
  const std::vector<std::string> names = Names(dir);
  for (const std::string& name : names) {
    if (name == jobfiles::kImportStagingName) Fail("the staging folder stayed after the import");
    if (done && name == jobfiles::kImportArchiveName) Fail("the received archive stayed after a finished import");
  }
  if (!done) {
    // A failed import shows nothing under a job name: at most the received archive.
    for (const std::string& file : ListTree(dir))
      if (file != jobfiles::kImportArchiveName) Fail("a failed import left \"" + file + "\"");
  }
  return 0;
}

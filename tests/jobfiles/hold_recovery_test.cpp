// Holds found at start: what a kill left is settled or kept for an operator.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "jobfiles/hold_recovery.h"
#include "jobfiles/job_files.h"
#include "support/scratch_files.h"

namespace ostrivan::jobfiles {
namespace {

namespace fs = std::filesystem;
using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteFile;

// A hold folder without its manifest: killed while packing (nothing had moved) or while
// the folder was being removed (nothing left of the job but folders) goes; one that still
// holds a file is kept for an operator.
TEST(HeldExportRecovery, AFolderWithoutManifestGoesOnlyWhenItHoldsNoFile) {
  TempDir root;
  TempDir store;
  SetJobStoreDirectory(store.Path());
  const std::string beside = root / ".job.ostrivan-held";
  fs::create_directories(beside + "/packing/files");
  WriteFile(beside + "/packing/P1.zip", "partial archive");
  fs::create_directories(beside + "/removing/files/programs/sub");
  WriteFile(beside + "/kept/files/programs/P1.NC", "G0");
  for (const char* name : {"packing", "removing", "kept"})
    WriteFile(store / (std::string("held/") + name + ".hold"), beside + "/" + name + "\n");
  EXPECT_EQ(RecoverHeldExports(root / "job"), 3);
  EXPECT_FALSE(fs::exists(beside + "/packing"));
  EXPECT_FALSE(fs::exists(beside + "/removing"));
  EXPECT_EQ(ReadFile(beside + "/kept/files/programs/P1.NC"), "G0");
  SetJobStoreDirectory("");
}

}  // namespace
}  // namespace ostrivan::jobfiles

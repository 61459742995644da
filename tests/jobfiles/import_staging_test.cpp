// An import killed half-way is finished or undone at the next start, never mixed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "jobfiles/import_staging.h"
#include "support/job_archives.h"
#include "support/scratch_files.h"

namespace ostrivan::jobfiles {
namespace {

namespace fs = std::filesystem;
using test_support::ArchiveOf;
using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteFile;

TEST(ImportStaging, AKilledImportIsFinishedWithItsMarkAndUndoneWithout) {
  const std::string zip = ArchiveOf({{"programs\\P7.NC", "G7"}, {"tools/T.CFG", "T"}});
  for (const bool marked : {true, false}) {
    SCOPED_TRACE(marked ? "complete" : "half-way");
    TempDir d;
    const std::string dir = d / "in";
    WriteFile(dir + "/OLD.NC", "old");
    WriteFile(dir + "/Lavoro.zip", zip);
    {
      TImportStaging staging(dir);
      staging.Unpack(dir + "/Lavoro.zip");
      if (!marked) ::unlink((staging.Folder() + "/complete").c_str());
      // The process dies here: copy what it leaves, as the staging would be removed.
      // The old job may still be going on other threads: everything but it is copied.
      fs::create_directories(d / "left");
      for (const auto& e : fs::directory_iterator(staging.Folder()))
        if (e.path().filename() != "old")
          fs::copy(e.path(), d / "left/" + e.path().filename().string(), fs::copy_options::recursive);
    }
    fs::rename(d / "left", dir + "/" + kImportStagingName);
    const TImportRecovery found = RecoverImport(dir);
    EXPECT_TRUE(found.Found);
    EXPECT_TRUE(found.Settled);
    EXPECT_EQ(found.Finished, marked);
    EXPECT_EQ(found.JobFiles, 2);
    EXPECT_EQ(found.Files, 2);  // the previous contents were not copied
    EXPECT_EQ(found.Job, marked ? "P7" : "");
    std::map<std::string, std::string> files;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it)
      if (it->is_regular_file()) files[fs::relative(it->path(), dir).string()] = ReadFile(it->path().string());
    if (marked) {
      EXPECT_EQ(files, (std::map<std::string, std::string>{
                           {"OLD.NC", "old"}, {"programs/P7.NC", "G7"}, {"tools/T.CFG", "T"}}));
    } else {
      EXPECT_TRUE(files.empty());  // the import had begun emptying: none of either job
    }
    EXPECT_FALSE(RecoverImport(dir));
  }
}

// Killed while the previous job, moved aside into the staging folder, was still being
// removed: nothing of it comes back, whether the new job was marked whole or not.
TEST(ImportStaging, APreviousJobMovedAsideNeverComesBack) {
  const std::string zip = ArchiveOf({{"programs\\P7.NC", "G7"}});
  struct Case {
    bool marked;
    std::map<std::string, std::string> expected;
  } cases[] = {{true, {{"programs/P7.NC", "G7"}}}, {false, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.marked ? "complete" : "half-way");
    TempDir d;
    const std::string dir = d / "in";
    WriteFile(dir + "/OLD.NC", "old");
    WriteFile(dir + "/programs/P1.NC", "old program");
    WriteFile(dir + "/ro/deep/X.NC", "x");
    ::chmod((dir + "/ro/deep").c_str(), 0555);
    {
      TImportStaging staging(dir);
      staging.EmptyImportDirectory();
      std::vector<std::string> names;
      for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
      EXPECT_EQ(names, std::vector<std::string>{kImportStagingName});  // emptied at once
      WriteFile(dir + "/Lavoro.zip", zip);
      staging.Unpack(dir + "/Lavoro.zip");
      if (!c.marked) ::unlink((staging.Folder() + "/complete").c_str());
      // The old job may still be going on other threads: everything but it is copied.
      fs::create_directories(d / "left");
      for (const auto& e : fs::directory_iterator(staging.Folder()))
        if (e.path().filename() != "old")
          fs::copy(e.path(), d / "left/" + e.path().filename().string(), fs::copy_options::recursive);
    }
    // What a kill leaves while the old job is still there to remove.
    WriteFile(d / "left/old/OLD.NC", "old");
    WriteFile(d / "left/old/ro/deep/X.NC", "x");
    ::chmod((d / "left/old/ro/deep").c_str(), 0555);
    fs::rename(d / "left", dir + "/" + kImportStagingName);
    EXPECT_TRUE(RecoverImport(dir));
    std::map<std::string, std::string> files;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it)
      if (it->is_regular_file()) files[fs::relative(it->path(), dir).string()] = ReadFile(it->path().string());
    EXPECT_EQ(files, c.expected);
    EXPECT_FALSE(fs::exists(dir + "/" + kImportStagingName));
  }
}

}  // namespace
}  // namespace ostrivan::jobfiles

// A job's journal line is in its file when WriteJournal returns: a process that ends
// abruptly right after (kill -9) keeps it. Run in a fresh copy of this program, named
// like the service, whose logs folder lies beside it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "jobfiles/job_journal.h"
#include "logging/framework_log.h"
#include "support/scratch_files.h"

namespace ostrivan::jobfiles {
namespace {

TJournalRecord ImportRecord() {
  TJournalRecord r;
  r.Direction = "import";
  r.Machine = 4;
  r.Client = "192.168.1.20";
  r.Archive = "P1001.zip";
  r.Job = "P1001";
  r.Files = 41;
  r.FileBytes = 10590238;
  r.ArchiveBytes = 3732601;
  r.HasCrc = true;
  r.ArchiveCrc = 0xAF0AE206;
  r.Outcome = kOutcomeDelivered;
  r.Duration = std::chrono::milliseconds(412);
  return r;
}

TEST(JournalChild, DISABLED_WriteThenEndAbruptly) {
  // A busy main log ahead of it, as after a large job.
  for (int i = 0; i < 5000; ++i) logging::FrameworkLogDebug("work " + std::to_string(i));
  WriteJournal(ImportRecord());
  ::_exit(0);  // as a kill -9 would: no drain, no exit handlers
}

TEST(Journal, TheLineIsInItsFileWhenWriteJournalReturns) {
  test_support::TempDir dir;
  const std::string exe = dir / "Ostrivan";
  std::filesystem::copy_file("/proc/self/exe", exe, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::permissions(exe, std::filesystem::perms::owner_all);
  const std::string out = dir / "child.out";
  const std::string cmd =
      "cd / && '" + exe +
      "' --gtest_also_run_disabled_tests --gtest_filter=JournalChild.DISABLED_WriteThenEndAbruptly > '" + out +
      "' 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << test_support::ReadFileOrEmpty(out);
  const std::string journal = test_support::ReadFileOrEmpty(dir / "logs/Ostrivan.00.journal.log");
  const std::string expected = "][INFO      ] " + JournalLine(ImportRecord()) + " [journal]\r\n";
  ASSERT_GE(journal.size(), expected.size()) << journal;
  EXPECT_EQ(journal.substr(journal.size() - expected.size()), expected);
  // Every main-log line logged before it is there too.
  const std::string main_log = test_support::ReadFileOrEmpty(dir / "logs/Ostrivan.00.torniomvc.log");
  EXPECT_NE(main_log.find("work 4999 [torniomvc]"), std::string::npos);
}

}  // namespace
}  // namespace ostrivan::jobfiles

// A requeue places every file of a kept job or none, never beside another job, and never
// while a job works on the export folder.
#include "jobfiles/job_catalog.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "jobfiles/directory_lock.h"
#include "jobfiles/job_files.h"
#include "support/scratch_files.h"

namespace ostrivan::jobfiles {
namespace {

using test_support::ListTree;
using test_support::Names;
using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteFile;

class Requeue : public ::testing::Test {
 protected:
  void SetUp() override {
    SetJobStoreDirectory(store_.Path());
    unsent_ = store_ / "unsent/20261211-090000.000-P9";
    WriteFile(unsent_ + "/P9.zip", "PK");
    WriteFile(unsent_ + "/files/a.NC", "G1\n");
    WriteFile(unsent_ + "/files/programs/b.NC", "G2\n");
    WriteFile(unsent_ + "/files/z_big.NC", std::string(200000, 'x'));
  }
  void TearDown() override { SetJobStoreDirectory(""); }

  TRequeueResult Run() { return RequeueKeptJob(export_.Path(), "unsent", "20261211-090000.000-P9", "192.0.2.7", 4); }

  TempDir store_;
  TempDir export_;
  std::string unsent_;
  const std::vector<std::string> job_ = {"a.NC", "programs/b.NC", "z_big.NC"};
};

TEST_F(Requeue, ACopyThatDoesNotFitPlacesNothing) {
  struct rlimit old_limit {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  const auto old_signal = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old_limit;
  small.rlim_cur = 65536;  // a.NC and b.NC fit, z_big.NC does not
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const TRequeueResult failed = Run();
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::signal(SIGXFSZ, old_signal);
  EXPECT_EQ(failed.Status, 500) << failed.Message;
  EXPECT_NE(failed.Message.find("z_big.NC"), std::string::npos) << failed.Message;
  // Not a file, not a partial copy, not a folder of the job.
  EXPECT_TRUE(Names(export_.Path()).empty()) << ::testing::PrintToString(Names(export_.Path()));
  EXPECT_EQ(ListTree(unsent_ + "/files"), job_);

  const TRequeueResult done = Run();
  EXPECT_EQ(done.Status, 200) << done.Message;
  EXPECT_EQ(done.Files, 3);
  EXPECT_EQ(ListTree(export_.Path()), job_);
  EXPECT_EQ(ReadFile(export_ / "programs/b.NC"), "G2\n");
  EXPECT_FALSE(test_support::FileExists(unsent_));
}

TEST_F(Requeue, ABusyOrFilledExportFolderIsRefused) {
  {
    TDirectoryLock busy(export_.Path());
    const TRequeueResult refused = Run();
    EXPECT_EQ(refused.Status, 409);
    EXPECT_NE(refused.Message.find("busy"), std::string::npos) << refused.Message;
  }
  WriteFile(export_ / "NEW.NC", "the machine's\n");
  const TRequeueResult refused = Run();
  EXPECT_EQ(refused.Status, 409);
  EXPECT_NE(refused.Message.find("not empty"), std::string::npos) << refused.Message;
  EXPECT_EQ(ListTree(export_.Path()), std::vector<std::string>{"NEW.NC"});
  EXPECT_EQ(ListTree(unsent_ + "/files"), job_);
}

TEST_F(Requeue, AFileTheMachineWritesMeanwhileStopsIt) {
  WriteFile(unsent_ + "/files/z_big.NC", std::string(64 << 20, 'x'));  // copied while the machine writes
  std::atomic<bool> wrote{false};
  std::thread machine([&] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!wrote && std::chrono::steady_clock::now() < until) {
      for (const std::string& name : Names(export_.Path()))
        if (name.ends_with(".ostrivan-partial")) {
          WriteFile(export_ / "NEW.NC", "the machine's\n");
          wrote = true;
        }
    }
  });
  const TRequeueResult refused = Run();
  machine.join();
  ASSERT_TRUE(wrote);
  EXPECT_EQ(refused.Status, 409) << refused.Message;
  EXPECT_NE(refused.Message.find("NEW.NC"), std::string::npos) << refused.Message;
  EXPECT_EQ(ListTree(export_.Path()), std::vector<std::string>{"NEW.NC"});
  EXPECT_EQ(Names(export_.Path()), std::vector<std::string>{"NEW.NC"});
  EXPECT_EQ(ListTree(unsent_ + "/files"), job_);
}

TEST(JobNames, OneEntryOfItsFolder) {
  const struct {
    const char* name;
    bool valid;
  } cases[] = {{"P1.zip", true}, {"P 1 \xC3\xA8%41.zip", true},
               {"..P1", true},   {"", false},
               {".", false},     {"..", false},
               {"a/b", false},   {"/", false}};
  for (const auto& c : cases) EXPECT_EQ(IsJobName(c.name), c.valid) << c.name;
  EXPECT_FALSE(IsJobName(std::string("a\0b", 3)));
  for (const char* kind : {"held", "unsent", "sent", "received"}) EXPECT_TRUE(IsJobKind(kind));
  EXPECT_FALSE(IsJobKind("logs"));
  EXPECT_FALSE(IsJobKind(".."));
}

}  // namespace
}  // namespace ostrivan::jobfiles

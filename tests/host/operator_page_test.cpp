#include "host/operator_page.h"
#include "jobfiles/job_catalog.h"
#include "jobfiles/job_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace ostrivan::host {
namespace {

namespace fs = std::filesystem;

TEST(OperatorPage, SameOriginNamesTheHostItWasSentTo) {
  EXPECT_TRUE(SameOrigin("http://127.0.0.1:8080", "", "127.0.0.1:8080"));
  EXPECT_TRUE(SameOrigin("HTTP://Cnc-01:8080", "", "cnc-01:8080"));
  EXPECT_TRUE(SameOrigin("", "http://127.0.0.1:8080/ostrivan/", "127.0.0.1:8080"));
  EXPECT_FALSE(SameOrigin("http://evil.example:8080", "http://127.0.0.1:8080/ostrivan/", "127.0.0.1:8080"));
  EXPECT_FALSE(SameOrigin("null", "", "127.0.0.1:8080"));
  EXPECT_FALSE(SameOrigin("http://127.0.0.1:8081", "", "127.0.0.1:8080"));
  // A longer host that starts with this one is another host.
  EXPECT_FALSE(SameOrigin("", "http://127.0.0.1:80801/", "127.0.0.1:8080"));
  EXPECT_FALSE(SameOrigin("", "", "127.0.0.1:8080"));
  EXPECT_FALSE(SameOrigin("http://127.0.0.1:8080", "", ""));
}

TEST(OperatorPage, FormTokenIsLongAndStable) {
  EXPECT_EQ(FormToken().size(), 32u);
  EXPECT_EQ(FormToken(), FormToken());
}

class Requeue : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ostrivan-requeue-XXXXXX";
    root_ = ::mkdtemp(pattern);
    store_ = root_ / "store";
    export_ = root_ / "export";
    fs::create_directories(store_ / "unsent" / "J1" / "files" / "programs");
    fs::create_directories(export_);
    std::ofstream(store_ / "unsent" / "J1" / "J1.zip") << "zip";
    std::ofstream(store_ / "unsent" / "J1" / "files" / "programs" / "P1.NC") << "G1";
    std::ofstream(store_ / "unsent" / "J1" / "files" / "T.TXT") << "tool";
  }
  void TearDown() override { fs::remove_all(root_); }

  // The page's form requeues through the jobs' own requeue: what it answers.
  int Requeued(const std::string& name, const fs::path& into, std::string& message) {
    jobfiles::SetJobStoreDirectory(store_);
    const jobfiles::TRequeueResult result = jobfiles::RequeueKeptJob(into, "unsent", name, "127.0.0.1", 0);
    message = result.Message;
    return result.Status;
  }

  fs::path root_, store_, export_;
};

TEST_F(Requeue, MovesTheFilesBackAndDropsTheEntry) {
  std::string message;
  EXPECT_EQ(Requeued("J1", export_, message), 200) << message;
  EXPECT_TRUE(fs::is_regular_file(export_ / "programs" / "P1.NC"));
  EXPECT_TRUE(fs::is_regular_file(export_ / "T.TXT"));
  EXPECT_FALSE(fs::exists(store_ / "unsent" / "J1"));
}

TEST_F(Requeue, RefusesAFolderThatIsNotEmptyAndTouchesNothing) {
  std::ofstream(export_ / "NEW.NC") << "new";
  std::string message;
  EXPECT_EQ(Requeued("J1", export_, message), 409);
  EXPECT_TRUE(fs::is_regular_file(store_ / "unsent" / "J1" / "files" / "T.TXT"));
  EXPECT_FALSE(fs::exists(export_ / "T.TXT"));
}

TEST_F(Requeue, NamesOutsideUnsentAreNoJob) {
  std::string message;
  for (const char* name : {"", ".", "..", "../unsent/J1", "J2"})
    EXPECT_NE(Requeued(name, export_, message), 200) << name;
  EXPECT_TRUE(fs::is_empty(export_));
}

// The export folder on another file system than unsent/: the files are copied whole
// before any takes its name.
class RequeueAcross : public Requeue {
 protected:
  void SetUp() override {
    Requeue::SetUp();
    if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm to be a second file system";
    other_ = "/dev/shm/ostrivan-requeue-" + std::to_string(::getpid());
    fs::create_directories(other_);
    struct stat a {
    }, b{};
    ::stat(store_.c_str(), &a);
    ::stat(other_.c_str(), &b);
    if (a.st_dev == b.st_dev) GTEST_SKIP() << "/dev/shm is on the same file system here";
  }
  void TearDown() override {
    if (!other_.empty()) fs::remove_all(other_);
    Requeue::TearDown();
  }
  fs::path other_;
};

TEST_F(RequeueAcross, CopiesEveryFileAndDropsTheEntry) {
  std::string message;
  ASSERT_EQ(Requeued("J1", other_, message), 200) << message;
  std::ifstream program(other_ / "programs" / "P1.NC");
  std::string text((std::istreambuf_iterator<char>(program)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "G1");
  EXPECT_TRUE(fs::is_regular_file(other_ / "T.TXT"));
  EXPECT_FALSE(fs::exists(store_ / "unsent" / "J1"));
  // No partial copy is left under a hidden name.
  for (const auto& item : fs::recursive_directory_iterator(other_))
    EXPECT_EQ(item.path().filename().string().find(".ostrivan-partial"), std::string::npos) << item.path();
}

TEST_F(RequeueAcross, SomethingThatIsNoJobFileIsNotPlaced) {
  ASSERT_EQ(::mkfifo((store_ / "unsent" / "J1" / "files" / "programs" / "pipe").c_str(), 0600), 0);
  std::string message;
  EXPECT_EQ(Requeued("J1", other_, message), 200) << message;
  EXPECT_TRUE(fs::is_regular_file(other_ / "programs" / "P1.NC"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(other_ / "programs" / "pipe")));
}

}  // namespace
}  // namespace ostrivan::host

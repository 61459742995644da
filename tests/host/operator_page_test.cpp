#include "host/operator_page.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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

  fs::path root_, store_, export_;
};

TEST_F(Requeue, MovesTheFilesBackAndDropsTheEntry) {
  std::string message;
  EXPECT_EQ(RequeueUnsent(store_, "J1", export_, message), TRequeueResult::kDone) << message;
  EXPECT_TRUE(fs::is_regular_file(export_ / "programs" / "P1.NC"));
  EXPECT_TRUE(fs::is_regular_file(export_ / "T.TXT"));
  EXPECT_FALSE(fs::exists(store_ / "unsent" / "J1"));
}

TEST_F(Requeue, RefusesAFolderThatIsNotEmptyAndTouchesNothing) {
  std::ofstream(export_ / "NEW.NC") << "new";
  std::string message;
  EXPECT_EQ(RequeueUnsent(store_, "J1", export_, message), TRequeueResult::kExportNotEmpty);
  EXPECT_TRUE(fs::is_regular_file(store_ / "unsent" / "J1" / "files" / "T.TXT"));
  EXPECT_FALSE(fs::exists(export_ / "T.TXT"));
}

TEST_F(Requeue, NamesOutsideUnsentAreNoJob) {
  std::string message;
  for (const char* name : {"", ".", "..", "../unsent/J1", "J2"})
    EXPECT_EQ(RequeueUnsent(store_, name, export_, message), TRequeueResult::kNoSuchJob) << name;
  EXPECT_TRUE(fs::is_empty(export_));
}

}  // namespace
}  // namespace ostrivan::host

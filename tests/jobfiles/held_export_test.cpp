// An undelivered export goes back whole or stays whole in unsent: a copy back that does
// not fit, and the states a kill in the middle of a put-back leaves for the next start.
#include "jobfiles/held_export.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/scratch_files.h"

namespace ostrivan::jobfiles {
namespace {

namespace fs = std::filesystem;
using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteFile;

// Short contents as they are, long ones by size and hash, so that a failure stays readable.
std::string Digest(const std::string& content) {
  if (content.size() <= 64) return content;
  return std::to_string(content.size()) + " bytes #" + std::to_string(std::hash<std::string>{}(content));
}

// Relative path -> content, mode and time for files; folders end in '/'.
using Tree = std::map<std::string, std::string>;
Tree ReadTree(const std::string& root) {
  Tree tree;
  if (!fs::exists(root)) return tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = fs::relative(it->path(), root).string();
    struct stat st {};
    ::lstat(it->path().c_str(), &st);
    if (S_ISDIR(st.st_mode)) {
      tree[rel + "/"] = "";
    } else {
      tree[rel] = Digest(ReadFile(it->path().string())) + "|" + std::to_string(st.st_mode) + "|" +
                  std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    }
  }
  return tree;
}

// Only the files of a tree, by content.
std::map<std::string, std::string> Contents(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& [rel, value] : ReadTree(root))
    if (!rel.ends_with("/")) files[rel] = Digest(ReadFile(root + "/" + rel));
  return files;
}

class HeldExportPutBack : public ::testing::Test {
 protected:
  void SetUp() override { SetJobStoreDirectory(store_.Path()); }
  void TearDown() override {
    SetJobStoreDirectory("");
    if (!other_.empty()) fs::remove_all(other_);
  }

  // A job in a fresh export folder: on this file system with its hold beside it, or on
  // /dev/shm with its hold beside the executable, so that every move copies.
  std::string LayJob(bool across) {
    std::string parent = root_.Path();
    if (across) {
      other_ = "/dev/shm/ostrivan-held-test-" + std::to_string(::getpid());
      fs::remove_all(other_);
      fs::create_directories(other_);
      parent = other_;
      // Where the hold beside it would go is taken: it goes beside the executable.
      WriteFile(parent + "/.job.ostrivan-held", "");
    }
    const std::string dir = parent + "/job";
    fs::remove_all(dir);
    WriteFile(dir + "/programs/P1.NC", std::string(200000, 'G'));
    WriteFile(dir + "/programs/sub/O9.NC", "O9\nM99\n");
    WriteFile(dir + "/tools/T.CFG", "T1");
    WriteFile(dir + "/tools/EMPTY.CFG", "");
    ::chmod((dir + "/tools/T.CFG").c_str(), 0444);
    for (const char* p : {"/programs/P1.NC", "/programs/sub/O9.NC", "/tools/T.CFG", "/tools/EMPTY.CFG"}) {
      const struct timespec times[2] = {{1600000000, 5}, {1600000000, 123456789}};
      ::utimensat(AT_FDCWD, (dir + p).c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    return dir;
  }

  bool SecondFileSystem() {
    struct stat a {
    }, b{};
    return ::stat(store_.Path().c_str(), &a) == 0 && ::stat("/dev/shm", &b) == 0 && a.st_dev != b.st_dev;
  }

  static std::shared_ptr<THeldExport> Hold(const std::string& dir) {
    auto job = THeldExport::Create(dir);
    job->Entries = SnapshotTree(dir);
    for (THeldEntry& e : job->Entries) e.Packed = !e.IsDirectory;
    job->Record.Direction = "export";
    job->Record.Archive = "P1.zip";
    job->Record.Job = "P1";
    WriteFile(job->ArchivePath(), "the archive");
    job->Hold();
    return job;
  }

  // The files of each job kept in unsent, oldest first.
  std::vector<std::map<std::string, std::string>> Unsent() {
    std::vector<std::map<std::string, std::string>> jobs;
    const std::string unsent = store_ / "unsent";
    if (!fs::exists(unsent)) return jobs;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(unsent)) names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      EXPECT_EQ(ReadFile(name + "/P1.zip"), "the archive");
      jobs.push_back(Contents(name + "/files"));
    }
    return jobs;
  }

  TempDir root_;
  TempDir store_;
  std::string other_;
};

// Across file systems a copy back that cannot be written (here over the file size limit,
// as on a full disk) keeps the whole job in unsent: no file of it, not even the empty
// one, comes back without the others.
TEST_F(HeldExportPutBack, ACopyBackThatDoesNotFitKeepsTheWholeJobInUnsent) {
  if (!fs::is_directory("/dev/shm") || !SecondFileSystem()) GTEST_SKIP() << "no second file system at /dev/shm";
  const std::string dir = LayJob(true);
  const auto job_files = Contents(dir);
  auto job = Hold(dir);
  ASSERT_TRUE(fs::is_empty(dir));
  struct rlimit old_limit {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  const auto old_signal = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old_limit;
  small.rlim_cur = 65536;  // the small files fit, P1.NC does not
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  job->Complete(false);
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::signal(SIGXFSZ, old_signal);
  EXPECT_STREQ(job->Record.Outcome.c_str(), kOutcomeKeptUnsent);
  EXPECT_TRUE(ReadTree(dir).empty()) << ::testing::PrintToString(ReadTree(dir));
  const auto kept = Unsent();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0], job_files);
  EXPECT_TRUE(test_support::Names(store_ / "held").empty());
}

// A kill cut a put-back short: P1.NC has its name again (renamed back, or copied back with
// its held source still there), the rest is still held. The next start brings the rest
// back, or, when the machine has written a new job meanwhile, takes P1.NC out again and
// keeps the whole job in unsent.
TEST_F(HeldExportPutBack, APutBackCutShortEndsWholeOrWholeInUnsent) {
  const struct {
    bool across;
    bool machine_wrote;
  } cases[] = {{false, false}, {false, true}, {true, false}, {true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.across ? "copied back" : "renamed back") +
                 (c.machine_wrote ? ", the machine wrote a new job" : ""));
    if (c.across && (!fs::is_directory("/dev/shm") || !SecondFileSystem())) continue;
    fs::remove_all(store_ / "unsent");
    const std::string dir = LayJob(c.across);
    const Tree before = ReadTree(dir);
    auto job = Hold(dir);
    const std::string folder = job->Folder();
    const std::string saved = store_ / "saved";
    fs::remove_all(saved);
    ASSERT_EQ(std::system(("cp -a '" + folder + "' '" + saved + "'").c_str()), 0);
    job->Complete(false);
    ASSERT_EQ(ReadTree(dir), before);
    // What the kill left: P1.NC under its name, the rest still held.
    for (const char* gone : {"/programs/sub", "/tools"}) fs::remove_all(dir + gone);
    if (c.across) {
      // The put-back had recorded its copy before naming it.
      struct stat st {};
      ASSERT_EQ(::stat((dir + "/programs/P1.NC").c_str(), &st), 0);
      WriteFile(saved + "/placed", "ostrivan put-back 1\nplaced\tprograms/P1.NC\t" + std::to_string(st.st_dev) + "\t" +
                                       std::to_string(st.st_ino) + "\nend\n");
    } else {
      fs::remove(saved + "/files/programs/P1.NC");  // a rename leaves no source
    }
    fs::create_directories(fs::path(folder).parent_path());
    fs::rename(saved, folder);
    WriteFile(store_ / ("held/" + fs::path(folder).filename().string() + ".hold"), folder + "\n");
    if (c.machine_wrote) WriteFile(dir + "/programs/P2.NC", "G0 X2");
    EXPECT_EQ(RecoverHeldExports(dir), 1);
    const auto kept = Unsent();
    if (c.machine_wrote) {
      EXPECT_EQ(Contents(dir), (std::map<std::string, std::string>{{"programs/P2.NC", "G0 X2"}}));
      ASSERT_EQ(kept.size(), 1u);
      EXPECT_EQ(kept[0], (std::map<std::string, std::string>{{"programs/P1.NC", Digest(std::string(200000, 'G'))},
                                                             {"programs/sub/O9.NC", "O9\nM99\n"},
                                                             {"tools/EMPTY.CFG", ""},
                                                             {"tools/T.CFG", "T1"}}));
    } else {
      EXPECT_EQ(ReadTree(dir), before);
      EXPECT_TRUE(kept.empty()) << kept.size();
    }
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_TRUE(test_support::Names(store_ / "held").empty());
  }
}

}  // namespace
}  // namespace ostrivan::jobfiles

#include "jobfiles/directory_lock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ostrivan::jobfiles::DirectoryLockKey;
using ostrivan::jobfiles::TDirectoryLock;

TEST(DirectoryLock, SpellingsOfOneDirectoryShareTheKey) {
  fs::path base = fs::temp_directory_path() / ("ostrivan-lock-" + std::to_string(getpid()));
  fs::create_directories(base / "jobs");
  fs::create_directory_symlink(base / "jobs", base / "link");
  std::string key = DirectoryLockKey((base / "jobs").string());
  for (const auto& spelling : {(base / "jobs/").string(), (base / "jobs/../jobs").string(), (base / "link").string(),
                               (base / "." / "jobs//").string()})
    EXPECT_EQ(DirectoryLockKey(spelling), key) << spelling;
  EXPECT_NE(DirectoryLockKey((base / "other").string()), key);
  fs::remove_all(base);
}

TEST(DirectoryLock, SameDirectoryWaitsOtherDirectoryDoesNot) {
  std::atomic<bool> released{false};
  auto holder = std::make_unique<TDirectoryLock>("/tmp/ostrivan-lock-a");
  auto same = std::async(std::launch::async, [&] {
    TDirectoryLock lock("/tmp/ostrivan-lock-a/");
    return released.load();
  });
  auto other = std::async(std::launch::async, [] { TDirectoryLock lock("/tmp/ostrivan-lock-b"); });
  EXPECT_EQ(other.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(same.wait_for(100ms), std::future_status::timeout);
  released = true;
  holder.reset();
  ASSERT_EQ(same.wait_for(2s), std::future_status::ready);
  EXPECT_TRUE(same.get());
}

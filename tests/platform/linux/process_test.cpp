#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <filesystem>
#include <string>

#include "platform/process.h"

namespace platform = ostrivan::platform;
namespace fs = std::filesystem;

TEST(Process, FactsAboutTheMachineAreSane) {
  utsname name{};
  ASSERT_EQ(uname(&name), 0);
  const std::string os = platform::OsDescription();
  EXPECT_EQ(os.rfind(std::string(name.sysname) + " " + name.release + " ", 0), 0u) << os;
  EXPECT_GE(platform::ProcessorCount(), 1);
  EXPECT_LE(platform::ProcessorCount(), 4096);
  const long page = platform::PageSize();
  EXPECT_GE(page, 4096);
  EXPECT_EQ(page & (page - 1), 0) << "a page is a power of two";
  EXPECT_GT(platform::ProcessId(), 0);
#if defined(__x86_64__)
  EXPECT_EQ(platform::Architecture(), platform::TArchitecture::kX64);
#elif defined(__aarch64__)
  EXPECT_EQ(platform::Architecture(), platform::TArchitecture::kArm64);
#endif
}

TEST(Process, ACommandRunsWithItsFolderAsOneWord) {
  const fs::path folder = fs::temp_directory_path() / ("ostrivan platform " + std::to_string(platform::ProcessId()));
  fs::create_directories(folder);
  struct Case {
    const char* command;
    int status;
  };
  const Case cases[] = {
      {"test -d", 0},          // the folder with blanks arrives whole
      {"exit 3 ||", 3},        // the exit code comes back
      {"kill -9 $$ ||", 137},  // a signal: 128 + its number
      {"no-such-command-here", 127},
  };
  for (const Case& c : cases) {
    int status = -1;
    ASSERT_TRUE(platform::TryRunCommand(c.command, folder.string(), status)) << c.command;
    EXPECT_EQ(status, c.status) << c.command;
  }
  fs::remove_all(folder);
}

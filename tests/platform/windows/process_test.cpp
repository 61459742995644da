#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "platform/process.h"

namespace platform = ostrivan::platform;
namespace fs = std::filesystem;

TEST(ProcessWindows, FactsAboutTheMachineAreSane) {
  const std::string os = platform::OsDescription();
  unsigned major = 0, minor = 0, build = 0;
  ASSERT_EQ(std::sscanf(os.c_str(), "Windows %u.%u.%u", &major, &minor, &build), 3) << os;
  EXPECT_GE(major, 6u) << os;
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  EXPECT_GE(platform::ProcessorCount(), static_cast<long>(info.dwNumberOfProcessors));
  EXPECT_LE(platform::ProcessorCount(), 4096);
  const long page = platform::PageSize();
  EXPECT_EQ(page, static_cast<long>(info.dwPageSize));
  EXPECT_EQ(page & (page - 1), 0) << "a page is a power of two";
  EXPECT_EQ(platform::ProcessId(), static_cast<long>(GetCurrentProcessId()));
  EXPECT_EQ(platform::CurrentThreadNumber(), GetCurrentThreadId());
  EXPECT_EQ(platform::Architecture(), platform::TArchitecture::kX64);
}

TEST(ProcessWindows, ACommandRunsWithItsFolderAsOneWord) {
  // Blanks and a letter beyond ASCII: the folder reaches cmd.exe whole and as it is named.
  const fs::path folder =
      fs::temp_directory_path() / (L"ostrivan platform \u00e4 " + std::to_wstring(platform::ProcessId()));
  const auto utf8 = [](const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
  };
  fs::create_directories(folder);
  struct Case {
    const char* command;
    std::string argument;
    int status;
  };
  const std::string missing = utf8(folder / "missing");
  const Case cases[] = {
      {"cd /d", utf8(folder), 0},         // the folder is there
      {"cd /d", missing, 1},              // and this one is not
      {"exit 3 & rem", utf8(folder), 3},  // the exit code comes back
  };
  for (const Case& c : cases) {
    int status = -1;
    ASSERT_TRUE(platform::TryRunCommand(c.command, c.argument, status)) << c.command;
    EXPECT_EQ(status, c.status) << c.command << " " << c.argument;
  }
  fs::remove_all(folder);
}

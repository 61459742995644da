#include "platform/process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/clock.h"

namespace platform = ostrivan::platform;

namespace {
struct TThreadProbe {
  std::uint32_t number = 0;
  char stack_use[32 * 1024] = {};
};
void ProbeThread(void* raw) {
  auto* probe = static_cast<TThreadProbe*>(raw);
  // Some of the small stack used, so a stack too small would show.
  char local[16 * 1024];
  std::memset(local, 1, sizeof local);
  std::memcpy(probe->stack_use, local, sizeof local);
  probe->number = platform::CurrentThreadNumber();
}
}  // namespace

TEST(Process, ThreadsHaveTheirOwnNumberAndRunOnTheStackAsked) {
  const std::uint32_t mine = platform::CurrentThreadNumber();
  EXPECT_EQ(mine, platform::CurrentThreadNumber());
  TThreadProbe probe;
  platform::TThread thread;
  ASSERT_TRUE(platform::TryStartThread(128 * 1024, &ProbeThread, &probe, thread));
  platform::JoinThread(thread);
  EXPECT_NE(probe.number, 0u);
  EXPECT_NE(probe.number, mine);
  EXPECT_EQ(probe.stack_use[100], 1);
}

TEST(Process, RandomBytesDiffer) {
  unsigned char a[16] = {}, b[16] = {};
  ASSERT_TRUE(platform::TryRandomBytes(a, sizeof a));
  ASSERT_TRUE(platform::TryRandomBytes(b, sizeof b));
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
  const unsigned char zero[16] = {};
  EXPECT_NE(std::memcmp(a, zero, sizeof a), 0);
}

TEST(Process, TheClockAndTheZoneAgree) {
  const auto before = std::chrono::system_clock::now();
  const platform::TWallTime now = platform::WallClockNow();
  const auto after = std::chrono::system_clock::now();
  const auto seconds = [](auto t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
  };
  EXPECT_GE(now.Seconds, seconds(before));
  EXPECT_LE(now.Seconds, seconds(after));
  EXPECT_GE(now.Microseconds, 0);
  EXPECT_LT(now.Microseconds, 1000000);

  const std::tm epoch = platform::UtcBrokenDown(0);
  EXPECT_EQ(epoch.tm_year, 70);
  EXPECT_EQ(epoch.tm_yday, 0);
  EXPECT_EQ(epoch.tm_wday, 4);  // a Thursday
  for (const std::int64_t t : {std::int64_t{0}, std::int64_t{951782400}, std::int64_t{1798761599}, now.Seconds}) {
    EXPECT_EQ(platform::UtcSecondsOf(platform::UtcBrokenDown(t)), t);
    // Local time is UTC moved by the zone's offset at that moment.
    EXPECT_EQ(platform::UtcSecondsOf(platform::LocalBrokenDown(t)) - t, platform::LocalOffsetSeconds(t)) << t;
  }
  const std::tm leap = platform::UtcBrokenDown(951782400);  // 2000-02-29
  EXPECT_EQ(leap.tm_mon, 1);
  EXPECT_EQ(leap.tm_mday, 29);
}

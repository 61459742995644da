#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include <unistd.h>

#include "logging/log_appender.h"
#include "logging/log_item.h"
#include "logging/log_pattern.h"
#include "logging_test_support.h"

namespace ostrivan::logging {
namespace {

// Only the line text is under test here.
class LineAppender : public TLogAppenderBase {
 public:
  using TLogAppenderBase::TLogAppenderBase;
  void WriteLog(const TLogItem&) override {}
};

// Local time stamp for the given calendar moment in the process's time zone.
TLogTimeStamp LocalStamp(int year, int month, int day, int hour, int minute, int second, int millis) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  return TLogTimeStamp(std::chrono::milliseconds(static_cast<long long>(t) * 1000 + millis));
}

TEST(LogLine, DefaultLayoutExactly) {
  LineAppender appender;
  const TLogItem item(TLogType::Info, "Server started on port 8080", "torniomvc", LocalStamp(2025, 5, 24, 9, 3, 7, 45),
                      4512);
  // Two blanks before "[TID": the time stamp text ends with one.
  EXPECT_EQ(appender.FormatLog(item),
            "2025-05-24 09:03:07:045  [TID 4512    ][INFO      ] Server started on port 8080 [torniomvc]");
}

TEST(LogLine, TimeStampTextEndsWithBlankExceptAtMidnight) {
  struct Case {
    TLogTimeStamp stamp;
    const char* expected;
  };
  const Case cases[] = {
      {LocalStamp(2024, 2, 29, 0, 0, 0, 0), "2024-02-29 00:00:00:000"},
      {LocalStamp(2024, 2, 29, 0, 0, 0, 1), "2024-02-29 00:00:00:001 "},
      {LocalStamp(2024, 2, 29, 0, 0, 1, 0), "2024-02-29 00:00:01:000 "},
      {LocalStamp(1999, 12, 31, 23, 59, 59, 999), "1999-12-31 23:59:59:999 "},
      {LocalStamp(2031, 1, 2, 12, 0, 0, 0), "2031-01-02 12:00:00:000 "},
  };
  for (const auto& c : cases) EXPECT_EQ(TimeStampText(c.stamp), c.expected);

  LineAppender appender;
  const TLogItem midnight(TLogType::Debug, "m", "t", LocalStamp(2024, 2, 29, 0, 0, 0, 0), 1);
  EXPECT_EQ(appender.FormatLog(midnight), "2024-02-29 00:00:00:000 [TID 1       ][DEBUG     ] m [t]");
}

TEST(LogLine, LevelTextsAndWidths) {
  LineAppender appender;
  const auto stamp = LocalStamp(2025, 1, 1, 1, 1, 1, 1);
  struct Case {
    TLogType type;
    std::uint32_t tid;
    const char* expected_middle;
  };
  const Case cases[] = {
      {TLogType::Debug, 7, "[TID 7       ][DEBUG     ]"},
      {TLogType::Info, 12345678, "[TID 12345678][INFO      ]"},
      {TLogType::Warning, 123456789, "[TID 123456789][WARNING   ]"},
      {TLogType::Error, 4194304, "[TID 4194304 ][ERROR     ]"},
  };
  for (const auto& c : cases) {
    const TLogItem item(c.type, "msg", "tag", stamp, c.tid);
    EXPECT_EQ(appender.FormatLog(item), std::string("2025-01-01 01:01:01:001  ") + c.expected_middle + " msg [tag]");
  }
}

TEST(LogLine, DefaultLayoutMatchesThePatternLanguage) {
  // The default layout has a direct formatting path; it must agree with the general one.
  LineAppender appender;
  const TLogItem items[] = {
      {TLogType::Warning, "50% done, %s stays", "tag with blanks", LocalStamp(2025, 7, 1, 0, 0, 0, 0), 99},
      {TLogType::Error, "multi\r\nline", "", LocalStamp(2025, 7, 1, 18, 30, 5, 250), 4000000000u},
      {TLogType::Info, "\xC3\xA8 UTF-8", "t\xC3\xA8", LocalStamp(2025, 7, 1, 8, 0, 0, 1), 1},
  };
  for (const auto& item : items) {
    const std::string expected = FormatLogPattern(
        kDefaultLogFormat, {TimeStampText(item.TimeStamp()), static_cast<std::int64_t>(item.ThreadID()),
                            item.LogTypeAsString(), item.LogMessage(), item.LogTag()});
    EXPECT_EQ(appender.FormatLog(item), expected);
  }
}

TEST(LogLine, CustomLayoutAndRowCallback) {
  const TLogItem item(TLogType::Error, "boom", "jobs", LocalStamp(2025, 3, 4, 5, 6, 7, 8), 42);
  LineAppender custom("%2:s|%4:s|%3:s|%1:d");
  EXPECT_EQ(custom.FormatLog(item), "ERROR|jobs|boom|42");

  LineAppender with_callback;
  with_callback.SetOnLogRow(
      [](const TLogItem& i, std::string& row) { row = std::string(i.LogTypeAsString()) + ":" + i.LogMessage(); });
  EXPECT_EQ(with_callback.FormatLog(item), "ERROR:boom");
}

TEST(LogItem, CreateStampsCallerAndCloneCopiesEverything) {
  const auto before = LogTimeStampNow();
  const TLogItem item(TLogType::Warning, "m", "t");
  const auto after = LogTimeStampNow();
  EXPECT_GE(item.TimeStamp(), before);
  EXPECT_LE(item.TimeStamp(), after);
  EXPECT_EQ(item.ThreadID(), static_cast<std::uint32_t>(::gettid()));
  EXPECT_STREQ(item.LogTypeAsString(), "WARNING");

  const auto clone = item.Clone();
  ASSERT_NE(clone.get(), &item);
  EXPECT_EQ(clone->LogType(), item.LogType());
  EXPECT_EQ(clone->LogMessage(), item.LogMessage());
  EXPECT_EQ(clone->LogTag(), item.LogTag());
  EXPECT_EQ(clone->TimeStamp(), item.TimeStamp());
  EXPECT_EQ(clone->ThreadID(), item.ThreadID());
}

}  // namespace
}  // namespace ostrivan::logging

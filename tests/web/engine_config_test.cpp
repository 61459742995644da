#include <gtest/gtest.h>

#include "web/content_type.h"
#include "web/mvc_config.h"
#include "web/mvc_exceptions.h"

namespace ostrivan::web {

namespace {

TEST(MVCConfig, KeysAreCaseSensitiveAndKeepInsertionOrder) {
  TMVCConfig config;
  config.SetValue("b", "1");
  config.SetValue("a", "2");
  config.SetValue("b", "3");  // replaces in place
  EXPECT_EQ(config.GetValue("b"), "3");
  EXPECT_EQ(config.Keys(), (std::vector<std::string>{"b", "a"}));
  try {
    config.GetValue("B");
    FAIL() << "an absent key must raise";
  } catch (const EMVCConfigException& e) {
    EXPECT_STREQ(e.what(), "Invalid config key [B]");
    EXPECT_STREQ(e.ClassName(), "EMVCConfigException");
  }
}

TEST(MVCConfig, FrozenConfigurationRefusesChangesButStillReads) {
  TMVCConfig config;
  config.SetValue("k", "v");
  config.Freeze();
  try {
    config.SetValue("k", "w");
    FAIL() << "a frozen configuration must refuse changes";
  } catch (const EMVCException& e) {
    EXPECT_STREQ(e.what(), "Configuration in freezed - no more changes allowed");
  }
  EXPECT_THROW(config.SetValue("new", "x"), EMVCException);
  EXPECT_EQ(config.GetValue("k"), "v");
  EXPECT_FALSE(config.Contains("new"));
}

struct SplitCase {
  const char* input;
  const char* media_type;
  const char* charset;
};

TEST(ContentType, SplitContentType) {
  const SplitCase cases[] = {
      {"", "", ""},
      {"application/json", "application/json", ""},
      {"application/json; charset=UTF-8", "application/json", "UTF-8"},
      {"application/json ;charset=utf-8", "application/json ", "utf-8"},
      {"Application/JSON", "Application/JSON", ""},
      {"text/plain;CharSet = latin1 ;format=flowed", "text/plain;format=flowed", "latin1"},
      {"a/b;x=1;charset=one;charset=two", "a/b;x=1;charset=two", "one"},
      {"a/b; charset", "a/b", ""},
      {"charset=utf-8", "", "utf-8"},
      {"a/b; xcharset=1", "a/b; xcharset=1", ""},
  };
  for (const auto& c : cases) {
    TContentTypeParts parts = SplitContentType(c.input);
    EXPECT_EQ(parts.media_type, c.media_type) << c.input;
    EXPECT_EQ(parts.charset, c.charset) << c.input;
  }
}

TEST(ContentType, ComposeContentType) {
  struct Case {
    const char* media_type;
    const char* charset;
    const char* expected;
  };
  const Case cases[] = {
      {"application/json", "UTF-8", "application/json;charset=utf-8"},
      {"Text/Plain ", "", "text/plain"},
      {" application/ json ", "UTF-8", "application/json;charset=utf-8"},
      {"image/png", "UTF-8", "image/png"},
      {"", "UTF-8", ""},
      {"   ", "UTF-8", ""},
      {"TEXT/HTML", "ISO-8859-1", "text/html;charset=iso-8859-1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ComposeContentType(c.media_type, c.charset), c.expected) << c.media_type;
  }
}

}  // namespace
}  // namespace ostrivan::web

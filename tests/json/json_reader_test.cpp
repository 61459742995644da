// Reader: accepted text, value kinds, and every error message with its position.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>

#include <string>

#include "json/json_data_objects.h"

namespace ostrivan::json {
namespace {

std::unique_ptr<TJsonObject> ParseObject(std::string_view text) {
  auto node = TJsonBaseObject::Parse(text);
  auto* obj = dynamic_cast<TJsonObject*>(node.get());
  EXPECT_NE(obj, nullptr) << text;
  node.release();
  return std::unique_ptr<TJsonObject>(obj);
}

// Message of the parse failure, or "<accepted>".
std::string ParseError(std::string_view text) {
  try {
    TJsonBaseObject::Parse(text);
  } catch (const EJsonParserException& e) {
    return e.Message();
  }
  return "<accepted>";
}

TEST(JsonReaderErrors, MessagesAndPositions) {
  struct Case {
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {R"({ "a" : 1 , })", R"(Expected value but found "}" (1, 14))"},
      {R"({"a" 1})", R"(Expected ":" but found value (1, 7))"},
      {"{", R"(Unexpected end of file where "}" was expected (1, 2))"},
      {R"("abc)", "String not closed (1, 1)"},
      {"123", R"(Expected "{" but found value (1, 4))"},
      {"\xEF\xBB\xBF{}", R"(Expected "{" but found invalid symbol (1, 2))"},
      {R"({"a":1}"xyz)", "String not closed (1, 8)"},
      {"{\"a\":\"x\ny\"}", "Invalid character in string (1, 8)"},
      {"{\"a\":\"x\ry\"}", "Invalid character in string (1, 8)"},
      {"{\"a\":\"x\\\ny\"}", "Invalid character in string (1, 9)"},
      {R"({"a":"\u12G4"})", R"(Invalid hex number "G" (1, 6))"},
      {R"({"a":  "\uZ000"})", R"(Invalid hex number "Z" (1, 6))"},
      {R"({"a":"\u12é4"})", "Invalid hex number \"\xC3\xA9\" (1, 6)"},
      {R"({"a":1,})", R"(Expected value but found "}" (1, 9))"},
      {R"({"a":1,)", R"(Unexpected end of file where "}" was expected (1, 8))"},
      {R"({"a":})", R"(Expected value but found "}" (1, 7))"},
      {R"({"a":1 "b":2})", R"(Expected "," but found value (1, 11))"},
      {R"({"a" b})", R"(Expected ":" but found identifier (1, 7))"},
      {R"({"a":1])", R"(Expected "," but found "]" (1, 8))"},
      // End of text after a member or element leaves the closing bracket to fail.
      {"[1,2", R"(Unexpected end of file where "]" was expected (1, 5))"},
      {R"({"a":1)", R"(Unexpected end of file where "}" was expected (1, 7))"},
      {R"({"a":{"b":1)", R"(Unexpected end of file where "}" was expected (1, 12))"},
      {R"({"a":[])", R"(Unexpected end of file where "}" was expected (1, 8))"},
      {"[1", R"(Unexpected end of file where "]" was expected (1, 3))"},
      {R"({"a":[1)", R"(Unexpected end of file where "]" was expected (1, 8))"},
      {R"([{"a":1})", R"(Unexpected end of file where "]" was expected (1, 9))"},
      {"[1,", R"(Unexpected end of file where "]" was expected (1, 4))"},
      {"[1,]", R"(Expected value but found "]" (1, 5))"},
      {"[-]", R"(Expected value but found invalid symbol (1, 3))"},
      {"[.5]", R"(Expected value but found invalid symbol (1, 3))"},
      {"[1e]", R"(Expected value but found invalid symbol (1, 4))"},
      {"[1e+]", R"(Expected value but found invalid symbol (1, 5))"},
      {"{#}", R"(Expected value but found invalid symbol (1, 3))"},
      {"[\"\\", "String not closed (1, 2)"},
      // Columns count UTF-16 units: é is one unit, U+1F600 two.
      {"{\"\xC3\xA9\":1 x}", R"(Expected "," but found identifier (1, 9))"},
      {"{\"\xF0\x9F\x98\x80\":1 x}", R"(Expected "," but found identifier (1, 10))"},
      // A character outside the BMP that starts no token is its high surrogate alone,
      // one unit; in a bad \u escape that surrogate is written as U+FFFD.
      {"\xF0\x9F\x98\x80", R"(Expected "{" but found invalid symbol (1, 2))"},
      {"[\xF0\x9F\x98\x80]", R"(Expected value but found invalid symbol (1, 3))"},
      {"{\"\xC3\xA9\":\xF0\x9F\x98\x80}", R"(Expected value but found invalid symbol (1, 7))"},
      {"{\"a\":\"\\u12\xF0\x9F\x98\x80"
       "4\"}",
       "Invalid hex number \"\xEF\xBF\xBD\" (1, 6)"},
      // A bad byte reads as U+FFFD, one unit, and is no token.
      {"{\xFF}", R"(Expected value but found invalid symbol (1, 3))"},
      // "$" starts a word but does not continue one.
      {"{_x$:1}", R"(Expected ":" but found identifier (1, 5))"},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseError(c.text), c.message) << c.text;
}

TEST(JsonReaderErrors, CarriesLineColumnAndPosition) {
  try {
    TJsonBaseObject::Parse(R"({"a" 1})");
    FAIL() << "accepted";
  } catch (const EJsonParserException& e) {
    EXPECT_EQ(e.BareMessage(), R"(Expected ":" but found value)");
    EXPECT_EQ(e.Line(), 1);
    EXPECT_EQ(e.Column(), 7);
    EXPECT_EQ(e.Position(), 6u);
    EXPECT_STREQ(e.ClassName(), "EJsonParserException");
  }
}

// Runs work on a thread whose stack is a quarter of a server worker's (512 KiB): depth
// must cost heap, not stack, in every build, sanitizers and their larger frames included.
void OnSmallStack(const std::function<void()>& work) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 128 * 1024), 0);
  pthread_t thread;
  auto run = [](void* arg) -> void* {
    (*static_cast<const std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, const_cast<std::function<void()>*>(&work)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

TEST(JsonReaderErrors, DeepNestingIsRefusedNotRecursedInto) {
  OnSmallStack([] {
    for (const std::string& unit : {std::string("["), std::string("{\"a\":")}) {
      std::string text;
      for (int i = 0; i < 100000; ++i) text += unit;
      const std::string message = ParseError(text);
      EXPECT_EQ(message.rfind("Nesting deeper than 1000 levels", 0), 0u) << message;
    }
    // The limit itself is still accepted, read and freed, arrays and objects alike.
    std::string at_limit(kJsonMaxDepth, '[');
    at_limit += std::string(kJsonMaxDepth, ']');
    EXPECT_EQ(ParseError(at_limit), "<accepted>");
    EXPECT_NE(ParseError("[" + at_limit + "]"), "<accepted>");
    std::string objects = "{";
    for (int i = 1; i < kJsonMaxDepth; ++i) objects += "\"a\":{";
    objects += std::string(kJsonMaxDepth, '}');
    EXPECT_EQ(ParseError(objects), "<accepted>");
    // A long chain under one member, inside a longer document.
    const std::string mixed = "{\"NomeFile\":\"J.zip\",\"x\":" + at_limit.substr(1, at_limit.size() - 2) + "}";
    auto document = TJsonBaseObject::Parse(mixed);
    ASSERT_NE(document, nullptr);
    EXPECT_EQ(static_cast<TJsonObject&>(*document).Values("NomeFile").StringValue(), "J.zip");
  });
}

TEST(JsonReader, BlankTextGivesNoDocument) {
  for (const std::string& text : {std::string(), std::string(" \t\r\n"), std::string("\x01\x1f ", 3)}) {
    EXPECT_EQ(TJsonBaseObject::Parse(text), nullptr);
  }
}

TEST(JsonReader, RootKindByFirstCharacter) {
  auto array = TJsonBaseObject::Parse("  [1]");
  EXPECT_NE(dynamic_cast<TJsonArray*>(array.get()), nullptr);
  auto object = TJsonBaseObject::Parse("\n{}");
  EXPECT_NE(dynamic_cast<TJsonObject*>(object.get()), nullptr);
}

TEST(JsonReader, NumberKinds) {
  struct Case {
    std::string literal;
    TJsonDataType kind;
    std::string written;
  };
  const Case cases[] = {
      {"0", TJsonDataType::jdtInt, "0"},
      {"123456789", TJsonDataType::jdtInt, "123456789"},
      {"-123456789", TJsonDataType::jdtInt, "-123456789"},
      {"1234567890", TJsonDataType::jdtLong, "1234567890"},
      {"-2147483647", TJsonDataType::jdtInt, "-2147483647"},
      {"-2147483648", TJsonDataType::jdtLong, "-2147483648"},
      {"2147483647", TJsonDataType::jdtLong, "2147483647"},
      {"999999999999999999", TJsonDataType::jdtLong, "999999999999999999"},
      {"9223372036854775807", TJsonDataType::jdtLong, "9223372036854775807"},
      {"9223372036854775808", TJsonDataType::jdtULong, "9223372036854775808"},
      {"-9223372036854775807", TJsonDataType::jdtLong, "-9223372036854775807"},
      {"-9223372036854775808", TJsonDataType::jdtFloat, "-9.22337203685478e+18"},
      {"18446744073709551615", TJsonDataType::jdtULong, "18446744073709551615"},
      {"18446744073709551616", TJsonDataType::jdtFloat, "1.84467440737096e+19"},
      {"123456789012345678901", TJsonDataType::jdtFloat, "1.23456789012346e+20"},
      {"1e2", TJsonDataType::jdtFloat, "100"},
      {"1.0", TJsonDataType::jdtFloat, "1"},
      {"1.", TJsonDataType::jdtFloat, "1"},
      {"-0.5", TJsonDataType::jdtFloat, "-0.5"},
      {"2.5E-3", TJsonDataType::jdtFloat, "0.0025"},
      {"0.1", TJsonDataType::jdtFloat, "0.1"},
      {"1e400", TJsonDataType::jdtFloat, "1e+308"},
      {"1e-400", TJsonDataType::jdtFloat, "1e-308"},
      {"0.1234567890123456789999", TJsonDataType::jdtFloat, "0.123456789012346"},
  };
  for (const auto& c : cases) {
    auto obj = ParseObject("{\"n\":" + c.literal + "}");
    ASSERT_TRUE(obj) << c.literal;
    EXPECT_EQ(obj->Values("n").DataType(), c.kind) << c.literal;
    EXPECT_EQ(obj->ToJSON(), "{\"n\":" + c.written + "}") << c.literal;
  }
  auto obj = ParseObject(R"({"i":-7,"l":1234567890,"u":18446744073709551615,"f":2.5})");
  EXPECT_EQ(obj->Values("i").IntValue(), -7);
  EXPECT_EQ(obj->Values("l").LongValue(), 1234567890);
  EXPECT_EQ(obj->Values("u").ULongValue(), 18446744073709551615ULL);
  EXPECT_DOUBLE_EQ(obj->Values("f").FloatValue(), 2.5);
}

TEST(JsonReader, LeadingZeroEndsTheNumber) {
  // 0 then 12 with no comma between: the grammar refuses the second number.
  EXPECT_EQ(ParseError("[012]"), R"(Expected "," but found value (1, 5))");
}

TEST(JsonReader, LenientForms) {
  struct Case {
    std::string text;
    std::string written;
  };
  const Case cases[] = {
      {"{a:1}", R"({"a":1})"},
      {R"({"a":abc})", R"({"a":"abc"})"},
      {R"({"a":1}xyz)", R"({"a":1})"},
      {R"({"a":1} trailing [ garbage)", R"({"a":1})"},
      {R"({"a":1,"a":2})", R"({"a":1,"a":2})"},
      {"{$a:$,_b1:x_2}", R"({"$a":"$","_b1":"x_2"})"},
      {R"({"a":[true,false,null,{},[]]})", R"({"a":[true,false,null,{},[]]})"},
      {"{1:2,true:3}", R"({"1":2,"true":3})"},
      {"{\"a\":\"tab\there\x01\"}", "{\"a\":\"tab\\there\\u0001\"}"},
      {" \t{ \"a\" :\r\n 1 } ", R"({"a":1})"},
  };
  for (const auto& c : cases) {
    auto obj = ParseObject(c.text);
    ASSERT_TRUE(obj) << c.text;
    EXPECT_EQ(obj->ToJSON(), c.written) << c.text;
  }
}

TEST(JsonReader, DuplicateNamesKeepAllAndFindTheFirst) {
  auto obj = ParseObject(R"({"a":1,"a":2,"A":3})");
  EXPECT_EQ(obj->Count(), 3u);
  EXPECT_EQ(obj->Values("a").IntValue(), 1);
  EXPECT_EQ(obj->Values("A").IntValue(), 3);
  EXPECT_EQ(obj->Values("b").DataType(), TJsonDataType::jdtNone);
  EXPECT_EQ(obj->Count(), 3u);  // looking up added nothing
}

TEST(JsonReader, StringEscapes) {
  struct Case {
    std::string literal;  // between the quotes
    std::string value;
  };
  const Case cases[] = {
      {R"(x\u00e9\/)", "x\xC3\xA9/"},
      {R"(\"\\\/\b\f\n\r\t)", "\"\\/\b\f\n\r\t"},
      {R"(\q\%)", "q%"},
      {R"(\u00C9\u00e9)", "\xC3\x89\xC3\xA9"},
      {R"(\ud83d\ude00)", "\xF0\x9F\x98\x80"},
      {R"(\uD83D\uDE00!)", "\xF0\x9F\x98\x80!"},
      {R"(\ud83dx)", "\xEF\xBF\xBDx"},
      {R"(\ude00)", "\xEF\xBF\xBD"},
      {R"(\ud83d\u0041)",
       "\xEF\xBF\xBD"
       "A"},
      {R"(a\u12)", "a12"},
      {R"(\u)", ""},
      {R"(\u123)", "123"},
      {"\\u1\xC3\xA9z", "1\xC3\xA9z"},
      {"\\\xC3\xA9", "\xC3\xA9"},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
  };
  for (const auto& c : cases) {
    auto obj = ParseObject("{\"a\":\"" + c.literal + "\"}");
    ASSERT_TRUE(obj) << c.literal;
    EXPECT_EQ(obj->Values("a").StringValue(), c.value) << c.literal;
  }
}

TEST(JsonReader, InvalidUtf8ReadsAsReplacementCharacters) {
  struct Case {
    std::string bytes;
    std::string value;
  };
  const Case cases[] = {
      {"\xFF", "\xEF\xBF\xBD"},
      {"a\xC3", "a\xEF\xBF\xBD"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                                  // overlong
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},                  // encoded surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // above U+10FFFF
  };
  for (const auto& c : cases) {
    auto obj = ParseObject("{\"a\":\"" + c.bytes + "\"}");
    ASSERT_TRUE(obj);
    EXPECT_EQ(obj->Values("a").StringValue(), c.value);
  }
}

TEST(JsonReader, LongStringWithEscapesEveryLine) {
  std::string expected;
  std::string literal;
  for (int line = 0; line < 1000; ++line) {
    const std::string chunk(76, static_cast<char>('A' + line % 26));
    expected += chunk + "\r\n";
    literal += chunk + "\\r\\n";
  }
  auto obj = ParseObject("{\"Stream\":\"" + literal + "\"}");
  EXPECT_EQ(obj->Values("Stream").StringValue(), expected);
}

}  // namespace
}  // namespace ostrivan::json

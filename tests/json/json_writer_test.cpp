// Writer: compact form, escapes, value forms; document editing operations.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "json/json_data_objects.h"

namespace ostrivan::json {
namespace {

std::string Written(TJsonDataValue value) {
  TJsonArray array;
  array.Add(std::move(value));
  const std::string text = array.ToJSON();
  return text.substr(1, text.size() - 2);  // without the brackets
}

TEST(JsonWriter, StringEscapes) {
  struct Case {
    std::string text;
    std::string written;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"\r\n", R"("\r\n")"},
      {std::string("\x01", 1), R"("\u0001")"},
      {std::string("\x00", 1), R"("\u0000")"},
      {"\x1f", R"("\u001f")"},
      {"\x0b", R"("\u000b")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {"\"\\", R"("\"\\")"},
      {"a/b", R"("a/b")"},
      {"x\xC3\xA9/", "\"x\xC3\xA9/\""},
      {"\x7f", "\"\x7f\""},
      // Escapes found on both sides of a 16-byte block boundary.
      {std::string(15, 'a') + "\"" + std::string(16, 'b') + "\n",
       "\"" + std::string(15, 'a') + "\\\"" + std::string(16, 'b') + "\\n\""},
  };
  for (const auto& c : cases) EXPECT_EQ(Written(TJsonDataValue::String(c.text)), c.written) << c.text;
}

TEST(JsonWriter, ValueForms) {
  struct Case {
    const char* name;
    TJsonDataValue value;
    std::string written;
  };
  Case cases[] = {
      {"int", TJsonDataValue::Int(-42), "-42"},
      {"int min", TJsonDataValue::Int(std::numeric_limits<std::int32_t>::min()), "-2147483648"},
      {"long", TJsonDataValue::Long(-9223372036854775807LL - 1), "-9223372036854775808"},
      {"ulong", TJsonDataValue::ULong(18446744073709551615ULL), "18446744073709551615"},
      {"float", TJsonDataValue::Float(0.5), "0.5"},
      {"float 1/3", TJsonDataValue::Float(1.0 / 3), "0.333333333333333"},
      {"float big", TJsonDataValue::Float(1e21), "1e+21"},
      {"float neg zero", TJsonDataValue::Float(-0.0), "0"},
      {"float inf", TJsonDataValue::Float(std::numeric_limits<double>::infinity()), "null"},
      {"float nan", TJsonDataValue::Float(std::numeric_limits<double>::quiet_NaN()), "null"},
      {"true", TJsonDataValue::Bool(true), "true"},
      {"false", TJsonDataValue::Bool(false), "false"},
      {"null", TJsonDataValue::Null(), "null"},
      {"none", TJsonDataValue(), "null"},
      {"array without child", TJsonDataValue::Array(nullptr), "[]"},
      {"empty object", TJsonDataValue::Object(std::make_unique<TJsonObject>()), "{}"},
      {"empty array", TJsonDataValue::Array(std::make_unique<TJsonArray>()), "[]"},
      {"utc 5 ms", TJsonDataValue::UtcDateTime(EncodeJsonDateTime(2024, 3, 9, 7, 8, 9, 5)),
       R"("2024-03-09T07:08:09.5Z")"},
      {"utc 123 ms", TJsonDataValue::UtcDateTime(EncodeJsonDateTime(1999, 12, 31, 23, 59, 58, 123)),
       R"("1999-12-31T23:59:58.123Z")"},
      {"utc epoch", TJsonDataValue::UtcDateTime(0), R"("1899-12-30T00:00:00.0Z")"},
  };
  for (auto& c : cases) EXPECT_EQ(Written(std::move(c.value)), c.written) << c.name;
}

TEST(JsonWriter, CompactObjectsAndArrays) {
  TJsonObject obj;
  obj.SetString("s", "x");
  obj.SetNull("n");
  obj.EnsureArray("a").AddInt(1);
  obj.EnsureArray("a").AddString("two");
  obj.EnsureObject("o").SetBool("b", true);
  obj.EnsureArray("a").AddObject();
  EXPECT_EQ(obj.ToJSON(), R"({"s":"x","n":null,"a":[1,"two",{}],"o":{"b":true}})");
  EXPECT_EQ(TJsonObject().ToJSON(), "{}");
  EXPECT_EQ(TJsonArray().ToJSON(), "[]");
}

TEST(JsonDocument, SetReplacesTheFirstMemberWhereItStands) {
  auto node = TJsonBaseObject::Parse(R"({"a":1,"b":2,"a":3})");
  auto& obj = dynamic_cast<TJsonObject&>(*node);
  obj.SetString("a", "x");
  obj.SetInt("c", 4);
  EXPECT_EQ(obj.ToJSON(), R"({"a":"x","b":2,"a":3,"c":4})");
}

TEST(JsonDocument, EnsureObjectAppendsOnlyWhenAbsent) {
  TJsonObject obj;
  obj.EnsureObject("o").SetInt("x", 1);
  obj.EnsureObject("o").SetInt("y", 2);
  EXPECT_EQ(obj.Count(), 1u);
  EXPECT_EQ(obj.ToJSON(), R"({"o":{"x":1,"y":2}})");
}

TEST(JsonDocument, ContainsAndIsNull) {
  auto node = TJsonBaseObject::Parse(R"({"n":null,"v":0,"o":{}})");
  const auto& obj = dynamic_cast<const TJsonObject&>(*node);
  EXPECT_TRUE(obj.Contains("n"));
  EXPECT_TRUE(obj.IsNull("n"));
  EXPECT_FALSE(obj.IsNull("v"));
  EXPECT_FALSE(obj.IsNull("o"));
  EXPECT_FALSE(obj.Contains("x"));
  EXPECT_TRUE(obj.IsNull("x"));
}

TEST(JsonDocument, CloneIsDeepAndIndependent) {
  auto node = TJsonBaseObject::Parse(R"({"a":{"b":[1,{"c":"d"}]}})");
  auto copy = node->Clone();
  dynamic_cast<TJsonObject&>(*node).EnsureObject("a").SetInt("b", 0);
  EXPECT_EQ(copy->ToJSON(), R"({"a":{"b":[1,{"c":"d"}]}})");
  EXPECT_EQ(node->ToJSON(), R"({"a":{"b":0}})");
}

TEST(JsonDocument, KindNames) {
  const std::pair<TJsonDataType, const char*> names[] = {
      {TJsonDataType::jdtNone, "None"},         {TJsonDataType::jdtString, "String"},
      {TJsonDataType::jdtInt, "Int"},           {TJsonDataType::jdtLong, "Long"},
      {TJsonDataType::jdtULong, "ULong"},       {TJsonDataType::jdtFloat, "Float"},
      {TJsonDataType::jdtDateTime, "DateTime"}, {TJsonDataType::jdtUtcDateTime, "UtcDateTime"},
      {TJsonDataType::jdtBool, "Bool"},         {TJsonDataType::jdtArray, "Array"},
      {TJsonDataType::jdtObject, "Object"},
  };
  for (const auto& [kind, name] : names) EXPECT_STREQ(JsonDataTypeName(kind), name);
}

// Parse, write, parse again: the second text equals the first.
TEST(JsonRoundTrip, WrittenTextReadsBackToTheSameText) {
  const std::string texts[] = {
      R"({"a":"x\u00e9\/"})",
      R"({"a":[1,-2,3.25,1e300,-0.0,0.1,123456789012345678,18446744073709551615]})",
      R"({"b":{"c":[[],{},null,true]},"d":"\u0000\u001f\"\\"})",
      R"([{"k":"v"},"s",1.5e-7])",
      R"({"x":0.30000000000000004,"y":1.7976931348623157e308,"z":5e-324})",
  };
  for (const auto& text : texts) {
    const std::string once = TJsonBaseObject::Parse(text)->ToJSON();
    const std::string twice = TJsonBaseObject::Parse(once)->ToJSON();
    EXPECT_EQ(once, twice) << text;
  }
  EXPECT_EQ(TJsonBaseObject::Parse(R"({"a":"x\u00e9\/"})")->ToJSON(), "{\"a\":\"x\xC3\xA9/\"}");
}

}  // namespace
}  // namespace ostrivan::json

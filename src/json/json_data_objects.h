#pragma once
// In-memory JSON documents: objects and arrays of typed values, read from text in one
// pass and written back as compact text.
//
// Text is UTF-8. Where a result counts characters (reader columns, \u escapes) it counts
// UTF-16 units, so a client sees the same positions whatever encoding it used.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "json/serializer_object.h"

namespace ostrivan::json {

enum class TJsonDataType {
  jdtNone,
  jdtString,
  jdtInt,
  jdtLong,
  jdtULong,
  jdtFloat,
  jdtDateTime,
  jdtUtcDateTime,
  jdtBool,
  jdtArray,
  jdtObject,
};

// "None", "String", "Int", ... as used in mapping messages.
const char* JsonDataTypeName(TJsonDataType kind) noexcept;

// Raised by the reader; the message already ends in " (line, column)".
class EJsonParserException : public Exception {
 public:
  EJsonParserException(const std::string& message, int line, int column, std::size_t position);
  const char* ClassName() const noexcept override { return "EJsonParserException"; }
  // The message without the " (line, column)" suffix.
  const std::string& BareMessage() const noexcept { return bare_message_; }
  int Line() const noexcept { return line_; }
  int Column() const noexcept { return column_; }
  // Zero-based, in UTF-16 units.
  std::size_t Position() const noexcept { return position_; }

 private:
  std::string bare_message_;
  int line_;
  int column_;
  std::size_t position_;
};

class TJsonObject;
class TJsonArray;

// Common base of objects and arrays.
class TJsonBaseObject : public TObject {
 public:
  // Reads a document. Returns nullptr when the text is empty or holds only characters
  // of code 32 or below; "[" as first other character reads an array, anything else an
  // object. Throws EJsonParserException on malformed text. Invalid UTF-8 is read as if
  // each bad byte were U+FFFD.
  static std::unique_ptr<TJsonBaseObject> Parse(std::string_view text);

  // Compact text: no blank or line break anywhere.
  std::string ToJSON() const;
  void AppendJSON(std::string& out) const;

  virtual std::unique_ptr<TJsonBaseObject> Clone() const = 0;
};

// A value: a kind plus its payload. A JSON null is a jdtObject without a child.
class TJsonDataValue {
 public:
  TJsonDataValue() = default;
  TJsonDataValue(TJsonDataValue&&) noexcept = default;
  TJsonDataValue& operator=(TJsonDataValue&&) noexcept = default;
  TJsonDataValue(const TJsonDataValue&) = delete;
  TJsonDataValue& operator=(const TJsonDataValue&) = delete;

  static TJsonDataValue String(std::string text);
  static TJsonDataValue Int(std::int32_t value);
  static TJsonDataValue Long(std::int64_t value);
  static TJsonDataValue ULong(std::uint64_t value);
  static TJsonDataValue Float(double value);
  static TJsonDataValue Bool(bool value);
  // Day count since 1899-12-30 (fraction = time of day), in UTC.
  static TJsonDataValue UtcDateTime(double day_count);
  static TJsonDataValue Object(std::unique_ptr<TJsonObject> child);  // nullptr gives null
  static TJsonDataValue Array(std::unique_ptr<TJsonArray> child);    // nullptr gives []
  static TJsonDataValue Null();

  TJsonDataType DataType() const noexcept { return kind_; }
  // Absent (jdtNone) or null (object without child).
  bool IsNull() const noexcept;

  // Payload getters; each gives its zero value when the kind differs.
  const std::string& StringValue() const noexcept;
  std::string& MutableStringValue() noexcept { return text_; }
  std::int32_t IntValue() const noexcept;
  std::int64_t LongValue() const noexcept;
  std::uint64_t ULongValue() const noexcept;
  double FloatValue() const noexcept;
  double DateTimeValue() const noexcept;
  bool BoolValue() const noexcept;
  const TJsonObject* ObjectValue() const noexcept;
  TJsonObject* ObjectValue() noexcept;
  const TJsonArray* ArrayValue() const noexcept;
  TJsonArray* ArrayValue() noexcept;

  TJsonDataValue Clone() const;
  void AppendJSON(std::string& out) const;

  // The value of every look-up that finds nothing.
  static const TJsonDataValue& None() noexcept;

 private:
  friend class TJsonObject;
  friend class TJsonArray;
  // Frees the containers nested below values one after another instead of one inside
  // the other: a document nested a thousand levels deep is freed without recursion.
  static void FreeNested(std::vector<TJsonDataValue>& values) noexcept;

  TJsonDataType kind_ = TJsonDataType::jdtNone;
  union {
    std::int32_t i;
    std::int64_t l;
    std::uint64_t u;
    double f;
    bool b;
  } num_{};
  std::string text_;
  std::unique_ptr<TJsonBaseObject> child_;
};

// Members in insertion order; a name may repeat and look-up finds the first (exact,
// case-sensitive comparison).
class TJsonObject final : public TJsonBaseObject {
 public:
  TJsonObject() = default;
  ~TJsonObject() override;

  std::size_t Count() const noexcept { return names_.size(); }
  const std::string& Names(std::size_t index) const { return names_[index]; }
  const TJsonDataValue& Items(std::size_t index) const { return values_[index]; }
  TJsonDataValue& Items(std::size_t index) { return values_[index]; }

  // Index of the first member of that name, or -1.
  std::ptrdiff_t IndexOf(std::string_view name) const noexcept;
  // The member's value, or TJsonDataValue::None(); never adds a member.
  const TJsonDataValue& Values(std::string_view name) const noexcept;
  bool Contains(std::string_view name) const noexcept { return IndexOf(name) >= 0; }
  // Absent or null.
  bool IsNull(std::string_view name) const noexcept { return Values(name).IsNull(); }

  // The child object (array) of that name; appends a new empty one when the name is
  // absent. A member of that name holding another kind is replaced where it stands.
  TJsonObject& EnsureObject(std::string_view name);
  TJsonArray& EnsureArray(std::string_view name);

  // The first member of that name receives the value where it stands, else a member is
  // appended.
  void Set(std::string_view name, TJsonDataValue value);
  void SetString(std::string_view name, std::string value) { Set(name, TJsonDataValue::String(std::move(value))); }
  void SetBool(std::string_view name, bool value) { Set(name, TJsonDataValue::Bool(value)); }
  void SetInt(std::string_view name, std::int32_t value) { Set(name, TJsonDataValue::Int(value)); }
  void SetLong(std::string_view name, std::int64_t value) { Set(name, TJsonDataValue::Long(value)); }
  void SetULong(std::string_view name, std::uint64_t value) { Set(name, TJsonDataValue::ULong(value)); }
  void SetFloat(std::string_view name, double value) { Set(name, TJsonDataValue::Float(value)); }
  void SetUtcDateTime(std::string_view name, double day_count) { Set(name, TJsonDataValue::UtcDateTime(day_count)); }
  void SetObject(std::string_view name, std::unique_ptr<TJsonObject> child) {
    Set(name, TJsonDataValue::Object(std::move(child)));
  }
  void SetArray(std::string_view name, std::unique_ptr<TJsonArray> child) {
    Set(name, TJsonDataValue::Array(std::move(child)));
  }
  void SetNull(std::string_view name) { Set(name, TJsonDataValue::Null()); }

  // Appends without looking for an earlier member of the same name (the reader's way).
  void AddMember(std::string name, TJsonDataValue value);

  std::unique_ptr<TJsonBaseObject> Clone() const override;
  std::unique_ptr<TJsonObject> CloneObject() const;

 private:
  friend class TJsonDataValue;
  std::vector<std::string> names_;
  std::vector<TJsonDataValue> values_;
};

class TJsonArray final : public TJsonBaseObject {
 public:
  TJsonArray() = default;
  ~TJsonArray() override;

  std::size_t Count() const noexcept { return values_.size(); }
  const TJsonDataValue& Items(std::size_t index) const { return values_[index]; }
  TJsonDataValue& Items(std::size_t index) { return values_[index]; }

  void Add(TJsonDataValue value);
  void AddString(std::string value) { Add(TJsonDataValue::String(std::move(value))); }
  void AddInt(std::int32_t value) { Add(TJsonDataValue::Int(value)); }
  // Appends a new empty child object and returns it.
  TJsonObject& AddObject();

  std::unique_ptr<TJsonBaseObject> Clone() const override;
  std::unique_ptr<TJsonArray> CloneArray() const;

 private:
  friend class TJsonDataValue;
  std::vector<TJsonDataValue> values_;
};

// Day count since 1899-12-30 for a calendar date and time (no time-zone change).
double EncodeJsonDateTime(int year, int month, int day, int hour, int minute, int second, int millisecond);

// Nesting deeper than this is refused by the reader: real messages are two levels deep,
// and the limit keeps hostile input from exhausting the stack.
inline constexpr int kJsonMaxDepth = 1000;

}  // namespace ostrivan::json

// Document model and compact writer.
#include "json/json_data_objects.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/large_buffer.h"
#include "json/detail/json_scan.h"

namespace ostrivan::json {

const TMVCEnumInfo& BooleanEnumInfo() {
  static const TMVCEnumInfo info{"Boolean", {"False", "True"}};
  return info;
}

const char* JsonDataTypeName(TJsonDataType kind) noexcept {
  switch (kind) {
    case TJsonDataType::jdtNone: return "None";
    case TJsonDataType::jdtString: return "String";
    case TJsonDataType::jdtInt: return "Int";
    case TJsonDataType::jdtLong: return "Long";
    case TJsonDataType::jdtULong: return "ULong";
    case TJsonDataType::jdtFloat: return "Float";
    case TJsonDataType::jdtDateTime: return "DateTime";
    case TJsonDataType::jdtUtcDateTime: return "UtcDateTime";
    case TJsonDataType::jdtBool: return "Bool";
    case TJsonDataType::jdtArray: return "Array";
    case TJsonDataType::jdtObject: return "Object";
  }
  return "None";
}

EJsonParserException::EJsonParserException(const std::string& message, int line, int column, std::size_t position)
    : Exception(message + " (" + std::to_string(line) + ", " + std::to_string(column) + ")"),
      bare_message_(message),
      line_(line),
      column_(column),
      position_(position) {}

// ---------------------------------------------------------------------------------------
// Values

TJsonDataValue TJsonDataValue::String(std::string text) {
  TJsonDataValue v;
  v.kind_ = TJsonDataType::jdtString;
  v.text_ = std::move(text);
  return v;
}
TJsonDataValue TJsonDataValue::Int(std::int32_t value) {
  TJsonDataValue v;
  v.kind_ = TJsonDataType::jdtInt;
  v.num_.i = value;
  return v;
}
TJsonDataValue TJsonDataValue::Long(std::int64_t value) {
  TJsonDataValue v;
  v.kind_ = TJsonDataType::jdtLong;
  v.num_.l = value;
  return v;
}
TJsonDataValue TJsonDataValue::ULong(std::uint64_t value) {
  TJsonDataValue v;
  v.kind_ = TJsonDataType::jdtULong;
  v.num_.u = value;
  return v;
}
TJsonDataValue TJsonDataValue::Float(double value) {
  TJsonDataValue v;
  v.kind_ = TJsonDataType::jdtFloat;
  v.num_.f = value;
  return v;
}
TJsonDataValue TJsonDataValue::Bool(bool value) {
  TJsonDataValue v;
  v.kind_ = TJsonDataType::jdtBool;
  v.num_.b = value;
  return v;
}
TJsonDataValue TJsonDataValue::UtcDateTime(double day_count) {
  TJsonDataValue v;
  v.kind_ = TJsonDataType::jdtUtcDateTime;
  v.num_.f = day_count;
  return v;
}
TJsonDataValue TJsonDataValue::Object(std::unique_ptr<TJsonObject> child) {
  TJsonDataValue v;
  v.kind_ = TJsonDataType::jdtObject;
  v.child_ = std::move(child);
  return v;
}
TJsonDataValue TJsonDataValue::Array(std::unique_ptr<TJsonArray> child) {
  TJsonDataValue v;
  v.kind_ = TJsonDataType::jdtArray;
  v.child_ = std::move(child);
  return v;
}
TJsonDataValue TJsonDataValue::Null() { return Object(nullptr); }

const TJsonDataValue& TJsonDataValue::None() noexcept {
  static const TJsonDataValue none;
  return none;
}

bool TJsonDataValue::IsNull() const noexcept {
  return kind_ == TJsonDataType::jdtNone || (kind_ == TJsonDataType::jdtObject && !child_);
}

const std::string& TJsonDataValue::StringValue() const noexcept {
  static const std::string empty;
  return kind_ == TJsonDataType::jdtString ? text_ : empty;
}
std::int32_t TJsonDataValue::IntValue() const noexcept { return kind_ == TJsonDataType::jdtInt ? num_.i : 0; }
std::int64_t TJsonDataValue::LongValue() const noexcept { return kind_ == TJsonDataType::jdtLong ? num_.l : 0; }
std::uint64_t TJsonDataValue::ULongValue() const noexcept { return kind_ == TJsonDataType::jdtULong ? num_.u : 0; }
double TJsonDataValue::FloatValue() const noexcept { return kind_ == TJsonDataType::jdtFloat ? num_.f : 0.0; }
double TJsonDataValue::DateTimeValue() const noexcept {
  return (kind_ == TJsonDataType::jdtUtcDateTime || kind_ == TJsonDataType::jdtDateTime) ? num_.f : 0.0;
}
bool TJsonDataValue::BoolValue() const noexcept { return kind_ == TJsonDataType::jdtBool && num_.b; }
const TJsonObject* TJsonDataValue::ObjectValue() const noexcept {
  return kind_ == TJsonDataType::jdtObject ? static_cast<const TJsonObject*>(child_.get()) : nullptr;
}
TJsonObject* TJsonDataValue::ObjectValue() noexcept {
  return kind_ == TJsonDataType::jdtObject ? static_cast<TJsonObject*>(child_.get()) : nullptr;
}
const TJsonArray* TJsonDataValue::ArrayValue() const noexcept {
  return kind_ == TJsonDataType::jdtArray ? static_cast<const TJsonArray*>(child_.get()) : nullptr;
}
TJsonArray* TJsonDataValue::ArrayValue() noexcept {
  return kind_ == TJsonDataType::jdtArray ? static_cast<TJsonArray*>(child_.get()) : nullptr;
}

TJsonDataValue TJsonDataValue::Clone() const {
  TJsonDataValue v;
  v.kind_ = kind_;
  v.num_ = num_;
  v.text_ = text_;
  if (child_) v.child_ = child_->Clone();
  return v;
}

// ---------------------------------------------------------------------------------------
// Objects and arrays

void TJsonDataValue::FreeNested(std::vector<TJsonDataValue>& values) noexcept {
  const auto has_child = [](const TJsonDataValue& v) { return v.child_ != nullptr; };
  if (std::none_of(values.begin(), values.end(), has_child)) return;
  std::vector<std::unique_ptr<TJsonBaseObject>> pending;
  const auto take = [&pending](std::vector<TJsonDataValue>& from) {
    for (TJsonDataValue& v : from)
      if (v.child_) pending.push_back(std::move(v.child_));
  };
  take(values);
  while (!pending.empty()) {
    std::unique_ptr<TJsonBaseObject> next = std::move(pending.back());
    pending.pop_back();
    if (auto* object = dynamic_cast<TJsonObject*>(next.get())) take(object->values_);
    else if (auto* array = dynamic_cast<TJsonArray*>(next.get())) take(array->values_);
    // next goes here, holding no child any more.
  }
}

TJsonObject::~TJsonObject() { TJsonDataValue::FreeNested(values_); }
TJsonArray::~TJsonArray() { TJsonDataValue::FreeNested(values_); }

std::ptrdiff_t TJsonObject::IndexOf(std::string_view name) const noexcept {
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (names_[i] == name) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

const TJsonDataValue& TJsonObject::Values(std::string_view name) const noexcept {
  const std::ptrdiff_t i = IndexOf(name);
  return i < 0 ? TJsonDataValue::None() : values_[static_cast<std::size_t>(i)];
}

TJsonObject& TJsonObject::EnsureObject(std::string_view name) {
  const std::ptrdiff_t i = IndexOf(name);
  if (i >= 0) {
    TJsonDataValue& v = values_[static_cast<std::size_t>(i)];
    if (TJsonObject* child = v.ObjectValue()) return *child;
    v = TJsonDataValue::Object(std::make_unique<TJsonObject>());
    return *v.ObjectValue();
  }
  AddMember(std::string(name), TJsonDataValue::Object(std::make_unique<TJsonObject>()));
  return *values_.back().ObjectValue();
}

TJsonArray& TJsonObject::EnsureArray(std::string_view name) {
  const std::ptrdiff_t i = IndexOf(name);
  if (i >= 0) {
    TJsonDataValue& v = values_[static_cast<std::size_t>(i)];
    if (TJsonArray* child = v.ArrayValue()) return *child;
    v = TJsonDataValue::Array(std::make_unique<TJsonArray>());
    return *v.ArrayValue();
  }
  AddMember(std::string(name), TJsonDataValue::Array(std::make_unique<TJsonArray>()));
  return *values_.back().ArrayValue();
}

void TJsonObject::Set(std::string_view name, TJsonDataValue value) {
  const std::ptrdiff_t i = IndexOf(name);
  if (i >= 0) {
    values_[static_cast<std::size_t>(i)] = std::move(value);
  } else {
    AddMember(std::string(name), std::move(value));
  }
}

void TJsonObject::AddMember(std::string name, TJsonDataValue value) {
  names_.push_back(std::move(name));
  values_.push_back(std::move(value));
}

std::unique_ptr<TJsonObject> TJsonObject::CloneObject() const {
  auto copy = std::make_unique<TJsonObject>();
  copy->names_ = names_;
  copy->values_.reserve(values_.size());
  for (const auto& v : values_) copy->values_.push_back(v.Clone());
  return copy;
}
std::unique_ptr<TJsonBaseObject> TJsonObject::Clone() const { return CloneObject(); }

void TJsonArray::Add(TJsonDataValue value) { values_.push_back(std::move(value)); }

TJsonObject& TJsonArray::AddObject() {
  values_.push_back(TJsonDataValue::Object(std::make_unique<TJsonObject>()));
  return *values_.back().ObjectValue();
}

std::unique_ptr<TJsonArray> TJsonArray::CloneArray() const {
  auto copy = std::make_unique<TJsonArray>();
  copy->values_.reserve(values_.size());
  for (const auto& v : values_) copy->values_.push_back(v.Clone());
  return copy;
}
std::unique_ptr<TJsonBaseObject> TJsonArray::Clone() const { return CloneArray(); }

// ---------------------------------------------------------------------------------------
// Date and time: day counts since 1899-12-30, as the wire's UTC form needs them.

namespace {

constexpr std::int64_t kMsPerDay = 86400000;
constexpr std::int64_t kDaysFrom1899To1970 = 25569;

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

void AppendDateTime(std::string& out, double day_count) {
  // Outside +-10 million days the value is no calendar date; clamp so the arithmetic
  // stays defined for any double.
  if (!std::isfinite(day_count)) day_count = 0;
  if (day_count > 1e7) day_count = 1e7;
  if (day_count < -1e7) day_count = -1e7;
  const auto total_ms = static_cast<std::int64_t>(std::llround(day_count * kMsPerDay));
  std::int64_t days = total_ms / kMsPerDay;
  std::int64_t ms = total_ms % kMsPerDay;
  if (ms < 0) {
    ms += kMsPerDay;
    --days;
  }
  std::int64_t year;
  unsigned month, day;
  CivilFromDays(days - kDaysFrom1899To1970, year, month, day);
  char buf[64];
  const int n = std::snprintf(buf, sizeof buf, "\"%.4d-%.2d-%.2dT%.2d:%.2d:%.2d.%dZ\"", static_cast<int>(year), month,
                              day, static_cast<int>(ms / 3600000), static_cast<int>(ms / 60000 % 60),
                              static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000));
  out.append(buf, static_cast<std::size_t>(n));
}

// Shortest form with at most 15 significant digits: plain notation for decimal exponents
// -4..14, exponent notation outside. The value is first rounded to 15 digits, so writing
// what was read back gives the same text again.
void AppendFloat(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";  // JSON has no infinity or NaN
    return;
  }
  if (value == 0) {
    out += '0';  // also for -0: "-0" would read back as the integer 0
    return;
  }
  // Rounding the largest doubles up to 15 digits would leave the double range.
  constexpr double kLargest15 = 1.79769313486231e308;
  if (value > kLargest15) value = kLargest15;
  if (value < -kLargest15) value = -kLargest15;
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 14);
  double rounded = value;
  std::from_chars(buf, r.ptr, rounded);
  int digits = 15;
  for (int p = 1; p < 15; ++p) {
    r = std::to_chars(buf, buf + sizeof buf, rounded, std::chars_format::scientific, p - 1);
    double back = 0;
    std::from_chars(buf, r.ptr, back);
    if (back == rounded) {
      digits = p;
      break;
    }
  }
  r = std::to_chars(buf, buf + sizeof buf, rounded, std::chars_format::scientific, digits - 1);
  const char* e = static_cast<const char*>(std::memchr(buf, 'e', static_cast<std::size_t>(r.ptr - buf)));
  int exponent = 0;
  std::from_chars(e + (e[1] == '+' ? 2 : 1), r.ptr, exponent);
  if (exponent < -4 || exponent >= 15) {
    out.append(buf, r.ptr);
    return;
  }
  r = std::to_chars(buf, buf + sizeof buf, rounded, std::chars_format::fixed, std::max(0, digits - 1 - exponent));
  out.append(buf, r.ptr);
}

template <class T>
void AppendInteger(std::string& out, T value) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

}  // namespace

double EncodeJsonDateTime(int year, int month, int day, int hour, int minute, int second, int millisecond) {
  const std::int64_t days =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) + kDaysFrom1899To1970;
  const std::int64_t ms = ((static_cast<std::int64_t>(hour) * 60 + minute) * 60 + second) * 1000 + millisecond;
  return static_cast<double>(days) + static_cast<double>(ms) / kMsPerDay;
}

// ---------------------------------------------------------------------------------------
// Writer

void TJsonDataValue::AppendJSON(std::string& out) const {
  switch (kind_) {
    case TJsonDataType::jdtNone: out += "null"; break;
    case TJsonDataType::jdtString: json_detail::AppendJsonString(out, text_); break;
    case TJsonDataType::jdtInt: AppendInteger(out, num_.i); break;
    case TJsonDataType::jdtLong: AppendInteger(out, num_.l); break;
    case TJsonDataType::jdtULong: AppendInteger(out, num_.u); break;
    case TJsonDataType::jdtFloat: AppendFloat(out, num_.f); break;
    // No member of this system holds local date-times; both kinds use the UTC form.
    case TJsonDataType::jdtDateTime:
    case TJsonDataType::jdtUtcDateTime: AppendDateTime(out, num_.f); break;
    case TJsonDataType::jdtBool: out += num_.b ? "true" : "false"; break;
    case TJsonDataType::jdtArray:
      if (child_) child_->AppendJSON(out);
      else out += "[]";
      break;
    case TJsonDataType::jdtObject:
      if (child_) child_->AppendJSON(out);
      else out += "null";
      break;
  }
}

void TJsonBaseObject::AppendJSON(std::string& out) const {
  if (const auto* obj = dynamic_cast<const TJsonObject*>(this)) {
    out += '{';
    for (std::size_t i = 0; i < obj->Count(); ++i) {
      if (i) out += ',';
      json_detail::AppendJsonString(out, obj->Names(i));
      out += ':';
      obj->Items(i).AppendJSON(out);
    }
    out += '}';
  } else if (const auto* arr = dynamic_cast<const TJsonArray*>(this)) {
    out += '[';
    for (std::size_t i = 0; i < arr->Count(); ++i) {
      if (i) out += ',';
      arr->Items(i).AppendJSON(out);
    }
    out += ']';
  }
}

std::string TJsonBaseObject::ToJSON() const {
  std::string out;
  AppendJSON(out);
  return out;
}

namespace json_detail {

void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  // A body escapes one character in ~78 (CR LF of base64 lines): reserve for the common
  // case and let the rare heavy case grow.
  ReserveLarge(out, out.size() + text.size() + text.size() / 32 + 2);
  out += '"';
  const char* data = text.data();
  const std::size_t size = text.size();
  std::size_t run = 0;
  while (true) {
    const std::size_t stop = FindStringSpecial(data, size, run);
    out.append(data + run, stop - run);
    if (stop == size) break;
    const auto c = static_cast<unsigned char>(data[stop]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default: {
        const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        out.append(esc, 6);
      }
    }
    run = stop + 1;
  }
  out += '"';
}

}  // namespace json_detail

}  // namespace ostrivan::json

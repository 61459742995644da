// Object-to-JSON mapping driven by the class tables of serializer_object.h.
#include "web/serializer_json.h"

#include "common/numbers.h"
#include "common/text.h"
#include "logging/framework_log.h"

namespace ostrivan::web {

using json::EJsonParserException;
using json::IMVCList;
using json::TJsonArray;
using json::TJsonBaseObject;
using json::TJsonDataType;
using json::TJsonDataValue;
using json::TJsonObject;
using json::TMVCClassInfo;
using json::TMVCEnumInfo;
using json::TMVCEnumValue;
using json::TMVCNameCase;
using json::TMVCPropertyInfo;
using json::TMVCValue;
using json::TMVCValueKind;
using json::TObject;

namespace {

bool IsIgnored(const std::string& name, const std::vector<std::string>& ignored) {
  for (const auto& entry : ignored) {
    if (entry == name) return true;
  }
  return false;
}

// "+5" is an integer too.
template <class T>
bool ParseWholeInteger(const std::string& text, T& value) {
  return ParseNumber(text, value, 10, TSign::kPlusOrMinus);
}

[[noreturn]] void ThrowTypecast(const std::string& key, const TMVCPropertyInfo& property, const TJsonDataValue& json) {
  throw EMVCException(400, MVCFormat("Invalid class typecast for property \"%s\" [Expected: %s, Actual: %s]",
                                     key.c_str(), property.type.name.c_str(), JsonDataTypeName(json.DataType())));
}

[[noreturn]] void ThrowNotMapped(const std::string& key) {
  throw EMVCSerializationException(
      MVCFormat("Cannot deserialize \"%s\" from mapped values", ("property " + key).c_str()));
}

// Converts a candidate to the property's own type and stores it; anything but the listed
// conversions is a typecast failure.
void StoreCandidate(TObject& object, const TMVCPropertyInfo& property, TMVCValue&& candidate, const std::string& key,
                    const TJsonDataValue& json) {
  TMVCValue stored;
  switch (property.type.kind) {
    case TMVCValueKind::vkString:
      if (std::holds_alternative<std::string>(candidate)) stored = std::move(candidate);
      break;
    case TMVCValueKind::vkBoolean:
      if (std::holds_alternative<bool>(candidate)) {
        stored = candidate;
      } else if (auto* e = std::get_if<TMVCEnumValue>(&candidate); e && e->type == &json::BooleanEnumInfo()) {
        stored = e->ordinal != 0;
      }
      break;
    case TMVCValueKind::vkEnumeration:
      if (auto* e = std::get_if<TMVCEnumValue>(&candidate); e && e->type == property.type.enum_info) {
        stored = *e;
      }
      break;
    case TMVCValueKind::vkInteger:
      if (std::holds_alternative<std::int32_t>(candidate)) {
        stored = candidate;
      } else if (auto* l = std::get_if<std::int64_t>(&candidate)) {
        stored = static_cast<std::int32_t>(static_cast<std::uint32_t>(*l));  // truncated, as stored
      }
      break;
    case TMVCValueKind::vkInt64:
      if (auto* i = std::get_if<std::int32_t>(&candidate)) {
        stored = static_cast<std::int64_t>(*i);
      } else if (std::holds_alternative<std::int64_t>(candidate)) {
        stored = candidate;
      }
      break;
    case TMVCValueKind::vkFloat:
      if (auto* i = std::get_if<std::int32_t>(&candidate)) {
        stored = static_cast<double>(*i);
      } else if (auto* l = std::get_if<std::int64_t>(&candidate)) {
        stored = static_cast<double>(*l);
      } else if (std::holds_alternative<double>(candidate)) {
        stored = candidate;
      }
      break;
    case TMVCValueKind::vkObject: return;  // objects are filled in place, never stored
  }
  if (std::holds_alternative<std::monostate>(stored)) ThrowTypecast(key, property, json);
  property.setter(object, std::move(stored));
}

// Text to value by the member's type: names for enumerations, whole integers for
// integer types, the text itself otherwise.
TMVCValue TextCandidate(const TMVCPropertyInfo& property, const std::string& text, const std::string& key) {
  switch (property.type.kind) {
    case TMVCValueKind::vkBoolean:
    case TMVCValueKind::vkEnumeration: {
      const TMVCEnumInfo& info = *property.type.enum_info;
      for (std::size_t i = 0; i < info.value_names.size(); ++i) {
        if (SameText(info.value_names[i], text)) {
          if (property.type.kind == TMVCValueKind::vkBoolean) return i != 0;
          return TMVCEnumValue{&info, static_cast<int>(i)};
        }
      }
      ThrowNotMapped(key);
    }
    case TMVCValueKind::vkInteger: {
      std::int32_t v;
      if (ParseWholeInteger(text, v)) return v;
      return text;
    }
    case TMVCValueKind::vkInt64: {
      std::int64_t v;
      if (ParseWholeInteger(text, v)) return v;
      return text;
    }
    default: return text;
  }
}

TJsonDataValue NodeValue(std::unique_ptr<TJsonBaseObject> node) {
  if (!node) return TJsonDataValue::Null();
  if (dynamic_cast<TJsonArray*>(node.get())) {
    return TJsonDataValue::Array(std::unique_ptr<TJsonArray>(static_cast<TJsonArray*>(node.release())));
  }
  return TJsonDataValue::Object(std::unique_ptr<TJsonObject>(static_cast<TJsonObject*>(node.release())));
}

}  // namespace

std::string MVCPropertyKey(const TMVCPropertyInfo& property, const TMVCClassInfo& object_class) {
  std::string key = property.name;
  if (property.name_as) {
    key = property.name_as->name;
    if (property.name_as->fixed) return key;
  }
  if (!object_class.name_case || key.empty()) return key;
  switch (*object_class.name_case) {
    case TMVCNameCase::ncAsIs: break;
    case TMVCNameCase::ncUpperCase: key = UpperCase(key); break;
    case TMVCNameCase::ncLowerCase: key = LowerCase(key); break;
    case TMVCNameCase::ncCamelCase: key[0] = LowerAscii(key[0]); break;
    case TMVCNameCase::ncPascalCase: key[0] = UpperAscii(key[0]); break;
    case TMVCNameCase::ncSnakeCase: {
      std::string snake;
      for (std::size_t i = 0; i < key.size(); ++i) {
        const char c = key[i];
        const bool upper = c >= 'A' && c <= 'Z';
        if (upper && i > 0 && key[i - 1] != '_' && UpperAscii(key[i - 1]) != key[i - 1]) snake += '_';
        snake += LowerAscii(c);
      }
      key = std::move(snake);
      break;
    }
  }
  return key;
}

void TMVCJsonSerializer::RegisterTypeSerializer(std::type_index type, const std::string& type_name,
                                                std::shared_ptr<IMVCTypeSerializer> converter) {
  logging::FrameworkLogDebug("Registering TypeSerializer for: " + type_name);
  type_serializers_[type] = std::move(converter);
}

IMVCTypeSerializer* TMVCJsonSerializer::FindConverter(std::type_index type) const {
  if (type_serializers_.empty()) return nullptr;
  const auto it = type_serializers_.find(type);
  return it == type_serializers_.end() ? nullptr : it->second.get();
}

// ---------------------------------------------------------------------------------------
// Writing

std::string TMVCJsonSerializer::SerializeObject(const TObject* object, TMVCSerializationType type,
                                                const std::vector<std::string>& ignored_attributes,
                                                const TMVCSerializationAction& action) {
  if (!object) return "null";
  if (const auto* node = dynamic_cast<const TJsonBaseObject*>(object)) return node->ToJSON();
  if (IMVCTypeSerializer* converter = FindConverter(typeid(*object))) {
    const auto node = converter->SerializeRoot(*object, type);
    return node ? node->ToJSON() : "null";
  }
  if (dynamic_cast<const IMVCList*>(object)) {
    // A list at the root is written as the array it is, not as an empty object.
    return NestedNode(*object, type, ignored_attributes)->ToJSON();
  }
  TJsonObject document;
  ObjectToJsonObject(*object, document, type, ignored_attributes);
  if (action) action(*object, document.EnsureArray("links"));
  return document.ToJSON();
}

void TMVCJsonSerializer::ObjectToJsonObject(const TObject& object, TJsonObject& target, TMVCSerializationType type,
                                            const std::vector<std::string>& ignored_attributes) const {
  const TMVCClassInfo* info = object.ClassInfo();
  if (!info) return;
  // Own properties first, then each ancestor's, nearest first.
  for (const TMVCClassInfo* cls = info; cls; cls = cls->parent) {
    for (const TMVCPropertyInfo& property : cls->properties) {
      if (property.do_not_serialize) continue;
      if (IsIgnored(property.name, ignored_attributes)) continue;
      WriteValue(property, property.getter(object), MVCPropertyKey(property, *info), target, type, ignored_attributes);
    }
  }
}

void TMVCJsonSerializer::WriteValue(const TMVCPropertyInfo& property, TMVCValue value, const std::string& key,
                                    TJsonObject& target, TMVCSerializationType type,
                                    const std::vector<std::string>& ignored_attributes) const {
  if (SameText(key, "RefCount")) return;
  TObject* const* object = std::get_if<TObject*>(&value);
  if (std::holds_alternative<std::monostate>(value) || (object && !*object)) {
    target.SetNull(key);
    return;
  }
  if (IMVCTypeSerializer* converter = FindConverter(object ? std::type_index(typeid(**object)) : property.type.type)) {
    converter->SerializeAttribute(value, key, target);
    return;
  }
  if (auto* s = std::get_if<std::string>(&value)) {
    target.SetString(key, std::move(*s));
  } else if (const auto* b = std::get_if<bool>(&value)) {
    target.SetBool(key, *b);
  } else if (const auto* e = std::get_if<TMVCEnumValue>(&value)) {
    const auto& names = e->type->value_names;
    if (e->ordinal >= 0 && static_cast<std::size_t>(e->ordinal) < names.size()) {
      target.SetString(key, names[static_cast<std::size_t>(e->ordinal)]);
    } else {
      target.SetInt(key, e->ordinal);  // a value without a name: its ordinal
    }
  } else if (const auto* i = std::get_if<std::int32_t>(&value)) {
    target.SetInt(key, *i);
  } else if (const auto* l = std::get_if<std::int64_t>(&value)) {
    target.SetLong(key, *l);
  } else if (const auto* d = std::get_if<double>(&value)) {
    target.SetFloat(key, *d);
  } else if (object) {
    target.Set(key, NodeValue(NestedNode(**object, type, ignored_attributes)));
  }
}

std::unique_ptr<TJsonBaseObject> TMVCJsonSerializer::NestedNode(
    const TObject& object, TMVCSerializationType type, const std::vector<std::string>& ignored_attributes) const {
  if (const auto* node = dynamic_cast<const TJsonBaseObject*>(&object)) return node->Clone();
  if (const auto* list = dynamic_cast<const IMVCList*>(&object)) {
    auto array = std::make_unique<TJsonArray>();
    for (std::size_t i = 0; i < list->Count(); ++i) {
      const TObject* item = list->GetItem(i);
      array->Add(item ? NodeValue(NestedNode(*item, type, ignored_attributes)) : TJsonDataValue::Null());
    }
    return array;
  }
  auto nested = std::make_unique<TJsonObject>();
  ObjectToJsonObject(object, *nested, type, ignored_attributes);
  return nested;
}

// ---------------------------------------------------------------------------------------
// Reading

void TMVCJsonSerializer::DeserializeObject(std::string_view text, TObject* object, TMVCSerializationType type,
                                           const std::vector<std::string>& ignored_attributes,
                                           std::string_view root_node) {
  if (text.empty()) throw EMVCException(400, "Invalid body");
  if (!object) return;
  std::unique_ptr<TJsonBaseObject> document;
  try {
    document = TJsonBaseObject::Parse(text);
  } catch (const EJsonParserException& e) {
    throw EMVCException(400, e.Message());
  }
  // Only blanks and control characters: there is no document to read from.
  if (!document) throw EMVCException(400, "Invalid body: no JSON value");
  const auto* source = dynamic_cast<const TJsonObject*>(document.get());
  if (!source) {
    throw EMVCSerializationException(MVCFormat("Invalid JSON. Expected %s got %s", "TJsonObject", "TJsonArray"));
  }
  if (IMVCTypeSerializer* converter = FindConverter(typeid(*object))) {
    converter->DeserializeRoot(*document, *object, type);
    return;
  }
  if (!root_node.empty()) {
    source = source->Values(root_node).ObjectValue();
    if (!source) return;  // no such member object: nothing to read
  }
  ReadObject(*source, *object, type, ignored_attributes, /*take_text=*/true);
}

void TMVCJsonSerializer::JsonObjectToObject(const TJsonObject& source, TObject& object, TMVCSerializationType type,
                                            const std::vector<std::string>& ignored_attributes) const {
  ReadObject(source, object, type, ignored_attributes, /*take_text=*/false);
}

void TMVCJsonSerializer::ReadObject(const TJsonObject& source, TObject& object, TMVCSerializationType type,
                                    const std::vector<std::string>& ignored_attributes, bool take_text) const {
  const TMVCClassInfo* info = object.ClassInfo();
  if (!info) return;
  for (const TMVCClassInfo* cls = info; cls; cls = cls->parent) {
    for (const TMVCPropertyInfo& property : cls->properties) {
      if (IsIgnored(property.name, ignored_attributes)) continue;
      if (!property.setter && property.type.kind != TMVCValueKind::vkObject) continue;
      ReadMember(property, source, object, MVCPropertyKey(property, *info), type, ignored_attributes, take_text);
    }
  }
}

void TMVCJsonSerializer::ReadMember(const TMVCPropertyInfo& property, const TJsonObject& source, TObject& object,
                                    const std::string& key, TMVCSerializationType type,
                                    const std::vector<std::string>& ignored_attributes, bool take_text) const {
  const TJsonDataValue& json = source.Values(key);
  if (property.type.kind == TMVCValueKind::vkObject) {
    TObject* current = std::get<TObject*>(property.getter(object));
    if (!current) return;  // a member that holds no object stays empty
    if (IMVCTypeSerializer* converter = FindConverter(typeid(*current))) {
      if (json.IsNull()) return;
      TMVCValue value = current;
      converter->DeserializeAttribute(value, key, source);
      return;  // objects are filled in place, never replaced
    }
    if (const TJsonObject* nested = json.ObjectValue()) {
      ReadObject(*nested, *current, type, ignored_attributes, take_text);
    } else if (const TJsonArray* array = json.ArrayValue()) {
      ReadList(property, *array, *current, key, type, ignored_attributes, take_text);
    }
    // Absent, null and scalars leave the object as it is.
    return;
  }

  if (IMVCTypeSerializer* converter = FindConverter(property.type.type)) {
    if (json.DataType() == TJsonDataType::jdtNone) return;
    TMVCValue value = property.getter(object);
    converter->DeserializeAttribute(value, key, source);
    if (std::holds_alternative<std::monostate>(value) || std::holds_alternative<TObject*>(value)) return;
    StoreCandidate(object, property, std::move(value), key, json);
    return;
  }

  TMVCValue candidate;
  switch (json.DataType()) {
    case TJsonDataType::jdtNone: return;  // absent: the member keeps its value
    case TJsonDataType::jdtString:
      if (take_text && property.type.kind == TMVCValueKind::vkString) {
        // The document is ours and dropped right after: move the text, do not copy it.
        candidate = std::move(const_cast<TJsonDataValue&>(json).MutableStringValue());
      } else {
        candidate = TextCandidate(property, json.StringValue(), key);
      }
      break;
    case TJsonDataType::jdtInt:
      if (property.type.kind == TMVCValueKind::vkBoolean) {
        candidate = json.IntValue() != 0;
      } else if (property.type.kind == TMVCValueKind::vkEnumeration) {
        const int ordinal = json.IntValue();
        if (ordinal < 0 || static_cast<std::size_t>(ordinal) >= property.type.enum_info->value_names.size()) {
          ThrowNotMapped(key);  // never read outside the enumeration's names
        }
        candidate = TMVCEnumValue{property.type.enum_info, ordinal};
      } else {
        candidate = json.IntValue();
      }
      break;
    case TJsonDataType::jdtLong: candidate = json.LongValue(); break;
    case TJsonDataType::jdtULong: candidate = static_cast<std::int64_t>(json.ULongValue()); break;
    case TJsonDataType::jdtFloat: candidate = json.FloatValue(); break;
    case TJsonDataType::jdtBool: candidate = json.BoolValue(); break;
    case TJsonDataType::jdtArray: ThrowTypecast(key, property, json);
    case TJsonDataType::jdtObject:
      if (!json.ObjectValue()) return;  // null: the member keeps its value
      if (property.type.kind != TMVCValueKind::vkString) return;
      candidate = json.ObjectValue()->ToJSON();
      break;
    case TJsonDataType::jdtDateTime:
    case TJsonDataType::jdtUtcDateTime: return;  // the reader never produces these
  }
  StoreCandidate(object, property, std::move(candidate), key, json);
}

void TMVCJsonSerializer::ReadList(const TMVCPropertyInfo& property, const TJsonArray& source, TObject& holder,
                                  const std::string& key, TMVCSerializationType type,
                                  const std::vector<std::string>& ignored_attributes, bool take_text) const {
  auto* list = dynamic_cast<IMVCList*>(&holder);
  if (!list) {
    throw EMVCException(400, MVCFormat("Invalid class typecast for property \"%s\" [Expected: %s, Actual: %s]",
                                       key.c_str(), property.type.name.c_str(), "Array"));
  }
  const TMVCClassInfo* element_class = property.list_of ? property.list_of : list->ElementClass();
  if (!element_class || !element_class->create) {
    throw EMVCDeserializationException(
        MVCFormat("You can not deserialize a list \"%s\" without the MVCListOf attribute.", key.c_str()));
  }
  for (std::size_t i = 0; i < source.Count(); ++i) {
    const TJsonObject* element = source.Items(i).ObjectValue();
    if (!element) {
      const TJsonDataValue& item = source.Items(i);
      throw EMVCException(
          400, MVCFormat("Invalid class typecast for property \"%s\" [Expected: %s, Actual: %s]", key.c_str(),
                         element_class->name.c_str(), item.IsNull() ? "null" : JsonDataTypeName(item.DataType())));
    }
    std::unique_ptr<TObject> created = element_class->create();
    ReadObject(*element, *created, type, ignored_attributes, take_text);
    list->Add(std::move(created));
  }
}

}  // namespace ostrivan::web

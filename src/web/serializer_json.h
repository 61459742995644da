#pragma once
// The "application/json" serializer: objects described by their class tables to and from
// compact JSON text.
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <typeindex>
#include <vector>

#include "json/json_data_objects.h"
#include "json/serializer_object.h"
#include "web/mvc_exceptions.h"
#include "web/serializer_intf.h"

namespace ostrivan::web {

class TMVCJsonSerializer : public IMVCSerializer {
 public:
  TMVCJsonSerializer() = default;

  std::string SerializeObject(const json::TObject* object,
                              TMVCSerializationType type = TMVCSerializationType::stDefault,
                              const std::vector<std::string>& ignored_attributes = {},
                              const TMVCSerializationAction& action = nullptr) override;

  void DeserializeObject(std::string_view text, json::TObject* object,
                         TMVCSerializationType type = TMVCSerializationType::stDefault,
                         const std::vector<std::string>& ignored_attributes = {},
                         std::string_view root_node = {}) override;

  void RegisterTypeSerializer(std::type_index type, const std::string& type_name,
                              std::shared_ptr<IMVCTypeSerializer> converter) override;

  // Registers a converter for a mapped class (its table's name goes to the log).
  template <class T>
  void RegisterTypeSerializer(std::shared_ptr<IMVCTypeSerializer> converter) {
    RegisterTypeSerializer(typeid(T), T::StaticClassInfo().name, std::move(converter));
  }

  // Building blocks, public for callers that hold a document already.
  // Fills target with the members of object (writing steps: markers, keys, values).
  void ObjectToJsonObject(const json::TObject& object, json::TJsonObject& target, TMVCSerializationType type,
                          const std::vector<std::string>& ignored_attributes) const;
  // Fills object from source (reading steps: keys, candidates, storing).
  void JsonObjectToObject(const json::TJsonObject& source, json::TObject& object, TMVCSerializationType type,
                          const std::vector<std::string>& ignored_attributes) const;

 private:
  IMVCTypeSerializer* FindConverter(std::type_index type) const;
  std::unique_ptr<json::TJsonBaseObject> NestedNode(const json::TObject& object, TMVCSerializationType type,
                                                    const std::vector<std::string>& ignored_attributes) const;
  // value is the getter's own copy: text is moved into the document, not copied again.
  void WriteValue(const json::TMVCPropertyInfo& property, json::TMVCValue value, const std::string& key,
                  json::TJsonObject& target, TMVCSerializationType type,
                  const std::vector<std::string>& ignored_attributes) const;
  // take_text: the document is discarded afterwards, so text values are moved out of
  // it rather than copied (a large base64 member is not held twice).
  void ReadObject(const json::TJsonObject& source, json::TObject& object, TMVCSerializationType type,
                  const std::vector<std::string>& ignored_attributes, bool take_text) const;
  void ReadMember(const json::TMVCPropertyInfo& property, const json::TJsonObject& source, json::TObject& object,
                  const std::string& key, TMVCSerializationType type,
                  const std::vector<std::string>& ignored_attributes, bool take_text) const;
  void ReadList(const json::TMVCPropertyInfo& property, const json::TJsonArray& source, json::TObject& holder,
                const std::string& key, TMVCSerializationType type, const std::vector<std::string>& ignored_attributes,
                bool take_text) const;

  std::map<std::type_index, std::shared_ptr<IMVCTypeSerializer>> type_serializers_;
};

// Key of a property in an object of class object_class (name, NameAs marker, key case).
std::string MVCPropertyKey(const json::TMVCPropertyInfo& property, const json::TMVCClassInfo& object_class);

}  // namespace ostrivan::web

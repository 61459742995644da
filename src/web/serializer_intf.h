#pragma once
// The serializer interface the engine renders and reads bodies through, one per media
// type, and the per-type converters it consults first.
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <typeindex>
#include <vector>

#include "json/json_data_objects.h"
#include "json/serializer_object.h"

namespace ostrivan::web {

enum class TMVCSerializationType { stUnknown = 0, stDefault = 1, stProperties = 2, stFields = 3 };

// Optional per-object callback that fills a "links" array when writing.
using TMVCSerializationAction = std::function<void(const json::TObject& object, json::TJsonArray& links)>;

// A converter for one type, looked up by the object's exact class (or the member's type).
class IMVCTypeSerializer {
 public:
  virtual ~IMVCTypeSerializer() = default;
  // Writes one member value under key into target.
  virtual void SerializeAttribute(const json::TMVCValue& value, const std::string& key, json::TJsonObject& target) = 0;
  // Produces the node for a whole object.
  virtual std::unique_ptr<json::TJsonBaseObject> SerializeRoot(const json::TObject& object,
                                                               TMVCSerializationType type) = 0;
  // Reads the member key of source into value (in: the current value; out: the candidate
  // the mapping stores when it is neither empty nor an object).
  virtual void DeserializeAttribute(json::TMVCValue& value, const std::string& key,
                                    const json::TJsonObject& source) = 0;
  // Fills a whole object from a node.
  virtual void DeserializeRoot(const json::TJsonBaseObject& source, json::TObject& object,
                               TMVCSerializationType type) = 0;
};

class IMVCSerializer {
 public:
  virtual ~IMVCSerializer() = default;
  // Text of the object; "null" for no object, the compact text for a JSON node.
  virtual std::string SerializeObject(const json::TObject* object,
                                      TMVCSerializationType type = TMVCSerializationType::stDefault,
                                      const std::vector<std::string>& ignored_attributes = {},
                                      const TMVCSerializationAction& action = nullptr) = 0;
  // Fills an existing object from text. root_node names a member to read from instead of
  // the whole document (empty: the document itself).
  virtual void DeserializeObject(std::string_view text, json::TObject* object,
                                 TMVCSerializationType type = TMVCSerializationType::stDefault,
                                 const std::vector<std::string>& ignored_attributes = {},
                                 std::string_view root_node = {}) = 0;
  // Adds or replaces the converter of a type; type_name goes to the debug log.
  virtual void RegisterTypeSerializer(std::type_index type, const std::string& type_name,
                                      std::shared_ptr<IMVCTypeSerializer> converter) = 0;
};

}  // namespace ostrivan::web

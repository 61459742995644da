#pragma once
// The "text/html" serializer: it only writes error pages and refuses everything else.
#include <string>
#include <vector>

#include "web/mvc_config.h"
#include "web/mvc_response.h"
#include "web/serializer_intf.h"

namespace ostrivan::web {

// The error page for an error object. The server name is written as it is, every text
// of the error is escaped. The page keeps its historic CR LF placements and the
// unbalanced "<ul></p></div>" ending, which clients may compare byte for byte.
std::string ErrorHTMLPage(const std::string& server_name, const TMVCErrorResponse& error);

class TMVCHTMLSerializer : public IMVCSerializer {
 public:
  explicit TMVCHTMLSerializer(const TMVCConfig& config) : config_(config) {}

  // The error page for a TMVCErrorResponse; any other object (or none) raises
  // EMVCException "Not Implemented".
  std::string SerializeObject(const json::TObject* object,
                              TMVCSerializationType type = TMVCSerializationType::stDefault,
                              const std::vector<std::string>& ignored_attributes = {},
                              const TMVCSerializationAction& action = nullptr) override;
  // No request body is read as HTML: EMVCException "Not Implemented".
  void DeserializeObject(std::string_view text, json::TObject* object,
                         TMVCSerializationType type = TMVCSerializationType::stDefault,
                         const std::vector<std::string>& ignored_attributes = {},
                         std::string_view root_node = {}) override;
  void RegisterTypeSerializer(std::type_index type, const std::string& type_name,
                              std::shared_ptr<IMVCTypeSerializer> converter) override;

  const TMVCConfig& Config() const { return config_; }

 private:
  const TMVCConfig& config_;
};

}  // namespace ostrivan::web

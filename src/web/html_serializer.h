#pragma once
// The "text/html" serializer: it only writes error pages and refuses everything else.
#include <string>
#include <vector>

#include "web/mvc_config.h"
#include "web/serializer_intf.h"

namespace ostrivan::web {

// The HTML error page; texts from the failure are HTML-escaped.
std::string ErrorHTMLPage(const TMVCConfig& config, int status_code, const std::string& message,
                          const std::string& class_name, const std::string& detailed_message, int app_error_code,
                          const std::vector<std::string>& items);

class TMVCHTMLSerializer : public IMVCSerializer {
 public:
  explicit TMVCHTMLSerializer(const TMVCConfig& config) : config_(config) {}

  // Objects are not rendered as HTML here: EMVCException "Not Implemented".
  std::string SerializeObject(const TObject* object, TMVCSerializationType type = TMVCSerializationType::stDefault,
                              const std::vector<std::string>& ignored_attributes = {},
                              const TMVCSerializationAction& action = nullptr) override;
  // No request body is read as HTML: EMVCException "Not Implemented".
  void DeserializeObject(std::string_view text, TObject* object,
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

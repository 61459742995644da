#pragma once
// Engine settings: a small ordered dictionary of texts that is frozen once the engine
// has been built, so no setting can change while requests are served.
#include <string>
#include <utility>
#include <vector>

namespace ostrivan::web {

class TMVCConfig {
 public:
  // The value of a present key; an absent key raises EMVCConfigException
  // "Invalid config key [<key>]". Keys compare case-sensitively.
  const std::string& GetValue(const std::string& key) const;
  // Adds or replaces; refused with EMVCException once frozen.
  void SetValue(const std::string& key, const std::string& value);
  const std::string& operator[](const std::string& key) const { return GetValue(key); }

  bool Contains(const std::string& key) const;
  void Freeze() { frozen_ = true; }
  bool Frozen() const { return frozen_; }
  // All keys in insertion order, which is also the order the server-configuration
  // endpoint lists them in.
  std::vector<std::string> Keys() const;

 private:
  std::vector<std::pair<std::string, std::string>> values_;
  bool frozen_ = false;
};

// Setting names, spelled once.
namespace config_keys {
inline constexpr const char* kSessionTimeout = "sessiontimeout";
inline constexpr const char* kDefaultContentType = "default_content_type";
inline constexpr const char* kDefaultContentCharset = "default_content_charset";
inline constexpr const char* kDefaultViewFileExtension = "default_view_file_extension";
inline constexpr const char* kViewPath = "view_path";
inline constexpr const char* kPathPrefix = "pathprefix";
inline constexpr const char* kAllowUnhandledAction = "allow_unhandled_action";
inline constexpr const char* kServerName = "server_name";
inline constexpr const char* kExposeServerSignature = "server_signature";
inline constexpr const char* kExposeXPoweredBy = "xpoweredby";
inline constexpr const char* kSessionType = "session_type";
inline constexpr const char* kMaxEntitiesRecordCount = "max_entities_record_count";
inline constexpr const char* kMaxRequestSize = "max_request_size";
inline constexpr const char* kHATEOSPropertyName = "hateos";
inline constexpr const char* kLoadSystemControllers = "load_system_controllers";
}  // namespace config_keys

}  // namespace ostrivan::web

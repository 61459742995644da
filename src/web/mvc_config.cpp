#include "web/mvc_config.h"

#include "web/mvc_exceptions.h"

namespace ostrivan::web {

const std::string& TMVCConfig::GetValue(const std::string& key) const {
  for (const auto& [k, v] : values_) {
    if (k == key) return v;
  }
  throw EMVCConfigException("Invalid config key [" + key + "]");
}

void TMVCConfig::SetValue(const std::string& key, const std::string& value) {
  if (frozen_) throw EMVCException("Configuration in freezed - no more changes allowed");
  for (auto& [k, v] : values_) {
    if (k == key) {
      v = value;
      return;
    }
  }
  values_.emplace_back(key, value);
}

bool TMVCConfig::Contains(const std::string& key) const {
  for (const auto& entry : values_) {
    if (entry.first == key) return true;
  }
  return false;
}

std::vector<std::string> TMVCConfig::Keys() const {
  std::vector<std::string> keys;
  keys.reserve(values_.size());
  for (const auto& entry : values_) keys.push_back(entry.first);
  return keys;
}

}  // namespace ostrivan::web

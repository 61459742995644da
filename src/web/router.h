#pragma once
// Chooses the controller action for a request from the controllers' route declarations.
// Route paths are case-insensitive regular expressions: "($name)" is a parameter that
// never spans a "/", and a "." in a declared path matches any character.
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "web/controller_class.h"
#include "web/mvc_attributes.h"
#include "web/mvc_config.h"

namespace ostrivan::web {

using TMVCRequestParamsTable = std::map<std::string, std::string>;

struct TMVCRouteExpression;  // compiled expression, private to the router

// What a route path turns into: the body of its regular expression and its parameter
// names. The compiled expression is kept with it, so each route compiles once.
class TMVCActionParamCacheItem {
 public:
  TMVCActionParamCacheItem(std::string value, std::vector<std::string> params);
  ~TMVCActionParamCacheItem();
  TMVCActionParamCacheItem(const TMVCActionParamCacheItem&) = delete;
  TMVCActionParamCacheItem& operator=(const TMVCActionParamCacheItem&) = delete;

  const std::string& Value() const { return value_; }
  const std::vector<std::string>& Params() const { return params_; }
  // "^" + Value + "$", compiled caseless and dot-all; raises EMVCException when the
  // declared path is no valid expression.
  const TMVCRouteExpression& Expression() const;

 private:
  std::string value_;
  std::vector<std::string> params_;
  std::unique_ptr<TMVCRouteExpression> expression_;
  std::string compile_error_;
};

// Process-wide, grows by one item per distinct route path tried, never shrinks.
class TMVCActionParamsCache {
 public:
  const TMVCActionParamCacheItem* GetValue(const std::string& route_path) const;
  // Keeps an item already present under the key and returns that one.
  const TMVCActionParamCacheItem* Add(const std::string& route_path, std::unique_ptr<TMVCActionParamCacheItem> item);
  std::size_t Count() const;

 private:
  mutable std::shared_mutex lock_;
  std::unordered_map<std::string, std::unique_ptr<TMVCActionParamCacheItem>> items_;
};

TMVCActionParamsCache& GlobalActionParamsCache();
// Serialises every routing of the process.
std::mutex& RoutingLock();

// Path as the router compares it: trimmed, "/" for empty, a leading "/" added, and
// characters outside the URL-safe set written as %XX of their UTF-8 bytes.
std::string PrepareRoutePath(std::string_view path);

class TMVCRouter {
 public:
  TMVCRouter(const TMVCConfig& config, TMVCActionParamsCache& action_params_cache);

  // True when a route matched: MethodToCall, ControllerClazz and ControllerCreateAction
  // are set, route parameters added to `request_params`, and the reply's media type and
  // charset returned. False leaves the two outputs empty.
  bool ExecuteRouting(std::string_view request_path_info, TMVCHTTPMethodType request_method_type,
                      std::string_view request_content_type, std::string_view request_accept,
                      const std::vector<std::unique_ptr<TMVCControllerDelegate>>& controllers,
                      const std::string& default_content_type, const std::string& default_content_charset,
                      const std::string& path_prefix, TMVCRequestParamsTable& request_params,
                      std::string& response_content_media_type, std::string& response_content_charset);

  const TMVCActionDescriptor* MethodToCall() const { return method_to_call_; }
  TMVCControllerClazz ControllerClazz() const { return controller_clazz_; }
  const TMVCControllerCreateAction& ControllerCreateAction() const { return controller_create_action_; }
  // "RizOzudo.Controller.TRizOzudoController.ExportLavoro"
  std::string GetQualifiedActionName() const;

  // "GET" -> httpGET ...; exact and case-sensitive; anything else raises EMVCException
  // "Unknown HTTP method [<text>]".
  static TMVCHTTPMethodType StringMethodToHTTPMetod(std::string_view value);

 private:
  bool IsHTTPMethodAllowed(const TMVCActionDescriptor& action, TMVCHTTPMethodType method) const;
  bool IsHTTPContentTypeAllowed(const TMVCActionDescriptor& action, TMVCHTTPMethodType method,
                                std::string_view content_type) const;
  bool IsHTTPAcceptAllowed(const TMVCActionDescriptor& action, std::string_view accept) const;
  bool MatchRoute(const std::string& route_path, const std::string& request_path,
                  TMVCRequestParamsTable& request_params);
  const TMVCActionParamCacheItem& CacheItemFor(const std::string& route_path);

  const TMVCConfig& config_;
  TMVCActionParamsCache& action_params_cache_;
  const TMVCActionDescriptor* method_to_call_ = nullptr;
  TMVCControllerClazz controller_clazz_ = nullptr;
  TMVCControllerCreateAction controller_create_action_;
};

}  // namespace ostrivan::web

#pragma once
// The web application engine: one per web module. It checks the request size, builds
// the per-request context, routes to a controller action, runs it and releases the
// request, which sends the reply.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/request_size.h"
#include "http/http_server.h"
#include "http/web_module.h"
#include "logging/log_writer.h"
#include "web/controller_class.h"
#include "web/mvc_config.h"
#include "web/mvc_exceptions.h"
#include "web/mvc_web_request.h"
#include "web/router.h"
#include "web/web_context.h"

namespace ostrivan::web {

using ostrivan::kDefaultMaxRequestSize;
inline constexpr const char* kXPoweredByValue = "TornioMVC 1.0.0";

enum class TMVCRouterLogState { rlsRouteFound, rlsRouteNotFound };

// The refusal of a body over max_request_size (limit bytes); check 1 is made before the
// body is read, 2 after. Example: RequestSizeExceeded(5242880, 1).what() is
// "Request size exceeded the max allowed size [5120 KiB] (1)".
EMVCException RequestSizeExceeded(std::int64_t limit, int check);
// The same refusal (check 1) with the engine's log line, for an HTTP server that refuses
// such a body before reading it: the client and the log see what the engine would say.
http::TBodyRefusal OversizedBodyRefusal(std::int64_t limit);

class TMVCEngine {
 public:
  using TConfigAction = std::function<void(TMVCConfig&)>;
  using TRouterLogProc = std::function<void(TMVCRouter& router, TMVCRouterLogState state, TWebContext& context)>;

  // Builds the engine for a module and installs EngineBeforeDispatch as the module's
  // before-dispatch handler. config_action may adjust the settings before they freeze;
  // custom_logger replaces the default log writer if no writer exists yet.
  explicit TMVCEngine(http::TWebModule& web_module, TConfigAction config_action = nullptr,
                      std::shared_ptr<logging::ILogWriter> custom_logger = nullptr);
  ~TMVCEngine();
  TMVCEngine(const TMVCEngine&) = delete;
  TMVCEngine& operator=(const TMVCEngine&) = delete;

  TMVCEngine& AddController(TMVCControllerClazz controller_class, const std::string& url_segment = "");
  TMVCEngine& AddController(TMVCControllerClazz controller_class, TMVCControllerCreateAction create_action,
                            const std::string& url_segment = "");
  // Adds or replaces the serializer of a media type.
  TMVCEngine& AddSerializer(const std::string& content_type, std::shared_ptr<IMVCSerializer> serializer);

  http::TWebModule& WebModule() const { return web_module_; }
  const TMVCConfig& Config() const { return *config_; }
  const TMVCSerializers& Serializers() const { return serializers_; }
  const std::vector<std::unique_ptr<TMVCControllerDelegate>>& Controllers() const { return controllers_; }
  std::int64_t MaxRequestSize() const { return config_cache_max_request_size_; }

  // The module's before-dispatch handler; failures that escape the pipeline become a
  // plain reply here.
  void EngineBeforeDispatch(http::TWebRequest& request, http::TWebResponse& response, bool& handled);
  // The pipeline; true when the request was handled without sending a reply.
  bool ExecuteRequest(http::TWebRequest& request, http::TWebResponse& response);
  // The error reply for a failure before any controller exists; its format follows the
  // client's "Accept".
  void SendRawHTTPStatus(TWebContext& context, int status_code, const std::string& reason_string,
                         const std::string& class_name);

 private:
  void ConfigDefaultValues();
  void CacheConfigValues();
  void RegisterStandardSerializers();
  void LoadSystemControllers();
  void AddStandardHeaders(TWebContext& context);
  void HandleGuardedFailure(const std::exception& error, TWebContext& context, TMVCController* controller);
  void HandleDispatchFailure(const std::exception& error, http::TWebResponse& response);
  void DefaultRouterLog(TMVCRouter& router, TMVCRouterLogState state, TWebContext& context);

  http::TWebModule& web_module_;
  std::unique_ptr<TMVCConfig> config_;
  std::int64_t config_cache_max_request_size_ = kDefaultMaxRequestSize;
  bool config_cache_expose_server_signature_ = false;
  std::string config_cache_server_signature_;
  bool config_cache_expose_x_powered_by_ = false;
  std::string config_cache_default_content_type_;
  std::string config_cache_default_content_charset_;
  std::string config_cache_path_prefix_;
  bool allow_unhandled_action_ = false;
  TMVCSerializers serializers_;
  std::vector<std::unique_ptr<TMVCControllerDelegate>> controllers_;
  http::THTTPMethodEvent saved_on_before_dispatch_;
  TRouterLogProc on_router_log_;
};

}  // namespace ostrivan::web

#include "web/engine.h"

#include "common/numbers.h"

#include "common/class_name.h"
#include "common/text.h"
#include "http/date_time.h"
#include "logging/default_log_writer.h"
#include "logging/framework_log.h"
#include "web/content_type.h"
#include "web/error_guard.h"
#include "web/html_serializer.h"
#include "web/mvc_controller.h"
#include "web/mvc_exceptions.h"
#include "web/mvc_response.h"
#include "web/serializer_json.h"
#include "web/string_utils.h"
#include "web/system_controller.h"

namespace ostrivan::web {

using logging::FrameworkLogError;
using logging::FrameworkLogInfo;

namespace {
// A leading "+" is part of an integer's text.
std::int64_t ParseInt64(const std::string& text, std::int64_t fallback) {
  std::int64_t value = fallback;
  ParseNumber(text, value, 10, TSign::kPlusOrMinus);
  return value;
}

// "[EMVCException] Request size exceeded ...": a failure that escaped the pipeline.
std::string DispatchFailureLogLine(const std::exception& error) {
  return "[" + ExceptionClassName(error) + "] " + error.what();
}
}  // namespace

EMVCException RequestSizeExceeded(std::int64_t limit, int check) {
  return EMVCException(413, std::string(kRequestSizeExceededText) + " [" + std::to_string(limit / 1024) + " KiB] (" +
                                std::to_string(check) + ")");
}

http::TBodyRefusal OversizedBodyRefusal(std::int64_t limit) {
  const EMVCException error = RequestSizeExceeded(limit, 1);
  return {error.HttpErrorCode(), error.what(), DispatchFailureLogLine(error)};
}

TMVCEngine::TMVCEngine(http::TWebModule& web_module, TConfigAction config_action,
                       std::shared_ptr<logging::ILogWriter> custom_logger)
    : web_module_(web_module) {
  saved_on_before_dispatch_ = web_module_.BeforeDispatch();
  web_module_.SetBeforeDispatch([this](http::TCustomWebDispatcher&, http::TWebRequest& request,
                                       http::TWebResponse& response,
                                       bool& handled) { EngineBeforeDispatch(request, response, handled); });

  config_ = std::make_unique<TMVCConfig>();

  logging::InstallLogWriter(std::move(custom_logger));

  ConfigDefaultValues();
  if (config_action) {
    FrameworkLogInfo(">> Custom configuration method");
    config_action(*config_);
    FrameworkLogInfo("<< Custom configuration method");
  }
  config_->Freeze();
  CacheConfigValues();
  RegisterStandardSerializers();
  LoadSystemControllers();
}

TMVCEngine::~TMVCEngine() {
  // The module may outlive its engine for a moment; never leave it calling into us.
  web_module_.SetBeforeDispatch(saved_on_before_dispatch_);
}

void TMVCEngine::ConfigDefaultValues() {
  using namespace config_keys;
  FrameworkLogInfo("ENTER: Config default values");
  config_->SetValue(kSessionTimeout, "30");
  config_->SetValue(kDefaultContentType, "application/json");
  config_->SetValue(kDefaultContentCharset, "UTF-8");
  config_->SetValue(kDefaultViewFileExtension, "html");
  config_->SetValue(kViewPath, "templates");
  config_->SetValue(kPathPrefix, "");
  config_->SetValue(kAllowUnhandledAction, "false");
  config_->SetValue(kServerName, "TornioMVC");
  config_->SetValue(kExposeServerSignature, "true");
  config_->SetValue(kExposeXPoweredBy, "true");
  config_->SetValue(kSessionType, "memory");
  config_->SetValue(kMaxEntitiesRecordCount, "20");
  config_->SetValue(kMaxRequestSize, std::to_string(kDefaultMaxRequestSize));
  config_->SetValue(kHATEOSPropertyName, "_links");
  config_->SetValue(kLoadSystemControllers, "true");
  FrameworkLogInfo("EXIT: Config default values");
  on_router_log_ = [this](TMVCRouter& router, TMVCRouterLogState state, TWebContext& context) {
    DefaultRouterLog(router, state, context);
  };
}

void TMVCEngine::CacheConfigValues() {
  using namespace config_keys;
  config_cache_max_request_size_ = ParseInt64(config_->GetValue(kMaxRequestSize), kDefaultMaxRequestSize);
  config_cache_expose_server_signature_ = config_->GetValue(kExposeServerSignature) == "true";
  config_cache_server_signature_ = config_->GetValue(kServerName);
  config_cache_expose_x_powered_by_ = config_->GetValue(kExposeXPoweredBy) == "true";
  config_cache_default_content_type_ = config_->GetValue(kDefaultContentType);
  config_cache_default_content_charset_ = config_->GetValue(kDefaultContentCharset);
  config_cache_path_prefix_ = config_->GetValue(kPathPrefix);
  allow_unhandled_action_ = config_->GetValue(kAllowUnhandledAction) != "false";
}

void TMVCEngine::RegisterStandardSerializers() {
  if (!serializers_.contains("application/json")) {
    serializers_["application/json"] = std::make_shared<TMVCJsonSerializer>();
  }
  if (!serializers_.contains("text/html")) {
    serializers_["text/html"] = std::make_shared<TMVCHTMLSerializer>(*config_);
  }
}

void TMVCEngine::LoadSystemControllers() {
  if (config_->GetValue(config_keys::kLoadSystemControllers) != "true") return;
  FrameworkLogInfo("ENTER: LoadSystemControllers");
  AddController(&TMVCSystemController::ClassInfo());
  FrameworkLogInfo("EXIT: LoadSystemControllers");
}

TMVCEngine& TMVCEngine::AddController(TMVCControllerClazz controller_class, const std::string& url_segment) {
  return AddController(controller_class, nullptr, url_segment);
}

TMVCEngine& TMVCEngine::AddController(TMVCControllerClazz controller_class, TMVCControllerCreateAction create_action,
                                      const std::string& url_segment) {
  auto delegate = std::make_unique<TMVCControllerDelegate>();
  delegate->Clazz = controller_class;
  delegate->CreateAction = std::move(create_action);
  delegate->URLSegment = url_segment;
  controllers_.push_back(std::move(delegate));
  return *this;
}

TMVCEngine& TMVCEngine::AddSerializer(const std::string& content_type, std::shared_ptr<IMVCSerializer> serializer) {
  serializers_[content_type] = std::move(serializer);
  return *this;
}

void TMVCEngine::EngineBeforeDispatch(http::TWebRequest& request, http::TWebResponse& response, bool& handled) {
  handled = false;
  try {
    handled = ExecuteRequest(request, response);
    // The reply went out when the context was released; let go of its stream.
    response.SetContentStream(nullptr);
  } catch (const std::exception& error) {
    HandleDispatchFailure(error, response);
    handled = true;
  }
}

void TMVCEngine::HandleDispatchFailure(const std::exception& error, http::TWebResponse& response) {
  FrameworkLogError(DispatchFailureLogLine(error));
  response.SetStatusCode(500);
  if (const auto* mvc_error = dynamic_cast<const EMVCException*>(&error)) {
    response.SetStatusCode(mvc_error->HttpErrorCode());
  }
  response.SetContent(error.what());
  response.SendResponse();
}

void TMVCEngine::AddStandardHeaders(TWebContext& context) {
  if (config_cache_expose_server_signature_) {
    context.Response().SetCustomHeader("Server", config_cache_server_signature_);
  }
  if (config_cache_expose_x_powered_by_) context.Response().SetCustomHeader("X-Powered-By", kXPoweredByValue);
  context.Response().RawWebResponse().SetDate(http::LocalToUTC(http::NowLocal()));
}

bool TMVCEngine::ExecuteRequest(http::TWebRequest& request, http::TWebResponse& response) {
  // The body arrives whole before dispatch, so the second check sees the same size;
  // both stay so a streaming server would be covered too.
  const std::int64_t limit = config_cache_max_request_size_;
  if (request.ContentLength() > limit) throw RequestSizeExceeded(limit, 1);
  request.ReadTotalContent();
  if (request.ContentLength() > limit) throw RequestSizeExceeded(limit, 2);

  auto params_table = std::make_unique<TMVCRequestParamsTable>();
  auto context = std::make_unique<TWebContext>(request, response, *config_, serializers_);
  AddStandardHeaders(*context);
  auto router = std::make_unique<TMVCRouter>(*config_, GlobalActionParamsCache());
  std::unique_ptr<TMVCController> controller;

  try {
    std::string response_media_type;
    std::string response_charset;
    const bool found = router->ExecuteRouting(
        context->Request().PathInfo(), context->Request().GetOverwrittenHTTPMethod(), request.ContentType(),
        request.Accept(), controllers_, config_cache_default_content_type_, config_cache_default_content_charset_,
        config_cache_path_prefix_, *params_table, response_media_type, response_charset);
    if (!found) {
      if (!allow_unhandled_action_) {
        context->Response().SetStatusCode(404);
        context->Response().SetReasonString("Not Found");
        on_router_log_(*router, TMVCRouterLogState::rlsRouteNotFound, *context);
        throw EMVCException(context->Response().ReasonString(),
                            context->Request().HTTPMethodAsString() + " " + context->Request().PathInfo(), 0, 404);
      }
      context->Response().SetFlushOnDestroy(false);
    } else {
      try {
        if (router->ControllerCreateAction()) {
          controller = router->ControllerCreateAction()();
        } else {
          controller = router->ControllerClazz()->create();
        }
        if (!controller) throw EMVCException("Controller factory returned nothing");
      } catch (const std::exception& error) {
        FrameworkLogError(ErrorGuardLogLine(ExceptionClassName(error), error.what(), RequestSummary(context->Request()),
                                            "Cannot create controller"));
        throw EMVCException(500, "Cannot create controller");
      }
      controller->SetEngine(this);
      controller->SetContext(context.get());
      context->SetParamsTable(params_table.get());
      controller->ControllerCreated();
      controller->SetContentType(ComposeContentType(response_media_type, response_charset));

      const TMVCActionDescriptor& action = *router->MethodToCall();
      bool action_handled = false;
      controller->ActionStarting(*context, action.name, action_handled);
      if (!action_handled) {
        try {
          action.invoke(*controller);
        } catch (...) {
          controller->ActionFinished(*context, action.name);
          controller->ControllerReleasing();
          throw;
        }
        controller->ActionFinished(*context, action.name);
      }
      controller->ControllerReleasing();
      // An abandoned request has no reply to describe and none to log.
      if (!context->Abandoned()) {
        context->Response().SetContentType(controller->ContentType());
        on_router_log_(*router, TMVCRouterLogState::rlsRouteFound, *context);
      }
    }
  } catch (const std::exception& error) {
    HandleGuardedFailure(error, *context, controller.get());
  }

  // Release in order; the context's release sends the reply.
  controller.reset();
  router.reset();
  context.reset();
  params_table.reset();
  return false;
}

void TMVCEngine::HandleGuardedFailure(const std::exception& error, TWebContext& context, TMVCController* controller) {
  const std::string class_name = ExceptionClassName(error);
  FrameworkLogError(
      ErrorGuardLogLine(class_name, error.what(), RequestSummary(context.Request()), ErrorGuardCustomMessage(error)));
  const int status = ErrorGuardStatus(error);
  try {
    if (controller != nullptr) {
      controller->ResponseStatus(status, "");
      controller->Render(error);
    } else {
      SendRawHTTPStatus(context, status, "[" + class_name + "] " + error.what(), class_name);
    }
  } catch (const std::exception& reply_error) {
    // The error reply itself failed (no serializer, a failing writer): the client still
    // gets the failure's status and text, in the plain form that needs no serializer.
    FrameworkLogError("[" + ExceptionClassName(reply_error) + "] " + reply_error.what());
    context.Response().SetContentType(ComposeContentType("text/plain", config_cache_default_content_charset_));
    context.Response().SetContent(config_cache_server_signature_ + "\r\nHTTP " + std::to_string(status) + ": " +
                                  error.what());
    context.Response().SetStatusCode(status);
  }
}

void TMVCEngine::SendRawHTTPStatus(TWebContext& context, int status_code, const std::string& reason_string,
                                   const std::string& class_name) {
  TMVCWebResponse& response = context.Response();
  const std::string& charset = config_cache_default_content_charset_;
  TMVCErrorResponse error;
  error.FClassname = class_name;
  error.FStatusCode = status_code;
  error.FMessage = reason_string;
  if (context.Request().ClientPreferHTML()) {
    const auto html = serializers_.find("text/html");
    if (html == serializers_.end()) throw EMVCConfigException("Cannot find HTML serializer");
    response.SetContent(html->second->SerializeObject(&error));
    response.SetContentType(ComposeContentType("text/html", charset));
  } else if (const auto json = serializers_.find(config_cache_default_content_type_);
             context.Request().ClientPrefer(LowerCase(config_cache_default_content_type_)) &&
             json != serializers_.end()) {
    response.SetContent(json->second->SerializeObject(&error, TMVCSerializationType::stDefault));
    response.SetContentType(ComposeContentType(config_cache_default_content_type_, charset));
  } else {
    response.SetContentType(ComposeContentType("text/plain", charset));
    response.SetContent(config_->GetValue(config_keys::kServerName) + "\r\nHTTP " + std::to_string(status_code) + ": " +
                        reason_string);
  }
  response.SetStatusCode(status_code);
  response.SetReasonString(reason_string);
}

void TMVCEngine::DefaultRouterLog(TMVCRouter& router, TMVCRouterLogState state, TWebContext& context) {
  TMVCWebRequest& request = context.Request();
  std::string head = request.HTTPMethodAsString() + ":" + request.PathInfo() + " [" + request.ClientIp() + "] -> ";
  std::string tail = " - " + std::to_string(context.Response().StatusCode()) + " " + context.Response().ReasonString();
  switch (state) {
    case TMVCRouterLogState::rlsRouteFound: FrameworkLogInfo(head + router.GetQualifiedActionName() + tail); return;
    case TMVCRouterLogState::rlsRouteNotFound: FrameworkLogInfo(head + "{NOT FOUND}" + tail); return;
  }
  throw EMVCException("Invalid RouterLogState");
}

}  // namespace ostrivan::web

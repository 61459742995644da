#include "host/app_web_module.h"

#include "host/allow_list.h"
#include "host/operator_page.h"
#include "host/operator_routes.h"
#include "host/parametri.h"
#include "http/web_request_handler.h"
#include "jobs/riz_ozudo_controller.h"
#include "web/serializer_json.h"

namespace ostrivan::host {

TAppWebModule::TAppWebModule() : TAppWebModule(AppJobParameters()) {}

void TAppWebModule::WebModuleCreate() {
  // Runs while the pool builds this module under its lock: only plain field writes here.
  http::THTTPWebBridgeRequestHandler& handler = http::TWebRequestHandler();
  if (!handler.CacheConnections()) handler.SetCacheConnections(true);
  handler.SetMaxConnections(kModulePoolLimit);
  engine_ = std::make_unique<web::TMVCEngine>(*this, [](web::TMVCConfig& config) {
    using namespace web::config_keys;
    config.SetValue(kSessionTimeout, "0");
    config.SetValue(kDefaultContentType, "application/json");
    config.SetValue(kDefaultContentCharset, "UTF-8");
    config.SetValue(kAllowUnhandledAction, "false");
    config.SetValue(kLoadSystemControllers, "true");
    config.SetValue(kDefaultViewFileExtension, "html");
    config.SetValue(kViewPath, "templates");
    config.SetValue(kMaxEntitiesRecordCount, "20");
    config.SetValue(kExposeServerSignature, "true");
    config.SetValue(kExposeXPoweredBy, "true");
    config.SetValue(kMaxRequestSize, std::to_string(kAppMaxRequestSize));
  });
  engine_->AddController(&jobs::TRizOzudoController::ClassInfo(), jobs::TRizOzudoController::Factory(job_parameters_));
  engine_->AddSerializer("application/json", std::make_shared<web::TMVCJsonSerializer>());
  // The operator's routes come before the engine: they are no controller of it, so its
  // description of the service's routes stays as it was.
  http::THTTPMethodEvent engine_dispatch = BeforeDispatch();
  SetBeforeDispatch([engine_dispatch](http::TCustomWebDispatcher& sender, http::TWebRequest& request,
                                      http::TWebResponse& response, bool& handled) {
    if (ServeOperatorPage(request, response) || ServeOperatorRoute(request, response)) {
      handled = true;
      return;
    }
    if (engine_dispatch) engine_dispatch(sender, request, response, handled);
  });
}

void TAppWebModule::WebModuleDestroy() { engine_.reset(); }

void ApplyAppRequestLimits(http::TCustomHTTPServer& server) {
  server.SetMaxRequestBodySize(kAppMaxRequestSize);
  server.SetBodyRefusal(web::OversizedBodyRefusal);
}

namespace {
TCallerGate& CallerGate() {
  static TCallerGate* gate = new TCallerGate();  // asked by worker threads until the end
  return *gate;
}
}  // namespace

void ApplyCallerGate(http::TCustomHTTPServer& server) {
  server.SetCallerAdmission([](const http::THTTPRequestInfo& request) { return CallerGate().Admit(request); });
}

void ReportCallerGate() { CallerGate().Report(); }

jobs::TJobParameters AppJobParameters() {
  return {[] { return TParametri::GetExportLavoroDir(); }, [] { return TParametri::GetImportLavoroDir(); },
          [] { return TParametri::GetNrMacchina(); },      [] { return TParametri::GetAttesaScrittura(); },
          [] { return TParametri::GetAttesaConferma(); },  [] { return TParametri::GetTenutiNumero(); },
          [] { return TParametri::GetTenutiMB(); }};
}

void RegisterAppWebModule() {
  http::THTTPWebBridgeRequestHandler& handler = http::TWebRequestHandler();
  handler.SetWebModuleClass(
      [] { return std::unique_ptr<http::TWebModule>(std::make_unique<TAppWebModule>(AppJobParameters())); });
  handler.SetMaxConnections(kStartupModulePoolLimit);
}

}  // namespace ostrivan::host

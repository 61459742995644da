#pragma once
// The service's web module: each instance owns one engine configured with the service's
// settings, the job controller and its own JSON serializer.
#include <memory>

#include "http/web_module.h"
#include "web/engine.h"

namespace ostrivan::host {

class TAppWebModule : public http::TWebModule {
 public:
  void DoCreate() override { WebModuleCreate(); }
  void DoDestroy() override { WebModuleDestroy(); }

  void WebModuleCreate();
  void WebModuleDestroy();

  web::TMVCEngine* Engine() const { return engine_.get(); }

 private:
  std::unique_ptr<web::TMVCEngine> engine_;
};

// Start-up: the process-wide web request handler builds TAppWebModule instances, with
// at most 1024 in use at once (the first engine raises the limit to 4096).
inline constexpr int kHostMaxConnections = 1024;
void RegisterAppWebModule();

}  // namespace ostrivan::host

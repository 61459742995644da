#pragma once
// The service's web module: each instance owns one engine configured with the service's
// settings, the job controller and its own JSON serializer.
#include <cstdint>
#include <memory>
#include <utility>

#include "http/http_server.h"
#include "http/web_module.h"
#include "jobs/job_parameters.h"
#include "web/engine.h"

namespace ostrivan::host {

class TAppWebModule : public http::TWebModule {
 public:
  // parameters: what the job controller of each engine reads its settings through; by
  // default the parameter file's (AppJobParameters).
  TAppWebModule();
  explicit TAppWebModule(jobs::TJobParameters parameters) : job_parameters_(std::move(parameters)) {}
  void DoCreate() override { WebModuleCreate(); }
  void DoDestroy() override { WebModuleDestroy(); }

  void WebModuleCreate();
  void WebModuleDestroy();

  web::TMVCEngine* Engine() const { return engine_.get(); }

 private:
  jobs::TJobParameters job_parameters_;
  std::unique_ptr<web::TMVCEngine> engine_;
};

// The job settings as the parameter file gives them, read on every call, so edits to
// the file count from the next request.
jobs::TJobParameters AppJobParameters();

// The largest request body the service accepts: the engine's default, 5 MiB (a job
// archive of about 3.8 MB in base64). The host sets it as the engine setting
// max_request_size and as the HTTP server's reading limit.
inline constexpr std::int64_t kAppMaxRequestSize = web::kDefaultMaxRequestSize;
// Gives the server the body limit the engines enforce and the engine's refusal, so an
// oversized body is refused, as the engine would, before it is read into memory.
void ApplyAppRequestLimits(http::TCustomHTTPServer& server);

// Gives the server the process-wide caller gate (the ClientAmmessi allow-list), asked
// for every request once its head is read.
void ApplyCallerGate(http::TCustomHTTPServer& server);
// Logs once what the allow-list says now (open, or its malformed entries).
void ReportCallerGate();

// The process-wide web request handler's MaxConnections: despite its documented name, a
// limit on web modules in use at once (requests being dispatched, not connections).
// Start-up writes 1024; every module's creation writes 4096 before it builds its
// engine, so 4096 is the limit in force from the first request on.
inline constexpr int kStartupModulePoolLimit = 1024;
inline constexpr int kModulePoolLimit = 4096;
// Start-up: the process-wide web request handler builds TAppWebModule instances.
void RegisterAppWebModule();

}  // namespace ostrivan::host

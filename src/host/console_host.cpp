#include "host/console_host.h"

#include <cstdio>
#include <memory>
#include <string>

#include "common/error.h"
#include "host/app_web_module.h"
#include "host/config_check.h"
#include "host/console_keys.h"
#include "host/operator_routes.h"
#include "host/parametri.h"
#include "host/service_notify.h"
#include "http/http_web_bridge.h"
#include "jobfiles/job_files.h"
#include "jobs/job_parameters.h"
#include "jobs/riz_ozudo_controller.h"
#include "logging/default_log_writer.h"
#include "logging/framework_log.h"
#include "platform/console.h"
#include "platform/net.h"
#include "platform/service.h"

namespace ostrivan::host {
namespace {

void WriteLn(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// The listen backlog the host wants in force.
constexpr int kListenQueue = 200;

// The ports really bound, when they are not what the parameter file says: Porta=0 gives
// a random port for each family, Porta=70000 port 4464.
void ReportBoundPorts(http::TCustomTCPServer& server, uint16_t port) {
  const auto written = ParseInteger(ReadProfileString(TParametri::GetIniFile(), "CONFIG", "Porta"));
  bool differs = written && *written != port;
  std::string bound;
  for (const http::TSocketHandle& b : server.Bindings()) {
    differs = differs || b.bound_port != port;
    bound += std::string(bound.empty() ? "" : ", ") +
             (platform::FamilyFromNumber(b.family) == platform::TFamily::kIPv6 ? "IPv6 port " : "IPv4 port ") +
             std::to_string(b.bound_port);
  }
  if (differs)
    logging::FrameworkLogWarn("Porta " + (written ? std::to_string(*written) : std::to_string(port)) +
                              " is not the port listened on: " + bound);
}

}  // namespace

void RunServer(uint16_t port, bool service) {
  WriteLn("** TornioMVC Server ** build 1.0.0");
  WriteLn("Ostrivan 24/05/2025 - 1");
  WriteLn("Starting HTTP Server on port " + std::to_string(port));
  // Said once the server below is freed, on every way out of here.
  struct TStoppedLine {
    ~TStoppedLine() { logging::FrameworkLogInfo("Server stopped"); }
  } stopped_line;
  // Freed on every way out of here, which deactivates it and ends its threads.
  auto server = std::make_unique<http::THTTPWebBridge>();
  server->SetDefaultPort(port);
  ApplyAppRequestLimits(*server);
  ApplyCallerGate(*server);
  // Set before activation so that the backlog of 200 is the one in force.
  server->SetListenQueue(kListenQueue);
  server->SetActive(true);
  logging::FrameworkLogInfo("Server started on port " + std::to_string(port));
  ReportBoundPorts(*server, port);
  LogSettingsInForce();
  ReportCallerGate();
  // An account that cannot write these would fail jobs later, or keep no copies: said now.
  for (const jobfiles::TFolderProblem& problem : jobfiles::ServiceFolderProblems())
    logging::FrameworkLogError("Folder \"" + problem.Path + "\" cannot be written: " + problem.Reason);
  server->SetMaxConnections(0);
  if (service) {
    WriteLn("Running as a service: SIGTERM or SIGINT stops the server");
    NotifyReady(port);
    // Destroyed before the server (on every way out), and stopped before STOPPING=1,
    // so no keep-alive follows it.
    TServiceWatchdog watchdog(*server);
    WaitForStopSignal(InstallStopSignals());
    watchdog.Stop();
    NotifyStopping();
    return;
  }
  WriteLn("Press ESC to stop the server");
  TRawTerminal terminal(platform::StandardInputTerminal());
  WaitForEsc(platform::StandardInputTerminal(), InstallStopSignals());
}

int RunConsoleHost(bool service) {
  // A client that goes away mid-reply must never end the process.
  platform::IgnoreBrokenPipeSignal(platform::TIgnoreBrokenPipe::kAlways);
  bool failed = false;
  try {
    InstallStopSignals();
    MarkServiceStarted();
    RegisterAppWebModule();
    jobs::WatchExportFolder(AppJobParameters());
    // Jobs a previous run left between packing and delivery, or half unpacked, are
    // settled before any client can ask for them.
    jobs::RecoverInterruptedJobs(AppJobParameters());
    RunServer(TParametri::GetPorta(), service);
  } catch (const Exception& e) {
    WriteLn(std::string(e.ClassName()) + ": " + e.Message());
    failed = true;
  } catch (const std::exception& e) {
    WriteLn(std::string("Exception: ") + e.what());
    failed = true;
  }
  logging::ShutdownDefaultLogWriter();
  return service && failed ? 1 : 0;
}

}  // namespace ostrivan::host

#include "platform/service_manager.h"

#include "platform/service.h"
#include "platform/windows/windows_support.h"

#include <atomic>
#include <csignal>
#include <mutex>

namespace ostrivan::platform {

// Under the service control manager the states go START_PENDING (the body starts),
// RUNNING (ReportServiceReady), STOP_PENDING (its stop or shutdown control, or
// ReportServiceStopping) and STOPPED (the body returned). Its stop is the same stop
// request as the console's Ctrl+C. From a console every report does nothing.

namespace {

constexpr DWORD kManagerStopWaitHintMs = 30000;

std::mutex g_manager_lock;
SERVICE_STATUS_HANDLE g_manager_handle = nullptr;
SERVICE_STATUS g_manager_status = {};
std::wstring g_manager_name;
int (*g_manager_body)(void*) = nullptr;
void* g_manager_argument = nullptr;
std::atomic<int> g_manager_exit_code{0};

void ManagerReport(DWORD state, DWORD exit_code = NO_ERROR) {
  std::lock_guard<std::mutex> guard(g_manager_lock);
  if (g_manager_handle == nullptr) return;
  g_manager_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_manager_status.dwCurrentState = state;
  g_manager_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  g_manager_status.dwWin32ExitCode = exit_code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  g_manager_status.dwServiceSpecificExitCode = exit_code;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  g_manager_status.dwCheckPoint = pending ? g_manager_status.dwCheckPoint + 1 : 0;
  g_manager_status.dwWaitHint = pending ? kManagerStopWaitHintMs : 0;
  SetServiceStatus(g_manager_handle, &g_manager_status);
}

DWORD WINAPI ManagerControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      ManagerReport(SERVICE_STOP_PENDING);
      windows::NoteStopRequest(SIGTERM);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
    default: return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ManagerServiceMain(DWORD, wchar_t**) {
  {
    std::lock_guard<std::mutex> guard(g_manager_lock);
    g_manager_handle = RegisterServiceCtrlHandlerExW(g_manager_name.c_str(), &ManagerControl, nullptr);
    if (g_manager_handle == nullptr) return;
  }
  windows::IgnoreLogoff(true);
  ManagerReport(SERVICE_START_PENDING);
  TWaitHandle stop = kNoWaitHandle;
  (void)TryCatchStopRequests(stop);
  const int code = g_manager_body(g_manager_argument);
  g_manager_exit_code = code;
  ManagerReport(SERVICE_STOPPED, static_cast<DWORD>(code));
}

}  // namespace

void ReportServiceReady(const std::string&) { ManagerReport(SERVICE_RUNNING); }

void ReportServiceStopping(const std::string&) { ManagerReport(SERVICE_STOP_PENDING); }

// The service control manager keeps no watchdog.
void ReportServiceAlive() {}

std::chrono::microseconds ServiceKeepAliveInterval() { return std::chrono::microseconds(0); }

bool TryRunAsService(const std::string& name, int (*body)(void*), void* argument, int& exit_code) {
  // Services run in session 0 alone: any other session is a user's, with no manager to
  // ask (which would otherwise cost a timeout under some systems).
  DWORD session = 0;
  if (ProcessIdToSessionId(GetCurrentProcessId(), &session) && session != 0) return false;
  g_manager_name = windows::WideOf(name);
  g_manager_body = body;
  g_manager_argument = argument;
  SERVICE_TABLE_ENTRYW table[] = {{g_manager_name.data(), &ManagerServiceMain}, {nullptr, nullptr}};
  // Fails at once (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) when started from a console.
  if (!StartServiceCtrlDispatcherW(table)) return false;
  exit_code = g_manager_exit_code;
  return true;
}

}  // namespace ostrivan::platform

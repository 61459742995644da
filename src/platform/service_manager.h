#pragma once
// Telling the service manager how the service is doing. Its own library, linked by the
// service alone: the client has no service manager to talk to.
#include <chrono>
#include <string>

namespace ostrivan::platform {

// Without a service manager (started from a console) every call does nothing.
// READY with a status line, once the service serves.
void ReportServiceReady(const std::string& status);
// A stop has begun.
void ReportServiceStopping(const std::string& status);
// A keep-alive for the manager's watchdog.
void ReportServiceAlive();
// How often the manager wants a keep-alive (half its watchdog period); zero when it
// watches nothing.
std::chrono::microseconds ServiceKeepAliveInterval();

// Where the service manager starts a service by a call of the program's (the service
// control manager of Windows), runs body(argument) as the service named name, waits for
// it and gives its result in exit_code: true then. False, with nothing run, when no
// service manager started this process (a console) or the system's needs none (systemd
// starts the program as it is).
bool TryRunAsService(const std::string& name, int (*body)(void*), void* argument, int& exit_code);

}  // namespace ostrivan::platform

#pragma once
// Living as a service: stop requests (SIGINT and SIGTERM; a console's Ctrl+C or the
// service manager's stop elsewhere), telling the service manager that the service is
// ready, alive or stopping, and writes to a vanished peer that fail instead of ending
// the process.
#include <chrono>
#include <string>

#include "platform/net.h"
#include "platform/status.h"

namespace ostrivan::platform {

// From the first call on, a stop request no longer ends the process: it is noted
// (StopRequestSignal) and wakes the returned handle, which a wait watches (TryWait of
// net.h, TryWaitForStopRequest, TryWaitForEsc of console.h). A blocking call under way
// returns with EINTR. Later calls return the same handle. On failure to make the handle
// the requests are still noted, and handle is kNoWaitHandle.
TStatus TryCatchStopRequests(TWaitHandle& handle);
// The number of the signal of the latest stop request (SIGINT 2, SIGTERM 15, whatever the
// platform names them), 0 while none came.
int StopRequestSignal();
// Blocks until the handle of TryCatchStopRequests turns readable.
TStatus TryWaitForStopRequest(TWaitHandle handle);

enum class TIgnoreBrokenPipe { kAlways, kUnlessHandled };
// A write to a closed pipe or socket fails the write instead of ending the process.
// kUnlessHandled leaves a handler the program installed in place.
void IgnoreBrokenPipeSignal(TIgnoreBrokenPipe how);

// The service manager: without one (started from a console) every call does nothing.
// READY with a status line, once the service serves.
void ReportServiceReady(const std::string& status);
// A stop has begun.
void ReportServiceStopping(const std::string& status);
// A keep-alive for the manager's watchdog.
void ReportServiceAlive();
// How often the manager wants a keep-alive (half its watchdog period); zero when it
// watches nothing.
std::chrono::microseconds ServiceKeepAliveInterval();

}  // namespace ostrivan::platform

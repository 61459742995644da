#pragma once
// Stop requests (SIGINT and SIGTERM; a console's Ctrl+C or the service manager's stop
// elsewhere), and writes to a vanished peer that fail instead of ending the process.
// Telling the service manager how the service is doing is service_manager.h.
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

}  // namespace ostrivan::platform

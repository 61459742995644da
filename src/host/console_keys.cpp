#include "host/console_keys.h"

#include "common/error.h"
#include "platform/service.h"

namespace ostrivan::host {

TRawTerminal::TRawTerminal(platform::TTerminal fd) {
  if (const TStatus entered = mode_.TryEnter(fd); !entered) throw MakeOSError(entered.Code());
}

void WaitForEsc(platform::TTerminal fd, platform::TWaitHandle stop_fd) {
  if (const TStatus waited = platform::TryWaitForEsc(fd, stop_fd); !waited) throw MakeOSError(waited.Code());
}

void WaitForStopSignal(platform::TWaitHandle stop_fd) {
  if (const TStatus waited = platform::TryWaitForStopRequest(stop_fd); !waited) throw MakeOSError(waited.Code());
}

platform::TWaitHandle InstallStopSignals() {
  platform::TWaitHandle handle = platform::kNoWaitHandle;
  if (const TStatus caught = platform::TryCatchStopRequests(handle); !caught) throw MakeOSError(caught.Code());
  return handle;
}

}  // namespace ostrivan::host

#pragma once
// Waits for the ESC key on the controlling terminal, or for a stop request.
#include "platform/console.h"
#include "platform/net.h"

namespace ostrivan::host {

// Puts a terminal into raw mode (no line editing, no echo; Ctrl-C still signals) and
// gives the previous mode back when destroyed.
class TRawTerminal {
 public:
  explicit TRawTerminal(platform::TTerminal fd);  // raises EOSError when fd is not a terminal
  TRawTerminal(const TRawTerminal&) = delete;
  TRawTerminal& operator=(const TRawTerminal&) = delete;

 private:
  platform::TRawTerminalMode mode_;
};

// Blocks until a lone ESC byte arrives on fd (one not followed within ~30 ms by more
// bytes, which would make it an arrow or function key) or until stop_fd turns readable.
// Every other key is read and dropped. A failed read or the end of input raises EOSError.
void WaitForEsc(platform::TTerminal fd, platform::TWaitHandle stop_fd = platform::kNoWaitHandle);

// Blocks until stop_fd (from InstallStopSignals) turns readable: the wait of a service,
// which has no console to read.
void WaitForStopSignal(platform::TWaitHandle stop_fd);

// The wake-up of stop requests (SIGINT/SIGTERM): WaitForEsc returns as for ESC.
platform::TWaitHandle InstallStopSignals();

}  // namespace ostrivan::host

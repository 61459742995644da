#pragma once
// Waits for the ESC key on the controlling terminal, or for a stop signal.
#include <termios.h>

namespace ostrivan::host {

// Puts a terminal into raw mode (no line editing, no echo; Ctrl-C still signals) and
// gives the previous mode back when destroyed.
class TRawTerminal {
 public:
  explicit TRawTerminal(int fd);  // raises EOSError when fd is not a terminal
  ~TRawTerminal();
  TRawTerminal(const TRawTerminal&) = delete;
  TRawTerminal& operator=(const TRawTerminal&) = delete;

 private:
  int fd_;
  termios saved_{};
};

// Blocks until a lone ESC byte arrives on fd (one not followed within ~30 ms by more
// bytes, which would make it an arrow or function key) or until stop_fd turns readable.
// Every other key is read and dropped. A failed read or the end of input raises EOSError.
void WaitForEsc(int fd, int stop_fd = -1);

// Blocks until stop_fd (from InstallStopSignals) turns readable: the wait of a service,
// which has no console to read.
void WaitForStopSignal(int stop_fd);

// Terminal restore and the stop pipe used by SIGINT/SIGTERM: the handlers write one
// byte to the returned descriptor's pipe, and WaitForEsc returns as for ESC.
int InstallStopSignals();

}  // namespace ostrivan::host

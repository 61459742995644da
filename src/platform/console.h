#pragma once
// The console the service was started from: raw key input and the ESC key that stops it.
#include <cstdint>
#include <memory>

#include "platform/net.h"
#include "platform/status.h"

namespace ostrivan::platform {

// A terminal's input: a descriptor, or a console input handle under Windows.
using TTerminal = std::intptr_t;
// The process's standard input.
TTerminal StandardInputTerminal();

// Raw key input (no line editing, no echo; Ctrl-C still requests a stop) while it lives;
// the previous mode is given back when it is destroyed, on every way out.
class TRawTerminalMode {
 public:
  TRawTerminalMode() noexcept;
  ~TRawTerminalMode();
  TRawTerminalMode(const TRawTerminalMode&) = delete;
  TRawTerminalMode& operator=(const TRawTerminalMode&) = delete;

  // ENOTTY when terminal is no terminal: nothing is changed then.
  TStatus TryEnter(TTerminal terminal);

 private:
  struct TSaved;
  std::unique_ptr<TSaved> saved_;
};

// Blocks until a lone ESC key arrives (an ESC not followed within ~30 ms by more bytes,
// which would make it an arrow or function key) or until stop turns readable. Every
// other key is read and dropped. EIO when the terminal went away (end of input), the
// system's code when reading failed.
TStatus TryWaitForEsc(TTerminal terminal, TWaitHandle stop = kNoWaitHandle);

}  // namespace ostrivan::platform

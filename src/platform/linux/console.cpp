#include "platform/console.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace ostrivan::platform {

namespace {

constexpr unsigned char kConsoleEsc = 27;
// A terminal sends an escape sequence in one burst; a lone ESC has nothing behind it.
constexpr int kConsoleSequenceGapMs = 30;

// Drops whatever else is already waiting: the rest of an escape sequence.
void ConsoleDrainPending(int fd) {
  unsigned char buf[64];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kConsoleSequenceGapMs) <= 0 || !(p.revents & POLLIN)) return;
    if (read(fd, buf, sizeof buf) <= 0) return;
  }
}

}  // namespace

struct TRawTerminalMode::TSaved {
  int fd = -1;
  termios mode{};
};

TTerminal StandardInputTerminal() { return STDIN_FILENO; }

TRawTerminalMode::TRawTerminalMode() noexcept = default;

TRawTerminalMode::~TRawTerminalMode() {
  if (saved_) tcsetattr(saved_->fd, TCSANOW, &saved_->mode);
}

TStatus TRawTerminalMode::TryEnter(TTerminal terminal) {
  auto saved = std::make_unique<TSaved>();
  saved->fd = static_cast<int>(terminal);
  if (tcgetattr(saved->fd, &saved->mode) != 0) return TStatus::Failed(errno);
  termios raw = saved->mode;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(saved->fd, TCSANOW, &raw) != 0) return TStatus::Failed(errno);
  saved_ = std::move(saved);
  return {};
}

TStatus TryWaitForEsc(TTerminal terminal, TWaitHandle stop) {
  const int fd = static_cast<int>(terminal);
  const int stop_fd = static_cast<int>(stop);
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    int n = poll(fds, stop_fd >= 0 ? 2 : 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return TStatus::Failed(errno);
    }
    if (stop_fd >= 0 && (fds[1].revents & POLLIN)) return {};
    if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    unsigned char c;
    ssize_t r = read(fd, &c, 1);
    if (r < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return TStatus::Failed(errno);
    }
    if (r == 0) return TStatus::Failed(EIO);  // the terminal went away: no ESC can come
    if (c != kConsoleEsc) continue;
    pollfd more{fd, POLLIN, 0};
    if (poll(&more, 1, kConsoleSequenceGapMs) > 0 && (more.revents & POLLIN)) {
      ConsoleDrainPending(fd);
      continue;
    }
    return {};
  }
}

}  // namespace ostrivan::platform

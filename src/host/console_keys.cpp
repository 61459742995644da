#include "host/console_keys.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "common/error.h"

namespace ostrivan::host {
namespace {

constexpr unsigned char kEsc = 27;
// A terminal sends an escape sequence in one burst; a lone ESC has nothing behind it.
constexpr int kEscapeSequenceGapMs = 30;

int g_stop_pipe[2] = {-1, -1};

void OnStopSignal(int) {
  const char b = 1;
  if (g_stop_pipe[1] >= 0) {
    ssize_t ignored = write(g_stop_pipe[1], &b, 1);
    (void)ignored;
  }
}

// Drops whatever else is already waiting: the rest of an escape sequence.
void DrainPending(int fd) {
  unsigned char buf[64];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kEscapeSequenceGapMs) <= 0 || !(p.revents & POLLIN)) return;
    if (read(fd, buf, sizeof buf) <= 0) return;
  }
}

}  // namespace

TRawTerminal::TRawTerminal(int fd) : fd_(fd) {
  if (tcgetattr(fd_, &saved_) != 0) throw MakeOSError(errno);
  termios raw = saved_;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(fd_, TCSANOW, &raw) != 0) throw MakeOSError(errno);
}

TRawTerminal::~TRawTerminal() { tcsetattr(fd_, TCSANOW, &saved_); }

void WaitForEsc(int fd, int stop_fd) {
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    int n = poll(fds, stop_fd >= 0 ? 2 : 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw MakeOSError(errno);
    }
    if (stop_fd >= 0 && (fds[1].revents & POLLIN)) return;
    if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    unsigned char c;
    ssize_t r = read(fd, &c, 1);
    if (r < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      throw MakeOSError(errno);
    }
    if (r == 0) throw MakeOSError(EIO);  // the terminal went away: no ESC can come
    if (c != kEsc) continue;
    pollfd more{fd, POLLIN, 0};
    if (poll(&more, 1, kEscapeSequenceGapMs) > 0 && (more.revents & POLLIN)) {
      DrainPending(fd);
      continue;
    }
    return;
  }
}

void WaitForStopSignal(int stop_fd) {
  for (;;) {
    pollfd p{stop_fd, POLLIN, 0};
    const int n = poll(&p, 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw MakeOSError(errno);
    }
    if (p.revents & POLLIN) return;
  }
}

int InstallStopSignals() {
  if (g_stop_pipe[0] < 0) {
    if (pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) throw MakeOSError(errno);
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
  }
  return g_stop_pipe[0];
}

}  // namespace ostrivan::host

#include "platform/service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>

namespace ostrivan::platform {

namespace {

volatile std::sig_atomic_t g_stop_signal = 0;
// Written by the handler, so that a wait under way wakes at once.
int g_stop_pipe[2] = {-1, -1};

extern "C" void ServiceNoteStop(int signal_number) {
  g_stop_signal = signal_number;
  if (g_stop_pipe[1] >= 0) {
    const int saved = errno;
    [[maybe_unused]] const ssize_t n = write(g_stop_pipe[1], "x", 1);
    errno = saved;
  }
}

}  // namespace

TStatus TryCatchStopRequests(TWaitHandle& handle) {
  TStatus made;
  if (g_stop_pipe[0] < 0 && pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    made = TStatus::Failed(errno);
    g_stop_pipe[0] = g_stop_pipe[1] = -1;
  }
  struct sigaction action {};
  action.sa_handler = ServiceNoteStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocking call returns with EINTR
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  handle = g_stop_pipe[0] >= 0 ? g_stop_pipe[0] : kNoWaitHandle;
  return made;
}

int StopRequestSignal() { return g_stop_signal; }

TStatus TryWaitForStopRequest(TWaitHandle handle) {
  for (;;) {
    pollfd p{static_cast<int>(handle), POLLIN, 0};
    const int n = poll(&p, 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return TStatus::Failed(errno);
    }
    if (p.revents & POLLIN) return {};
  }
}

void IgnoreBrokenPipeSignal(TIgnoreBrokenPipe how) {
  if (how == TIgnoreBrokenPipe::kAlways) {
    signal(SIGPIPE, SIG_IGN);
    return;
  }
  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
  }
}

void ReportServiceReady(const std::string& status) {
  const std::string state = "READY=1\nSTATUS=" + status;
  sd_notify(0, state.c_str());
}

void ReportServiceStopping(const std::string& status) {
  const std::string state = "STOPPING=1\nSTATUS=" + status;
  sd_notify(0, state.c_str());
}

void ReportServiceAlive() { sd_notify(0, "WATCHDOG=1"); }

std::chrono::microseconds ServiceKeepAliveInterval() {
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return std::chrono::microseconds(0);
  return std::chrono::microseconds(usec / 2);
}

}  // namespace ostrivan::platform

#include "host/service_notify.h"

#include <systemd/sd-daemon.h>

#include <string>

#include "logging/framework_log.h"
#include "logging/thread_heartbeat.h"

namespace ostrivan::host {

void NotifyReady(std::uint16_t port) {
  const std::string state = "READY=1\nSTATUS=Serving on port " + std::to_string(port);
  sd_notify(0, state.c_str());
}

void NotifyStopping() { sd_notify(0, "STOPPING=1\nSTATUS=Stopping"); }

bool ServiceAlive(const http::TCustomTCPServer& server) {
  return server.Accepting() && logging::LoggingThreadsAlive(kLoggingStallLimit);
}

TServiceWatchdog::TServiceWatchdog(const http::TCustomTCPServer& server) : server_(server) {
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return;
  thread_ = std::thread([this, usec] { Run(std::chrono::microseconds(usec / 2)); });
}

TServiceWatchdog::~TServiceWatchdog() { Stop(); }

void TServiceWatchdog::Stop() {
  {
    std::lock_guard guard(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void TServiceWatchdog::Run(std::chrono::microseconds interval) {
  bool was_alive = true;
  std::unique_lock guard(lock_);
  for (;;) {
    guard.unlock();
    const bool alive = ServiceAlive(server_);
    if (alive) sd_notify(0, "WATCHDOG=1");
    // Said once when it changes, not at every beat.
    if (alive != was_alive)
      logging::FrameworkLogWarn(alive ? "Watchdog: listener and log writer alive again"
                                      : "Watchdog: listener or log writer not alive; no keep-alive sent");
    was_alive = alive;
    guard.lock();
    if (wake_.wait_for(guard, interval, [this] { return stop_; })) return;
  }
}

}  // namespace ostrivan::host

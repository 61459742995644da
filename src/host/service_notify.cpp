#include "host/service_notify.h"

#include <string>

#include "logging/framework_log.h"
#include "logging/thread_heartbeat.h"
#include "platform/service.h"

namespace ostrivan::host {

void NotifyReady(std::uint16_t port) { platform::ReportServiceReady("Serving on port " + std::to_string(port)); }

void NotifyStopping() { platform::ReportServiceStopping("Stopping"); }

bool ServiceAlive(const http::TCustomTCPServer& server) {
  return server.Accepting() && logging::LoggingThreadsAlive(kLoggingStallLimit);
}

TServiceWatchdog::TServiceWatchdog(const http::TCustomTCPServer& server) : server_(server) {
  const std::chrono::microseconds interval = platform::ServiceKeepAliveInterval();
  if (interval.count() <= 0) return;
  thread_ = std::thread([this, interval] { Run(interval); });
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
    if (alive) platform::ReportServiceAlive();
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

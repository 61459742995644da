#include "platform/service_manager.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

namespace ostrivan::platform {

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

bool TryRunAsService(const std::string&, int (*)(void*), void*, int&) { return false; }

}  // namespace ostrivan::platform

#pragma once
// Readiness and liveness for systemd (Type=notify, WatchdogSec=): READY=1 once the
// listener accepts, STOPPING=1 when a stop begins, and WATCHDOG=1 at half the period
// systemd gives in WATCHDOG_USEC, sent only while the listener and the log writer are
// alive, so a hung service stops sending and gets restarted. Without NOTIFY_SOCKET
// (not started by systemd) every call does nothing.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "http/tcp_server.h"

namespace ostrivan::host {

// A logging thread silent for longer than this is taken as stuck (idle ones turn at
// least every second).
inline constexpr std::chrono::milliseconds kLoggingStallLimit{5000};

void NotifyReady(std::uint16_t port);
void NotifyStopping();

// Whether the service is alive as the watchdog judges it.
bool ServiceAlive(const http::TCustomTCPServer& server);

// Sends WATCHDOG=1 at half of WATCHDOG_USEC while ServiceAlive; starts no thread when
// systemd asked for no watchdog. Stopped and joined when destroyed: destroy it before
// the server.
class TServiceWatchdog {
 public:
  explicit TServiceWatchdog(const http::TCustomTCPServer& server);
  ~TServiceWatchdog();
  TServiceWatchdog(const TServiceWatchdog&) = delete;
  TServiceWatchdog& operator=(const TServiceWatchdog&) = delete;

  // No keep-alive is sent after this returns.
  void Stop();

 private:
  void Run(std::chrono::microseconds interval);

  const http::TCustomTCPServer& server_;
  std::mutex lock_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace ostrivan::host

#include "logging/thread_heartbeat.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace ostrivan::logging {

namespace {

std::int64_t Now() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

struct TRegistry {
  std::mutex lock;
  std::vector<const TThreadHeartbeat*> beating;
};

// Never destroyed: a logging thread may end during exit.
TRegistry& Registry() {
  static TRegistry* registry = new TRegistry();
  return *registry;
}

}  // namespace

TThreadHeartbeat::TThreadHeartbeat() : last_(Now()) {
  TRegistry& registry = Registry();
  std::lock_guard guard(registry.lock);
  registry.beating.push_back(this);
}

TThreadHeartbeat::~TThreadHeartbeat() {
  TRegistry& registry = Registry();
  std::lock_guard guard(registry.lock);
  std::erase(registry.beating, this);
}

void TThreadHeartbeat::Beat() noexcept { last_.store(Now(), std::memory_order_relaxed); }

bool LoggingThreadsAlive(std::chrono::milliseconds stall_limit) {
  const std::int64_t oldest_allowed =
      Now() - std::chrono::duration_cast<std::chrono::steady_clock::duration>(stall_limit).count();
  TRegistry& registry = Registry();
  std::lock_guard guard(registry.lock);
  if (registry.beating.empty()) return false;
  return std::all_of(registry.beating.begin(), registry.beating.end(),
                     [&](const TThreadHeartbeat* beat) { return beat->LastBeat() >= oldest_allowed; });
}

}  // namespace ostrivan::logging

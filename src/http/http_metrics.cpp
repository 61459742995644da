#include "http/http_metrics.h"

#include <atomic>
#include <mutex>

namespace ostrivan::http {

namespace {

struct TCounts {
  std::mutex lock;
  std::map<int, std::uint64_t> replies;
  std::atomic<std::uint64_t> refused{0};
  std::atomic<std::int64_t> open{0};
};

// Never destroyed: worker threads may still reply during exit.
TCounts& Counts() {
  static TCounts* counts = new TCounts();
  return *counts;
}

}  // namespace

void CountReply(int status) {
  TCounts& counts = Counts();
  std::lock_guard guard(counts.lock);
  ++counts.replies[status];
}

void CountRefusal() { Counts().refused.fetch_add(1, std::memory_order_relaxed); }
void CountConnectionOpened() { Counts().open.fetch_add(1, std::memory_order_relaxed); }
void CountConnectionClosed() { Counts().open.fetch_sub(1, std::memory_order_relaxed); }

std::map<int, std::uint64_t> ReplyCounts() {
  TCounts& counts = Counts();
  std::lock_guard guard(counts.lock);
  return counts.replies;
}

std::uint64_t RefusalCount() { return Counts().refused.load(std::memory_order_relaxed); }
std::int64_t OpenConnectionCount() { return Counts().open.load(std::memory_order_relaxed); }

}  // namespace ostrivan::http

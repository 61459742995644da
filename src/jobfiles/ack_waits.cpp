#include "jobfiles/ack_waits.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "logging/framework_log.h"

namespace ostrivan::jobfiles {

namespace {

// Longer than the longest wait for a reply's delivery, so an early acknowledgement
// always sees the end of its reply.
constexpr auto kEarlyAcknowledgementWait = std::chrono::seconds(60);

std::int64_t AckClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

TAcknowledgementWaits::~TAcknowledgementWaits() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (timer_.joinable()) timer_.join();
}

bool TAcknowledgementWaits::Sent(const std::shared_ptr<THeldExport>& job, std::int64_t deadline_ms) {
  if (!job->AwaitAcknowledgement(deadline_ms)) return false;
  std::lock_guard<std::mutex> guard(lock_);
  waits_[job->Id()] = {job, TState::kSending};
  EnsureTimer();
  return true;
}

void TAcknowledgementWaits::Resume(const std::shared_ptr<THeldExport>& job) {
  std::lock_guard<std::mutex> guard(lock_);
  waits_[job->Id()] = {job, TState::kAwaiting};
  EnsureTimer();
  changed_.notify_all();
}

void TAcknowledgementWaits::Delivered(const std::string& id, bool delivered) {
  std::shared_ptr<THeldExport> settle;
  bool acknowledged = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = waits_.find(id);
    if (it == waits_.end()) return;
    acknowledged = it->second.State == TState::kAcknowledgedEarly;
    if (!acknowledged && delivered) {
      it->second.State = TState::kAwaiting;
      changed_.notify_all();
      return;
    }
    settle = it->second.Job;
    it->second.State = TState::kSettling;
  }
  settle->Complete(acknowledged);
  {
    std::lock_guard<std::mutex> guard(lock_);
    waits_.erase(id);
  }
  // The early acknowledgement answers only now, with the job settled.
  changed_.notify_all();
}

TAckResult TAcknowledgementWaits::Acknowledge(const std::string& id) {
  std::shared_ptr<THeldExport> settle;
  {
    std::unique_lock<std::mutex> guard(lock_);
    auto it = waits_.find(id);
    if (it == waits_.end()) return TAckResult::kUnknown;
    if (it->second.State == TState::kSending) {
      // The client closed and acknowledged before this side saw its reply end: the
      // reply's own thread settles the job once it does.
      it->second.State = TState::kAcknowledgedEarly;
      changed_.wait_for(guard, kEarlyAcknowledgementWait, [&] { return waits_.find(id) == waits_.end(); });
      return TAckResult::kAcknowledged;
    }
    if (it->second.State != TState::kAwaiting) return TAckResult::kAcknowledged;  // already being settled
    settle = std::move(it->second.Job);
    waits_.erase(it);
  }
  changed_.notify_all();
  settle->Complete(true);
  return TAckResult::kAcknowledged;
}

std::size_t TAcknowledgementWaits::Waiting() {
  std::lock_guard<std::mutex> guard(lock_);
  return waits_.size();
}

void TAcknowledgementWaits::EnsureTimer() {
  if (!timer_.joinable()) timer_ = std::thread([this] { RunTimer(); });
}

void TAcknowledgementWaits::RunTimer() {
  std::unique_lock<std::mutex> guard(lock_);
  while (!stopping_) {
    const std::int64_t now = AckClockMs();
    std::int64_t next = now + 60000;
    std::vector<std::shared_ptr<THeldExport>> due;
    for (auto it = waits_.begin(); it != waits_.end();) {
      const std::int64_t deadline = it->second.Job->AcknowledgementDeadline();
      if (it->second.State == TState::kAwaiting && deadline <= now) {
        due.push_back(std::move(it->second.Job));
        it = waits_.erase(it);
        continue;
      }
      if (it->second.State == TState::kAwaiting) next = std::min(next, deadline);
      ++it;
    }
    if (!due.empty()) {
      guard.unlock();
      for (const auto& job : due) {
        logging::FrameworkLogWarn("Export " + job->Record.Archive + " (" + job->Id() +
                                  ") was not acknowledged in time: it is put back");
        job->CompleteUnacknowledged();
      }
      guard.lock();
      continue;
    }
    changed_.wait_for(guard, std::chrono::milliseconds(next - now));
  }
}

TAcknowledgementWaits& AcknowledgementWaits() {
  static TAcknowledgementWaits* waits = new TAcknowledgementWaits();
  return *waits;
}

}  // namespace ostrivan::jobfiles

#pragma once
// Exports whose clients asked to acknowledge them (exactly once instead of at least
// once): such a job stays held after its reply until the client says it has the job on
// its disk, or until its wait runs out and it is put back. The wait is marked in the
// hold folder, so a restart in between keeps the job held too.
//
//   waits.Sent(job, deadline);        // reply about to go out
//   waits.Delivered(job->Id(), ok);   // the reply's fate, from the connection
//   waits.Acknowledge(id);            // the client's POST /ostrivan/ack/<id>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "jobfiles/held_export.h"

namespace ostrivan::jobfiles {

enum class TAckResult {
  kAcknowledged,  // the job is settled as delivered
  kUnknown,       // no job of that id waits: never sent so, settled already, or put back
};

class TAcknowledgementWaits {
 public:
  TAcknowledgementWaits() = default;
  ~TAcknowledgementWaits();
  TAcknowledgementWaits(const TAcknowledgementWaits&) = delete;
  TAcknowledgementWaits& operator=(const TAcknowledgementWaits&) = delete;

  // A job whose reply is about to go out with the acknowledgement asked for; marks its
  // hold. false when the mark cannot be written: the job is then settled by its reply's
  // delivery as any other, and nothing is registered.
  bool Sent(const std::shared_ptr<THeldExport>& job, std::int64_t deadline_ms);
  // The reply's fate. Not delivered and not acknowledged: put back at once, as any
  // undelivered reply. Delivered: held until acknowledged or the deadline.
  void Delivered(const std::string& id, bool delivered);
  // A hold found at start with its wait marked and not run out.
  void Resume(const std::shared_ptr<THeldExport>& job);
  // The client has the job: settled as delivered (journal, "sent", files removed). An
  // acknowledgement that overtakes the end of its own reply waits for that end.
  TAckResult Acknowledge(const std::string& id);
  // How many jobs wait for their acknowledgement now.
  std::size_t Waiting();

 private:
  enum class TState { kSending, kAcknowledgedEarly, kAwaiting, kSettling };
  struct TWait {
    std::shared_ptr<THeldExport> Job;
    TState State = TState::kSending;
  };
  void EnsureTimer();  // with lock_ held
  void RunTimer();

  std::mutex lock_;
  std::condition_variable changed_;
  std::map<std::string, TWait> waits_;
  std::thread timer_;
  bool stopping_ = false;
};

// The process's one table, never destroyed: a job in it stays held through the exit.
TAcknowledgementWaits& AcknowledgementWaits();

}  // namespace ostrivan::jobfiles

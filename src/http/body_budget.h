#pragma once
// One budget for the request bodies the server holds in memory at once. A body that
// does not fit waits unread, so TCP flow control holds its client back, until bodies
// that are done give their share back.
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace ostrivan::http {

class TBodyBudget;

// A share of the budget; gives it back when destroyed or reset.
class TBodyReservation {
 public:
  TBodyReservation() = default;
  TBodyReservation(TBodyBudget* budget, int64_t bytes) : budget_(budget), bytes_(bytes) {}
  TBodyReservation(TBodyReservation&& other) noexcept;
  TBodyReservation& operator=(TBodyReservation&& other) noexcept;
  ~TBodyReservation() { Reset(); }

  int64_t Bytes() const { return bytes_; }
  // Keeps only the first bytes of the share (a chunked body turned out smaller).
  void ShrinkTo(int64_t bytes);
  void Reset();

 private:
  TBodyBudget* budget_ = nullptr;
  int64_t bytes_ = 0;
};

class TBodyBudget {
 public:
  explicit TBodyBudget(int64_t capacity) : capacity_(capacity) {}

  int64_t Capacity() const;
  // For tests; a smaller capacity takes effect for later reservations.
  void SetCapacity(int64_t capacity);
  int64_t InUse() const;

  // Waits until bytes fit (a request larger than the whole budget waits until it is
  // the only one) and takes them. Returns an empty reservation when cancelled(), polled
  // whenever Wake() is called, says the wait is pointless.
  template <class Cancelled>
  TBodyReservation Reserve(int64_t bytes, Cancelled cancelled) {
    std::unique_lock<std::mutex> guard(lock_);
    if (bytes > capacity_) bytes = capacity_;
    changed_.wait(guard, [&] { return cancelled() || in_use_ + bytes <= capacity_; });
    if (cancelled()) return {};
    in_use_ += bytes;
    return TBodyReservation(this, bytes);
  }
  // Makes waiting reservations look at their cancel condition again.
  void Wake();

 private:
  friend class TBodyReservation;
  void Give(int64_t bytes);

  mutable std::mutex lock_;
  std::condition_variable changed_;
  int64_t capacity_;
  int64_t in_use_ = 0;
};

}  // namespace ostrivan::http

#include "http/body_budget.h"

#include <utility>

namespace ostrivan::http {

TBodyReservation::TBodyReservation(TBodyReservation&& other) noexcept
    : budget_(std::exchange(other.budget_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}

TBodyReservation& TBodyReservation::operator=(TBodyReservation&& other) noexcept {
  if (this != &other) {
    Reset();
    budget_ = std::exchange(other.budget_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

void TBodyReservation::ShrinkTo(int64_t bytes) {
  if (!budget_ || bytes >= bytes_) return;
  if (bytes < 0) bytes = 0;
  budget_->Give(bytes_ - bytes);
  bytes_ = bytes;
}

void TBodyReservation::Reset() {
  if (budget_ && bytes_ > 0) budget_->Give(bytes_);
  budget_ = nullptr;
  bytes_ = 0;
}

int64_t TBodyBudget::Capacity() const {
  std::lock_guard<std::mutex> guard(lock_);
  return capacity_;
}

void TBodyBudget::SetCapacity(int64_t capacity) {
  std::lock_guard<std::mutex> guard(lock_);
  capacity_ = capacity;
  changed_.notify_all();
}

int64_t TBodyBudget::InUse() const {
  std::lock_guard<std::mutex> guard(lock_);
  return in_use_;
}

void TBodyBudget::Wake() {
  std::lock_guard<std::mutex> guard(lock_);
  changed_.notify_all();
}

void TBodyBudget::Give(int64_t bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  in_use_ -= bytes;
  changed_.notify_all();
}

}  // namespace ostrivan::http

#include "http/stream.h"

#include <algorithm>
#include <cstring>

namespace ostrivan::http {

std::string TStream::ReadRemaining() {
  std::string out;
  char buffer[16384];
  for (;;) {
    int64_t n = Read(buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

std::string TStream::AllBytes() {
  int64_t saved = Position();
  SetPosition(0);
  std::string out = ReadRemaining();
  SetPosition(saved);
  return out;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || position_ >= Size()) return 0;
  int64_t n = std::min(count, Size() - position_);
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

void TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return;
  size_t end = static_cast<size_t>(position_ + count);
  if (end > data_.size()) data_.resize(end);
  std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
  position_ += count;
}

void TMemoryStream::SetPosition(int64_t position) { position_ = std::clamp<int64_t>(position, 0, Size()); }

}  // namespace ostrivan::http

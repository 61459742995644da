#pragma once
// An owned file descriptor, closed when its holder goes: every early return and
// exception path closes it without a hand-written close.
//   TFileDescriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
//   if (fd.get() < 0) return false;  // nothing to close
#include <unistd.h>

namespace ostrivan {

class TFileDescriptor {
 public:
  TFileDescriptor() : fd_(-1) {}
  explicit TFileDescriptor(int fd) : fd_(fd) {}
  ~TFileDescriptor() { reset(); }
  TFileDescriptor(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(const TFileDescriptor&) = delete;
  TFileDescriptor(TFileDescriptor&& other) noexcept : fd_(other.release()) {}
  TFileDescriptor& operator=(TFileDescriptor&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  // Closes the descriptor held, if any, and holds fd instead.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int get() const { return fd_; }
  // Hands the descriptor over; the holder no longer closes it.
  int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace ostrivan

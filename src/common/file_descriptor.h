#pragma once
// An owned file descriptor, closed when its holder goes: every early return and
// exception path closes it without a hand-written close.
//   TFileDescriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
//   if (fd.get() < 0) return false;  // nothing to close
#include <unistd.h>

namespace ostrivan {

class TFileDescriptor {
 public:
  explicit TFileDescriptor(int fd) : fd_(fd) {}
  ~TFileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFileDescriptor(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(const TFileDescriptor&) = delete;
  int get() const { return fd_; }
  // Hands the descriptor over; the holder no longer closes it.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace ostrivan

#pragma once
// Serialises job requests that work on the same directory, so that two clients never
// pack, send and empty the same job, nor unpack into a directory being emptied.
#include <memory>
#include <mutex>
#include <string>

namespace ostrivan::jobfiles {

class TDirectoryLock {
 public:
  // Blocks until no other job holds the directory. Different spellings of one
  // directory (trailing '/', "..", symbolic links) share the lock.
  explicit TDirectoryLock(const std::string& directory);
  // Takes the lock only when it is free now; Owns() tells.
  TDirectoryLock(const std::string& directory, std::try_to_lock_t);
  bool Owns() const { return lock_.owns_lock(); }

 private:
  std::shared_ptr<std::mutex> mutex_;
  std::unique_lock<std::mutex> lock_;
};

// The key a directory is locked under: its canonical path when it can be resolved.
std::string DirectoryLockKey(const std::string& directory);

}  // namespace ostrivan::jobfiles

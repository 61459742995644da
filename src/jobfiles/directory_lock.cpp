#include "jobfiles/directory_lock.h"

#include <filesystem>
#include <map>

namespace ostrivan::jobfiles {
namespace {

std::mutex g_registry_mutex;
// One entry per directory ever used; a workstation has two.
std::map<std::string, std::shared_ptr<std::mutex>>& Registry() {
  static std::map<std::string, std::shared_ptr<std::mutex>> registry;
  return registry;
}

}  // namespace

std::string DirectoryLockKey(const std::string& directory) {
  std::error_code ec;
  auto canonical = std::filesystem::weakly_canonical(std::filesystem::path(directory), ec);
  if (ec) return directory;
  std::string key = canonical.lexically_normal().string();
  while (key.size() > 1 && key.back() == '/') key.pop_back();
  return key;
}

namespace {
std::shared_ptr<std::mutex> MutexOf(const std::string& directory) {
  std::string key = DirectoryLockKey(directory);
  std::lock_guard<std::mutex> guard(g_registry_mutex);
  auto& slot = Registry()[key];
  if (!slot) slot = std::make_shared<std::mutex>();
  return slot;
}
}  // namespace

TDirectoryLock::TDirectoryLock(const std::string& directory) : mutex_(MutexOf(directory)) {
  lock_ = std::unique_lock<std::mutex>(*mutex_);
}

TDirectoryLock::TDirectoryLock(const std::string& directory, std::try_to_lock_t) : mutex_(MutexOf(directory)) {
  lock_ = std::unique_lock<std::mutex>(*mutex_, std::try_to_lock);
}

}  // namespace ostrivan::jobfiles

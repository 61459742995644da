#include "platform/file_system.h"

#include <atomic>

namespace ostrivan::platform {

namespace {

// nullptr: the system's. Read on every call from any thread, so an override installed
// by a test reaches the workers too.
std::atomic<TFileSystem*> g_files{nullptr};

}  // namespace

TFileSystem& Files() {
  TFileSystem* files = g_files.load(std::memory_order_acquire);
  return files != nullptr ? *files : SystemFiles();
}

TFileSystemOverride::TFileSystemOverride(TFileSystem& files)
    : previous_(g_files.exchange(&files, std::memory_order_acq_rel)) {}

TFileSystemOverride::~TFileSystemOverride() { g_files.store(previous_, std::memory_order_release); }

}  // namespace ostrivan::platform

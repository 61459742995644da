#pragma once
// Which files of the export tree a writer is still at work on, told by the system's
// change notices rather than by how long a file has been quiet: a machine that writes
// a program in bursts and pauses between them keeps it open, and a file modified and not
// closed since is still being written however long the pause.
//
// One watch covers a folder and every subfolder, new ones too as they appear. A file
// the watch has not seen modified since it began (it was there before, or its notices
// were lost) is unknown: the caller asks the older signals (a lease, the settle time).
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/file_system.h"

namespace ostrivan::jobfiles {

enum class TWriteSeen { kUnknown, kClosed, kWriting };

class TWriteWatch {
 public:
  TWriteWatch();
  ~TWriteWatch();
  TWriteWatch(const TWriteWatch&) = delete;
  TWriteWatch& operator=(const TWriteWatch&) = delete;

  // Watches dir's tree from now on; another folder watched before is let go, with what
  // was known of it. Does nothing when dir is already watched. false when the system
  // gives no watch (the caller then relies on the older signals alone).
  bool Watch(const std::string& dir);
  // What the watch has seen of path (a file below the watched folder), every notice
  // the system queued before this call counted.
  TWriteSeen StateOf(const std::string& path);

 private:
  struct TDirKey {
    std::uint64_t Device = 0;
    std::uint64_t Inode = 0;
    auto operator<=>(const TDirKey&) const = default;
  };
  void Reset();
  void AddTree(const std::string& dir);
  void Drain();  // with lock_ held
  void Handle(const platform::TChangeEvent& event);
  void Run();

  std::mutex lock_;
  std::unique_ptr<platform::TChangeWatch> watch_;  // none when the system gives none
  std::vector<platform::TChangeEvent> events_;
  std::string root_;
  TDirKey root_key_;
  std::map<int, std::pair<TDirKey, std::string>> dirs_;  // folder's watch -> its identity, path
  // Per folder identity and name: modified and not closed since (true), or closed.
  std::map<std::pair<TDirKey, std::string>, bool> files_;
  std::map<std::uint32_t, std::pair<TDirKey, std::pair<std::string, bool>>> moving_;  // cookie -> state
  std::thread reader_;
};

// The process's one watch over the export tree, started with the service.
TWriteWatch& ExportWriteWatch();

// true when a writer still has path open (a read lease is refused), or the export
// tree's watch saw it modified and not closed since. Where neither can tell, a file
// changed within settle_seconds counts as still being written.
bool StillBeingWritten(const std::string& path, int settle_seconds);

}  // namespace ostrivan::jobfiles

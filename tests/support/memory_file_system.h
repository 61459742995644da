#pragma once
// The whole file system interface kept in memory: folders, files, hard links, the
// read-only attribute, times and identities, moves with and without replacing. Fuzz
// targets and fault drivers install it (platform::TFileSystemOverride) so a job runs
// thousands of times a second without touching a disk.
//
// Paths are absolute, '/' separated; "." and ".." are taken lexically. Permissions are
// kept and reported but not enforced, as for the superuser: the job code checks the
// read-only attribute itself where the workstation would refuse. There are no symbolic
// links, pipes or devices; change watches are not offered (ENOSYS).
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace ostrivan::test_support {

class TMemoryFileSystem final : public platform::TFileSystem {
 public:
  // executable: what TryExecutablePath answers (its folder is made).
  explicit TMemoryFileSystem(std::string executable = "/opt/ostrivan/Ostrivan");
  ~TMemoryFileSystem() override;
  TMemoryFileSystem(const TMemoryFileSystem&) = delete;
  TMemoryFileSystem& operator=(const TMemoryFileSystem&) = delete;

  // Everything but "/" and the executable's folder goes.
  void Clear();

  TStatus TryOpen(const std::string& path, const platform::TOpenOptions& options,
                  std::unique_ptr<platform::TFile>& file) override;
  TStatus TryCreate(const std::string& path, const platform::TCreateOptions& options,
                    std::unique_ptr<platform::TFile>& file) override;
  TStatus TryInfo(const std::string& path, platform::TLinks links, platform::TFileInfo& info) override;
  TStatus TryCheckAccess(const std::string& path, platform::TAccess access) override;
  TStatus TryListFolder(const std::string& path, std::vector<platform::TFolderEntry>& entries) override;
  TStatus TryMakeFolder(const std::string& path, unsigned permissions) override;
  TStatus TryRemoveFolder(const std::string& path) override;
  TStatus TryRemoveFile(const std::string& path) override;
  TStatus TryRenameNoReplace(const std::string& from, const std::string& to) override;
  TStatus TryRenameReplacing(const std::string& from, const std::string& to) override;
  TStatus TryHardLink(const std::string& existing, const std::string& name) override;
  TStatus TrySetPermissions(const std::string& path, unsigned permissions) override;
  TStatus TrySetTimes(const std::string& path, std::optional<platform::TFileTime> accessed,
                      platform::TFileTime modified) override;
  TStatus TrySync(const std::string& path) override;
  TStatus TryFreeSpace(const std::string& path, std::uint64_t& bytes) override;
  TStatus TryCheckWriters(const std::string& path, platform::TWriters& writers) override;
  TStatus TryExecutablePath(std::string& path) override;
  // Always "/": a process in memory has no folder of its own.
  TStatus TryCurrentFolder(std::string& path) override;
  TStatus TryWatchChanges(std::unique_ptr<platform::TChangeWatch>& watch) override;

  struct TNode;

 private:
  friend class TMemoryFile;
  // The node at path's parent folder and the last name; ENOENT / ENOTDIR otherwise.
  TStatus ParentOf(const std::string& path, std::shared_ptr<TNode>& parent, std::string& name);
  TStatus Find(const std::string& path, std::shared_ptr<TNode>& node);
  TStatus Rename(const std::string& from, const std::string& to, bool replace);
  platform::TFileTime Now();

  std::recursive_mutex lock_;
  std::shared_ptr<TNode> root_;
  std::string executable_;
  std::uint64_t next_inode_ = 2;
  platform::TFileTime last_time_ = {};
};

}  // namespace ostrivan::test_support

#pragma once
// The names inside a hold folder and the store folders beside the executable, shared by
// the sources of the held export (its manifest, its hold and completion, its recovery
// at start and the kept folders). Not for use outside jobfiles.
#include <chrono>
#include <cstdint>
#include <string>

#include "jobfiles/job_files.h"
#include "platform/file_system.h"

namespace ostrivan::jobfiles::held_layout {

inline constexpr const char* kManifestName = "manifest";
inline constexpr const char* kManifestHeaderV1 = "ostrivan held export 1";
inline constexpr const char* kManifestHeader = "ostrivan held export 2";
inline constexpr const char* kDeliveredMark = "delivered";
inline constexpr const char* kAwaitingMark = "awaiting-ack";
inline constexpr const char* kPlacedName = "placed";
inline constexpr const char* kPlacedHeader = "ostrivan put-back 1";
// The job's journal line is in its file: a restart does not write it again.
inline constexpr const char* kJournalledMark = "journalled";
inline constexpr const char* kFilesFolder = "files";
inline constexpr const char* kHoldSuffix = ".ostrivan-held";
inline constexpr const char* kHoldRecordSuffix = ".hold";

inline std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

inline std::string StoreFolder(const char* name) { return JobStoreDirectory() + "/" + name; }

inline std::int64_t WallClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

inline std::string Quote(const std::string& path) { return "\"" + path + "\""; }

// Something is at path (a link not followed).
inline bool Present(const std::string& path) {
  platform::TFileInfo info;
  return static_cast<bool>(platform::Files().TryInfo(path, platform::TLinks::kDoNotFollow, info));
}
// What is at path, a link not followed: kMissing when nothing can be read there.
inline platform::TFileKind KindAt(const std::string& path) {
  platform::TFileInfo info;
  (void)platform::Files().TryInfo(path, platform::TLinks::kDoNotFollow, info);
  return info.Kind;
}

}  // namespace ostrivan::jobfiles::held_layout

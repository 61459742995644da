#pragma once
// The folders beside the executable where jobs are kept: "sent" (delivered exports, and
// what ROTTLER discarded), "unsent" (jobs that could not go back) and "received"
// (imported archives). Each keeps only its newest archives.
#include <cstddef>
#include <cstdint>
#include <string>

namespace ostrivan::jobfiles {

// Kept archives (delivered exports in "sent", received imports in "received"): the
// newest ones, within both limits.
inline constexpr std::size_t kSentKeepCount = 20;
inline constexpr std::int64_t kSentKeepBytes = 200LL * 1000 * 1000;
// What a kept folder keeps, as the parameter file sets it (TenutiNumero, TenutiMB).
struct TKeepLimits {
  std::size_t Count = kSentKeepCount;
  std::int64_t Bytes = kSentKeepBytes;
};

// Keeps the newest keep.Count regular files of dir (by modification time) within
// keep.Bytes; the newest stays even alone over the size limit.
void PruneKeptFolder(const std::string& dir, const TKeepLimits& keep = {});

// A copy of every imported archive in "received" beside the executable, so a job replaced
// on the machine can be sent again. The received archive's file is linked there while it
// still exists (no bytes copied); across file systems the bytes are written. Not having
// the copy fails no import: the job is in place.
class TReceivedCopy {
 public:
  // client_name: the archive's name as the client sent it; zip_path: the received file.
  TReceivedCopy(const std::string& client_name, const std::string& zip_path, const TKeepLimits& keep);
  ~TReceivedCopy();
  TReceivedCopy(const TReceivedCopy&) = delete;
  TReceivedCopy& operator=(const TReceivedCopy&) = delete;

  // Once the import is in place: the copy takes its name (archive: the bytes, for when
  // no link could be made), and "received" is pruned.
  void Keep(const std::string& archive);

 private:
  TKeepLimits keep_;
  std::string dir_;
  std::string path_;
  std::string partial_;
  int code_ = 0;
  bool linked_ = false;
  bool kept_ = false;
};

}  // namespace ostrivan::jobfiles

#pragma once
// The folders beside the executable where jobs are kept: "sent" (delivered exports, and
// what ROTTLER discarded), "unsent" (jobs that could not go back) and "received"
// (imported archives). Each keeps only its newest archives.
#include <cstddef>
#include <cstdint>
#include <string>

namespace ostrivan::jobs {

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

}  // namespace ostrivan::jobs

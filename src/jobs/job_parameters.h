#pragma once
// Where the job actions get their settings from. The host installs getters that read the
// parameter file on every call, so an edited file counts from the next request; the job
// code itself knows nothing of the file.
#include <cstdint>
#include <functional>
#include <string>

namespace ostrivan::jobs {

struct TJobParameters {
  std::function<std::string()> GetExportLavoroDir;
  std::function<std::string()> GetImportLavoroDir;
  std::function<std::int32_t()> GetNrMacchina;
  // Seconds a file must be quiet to count as written whole where nothing else tells.
  std::function<std::int32_t()> GetSettleSeconds;
  // Seconds a delivered export waits for the acknowledgement its client asked to give.
  std::function<std::int32_t()> GetAckWaitSeconds = {};
  // How many archives "sent" and "received" keep, and in how many megabytes at most.
  std::function<std::int32_t()> GetKeepCount = {};
  std::function<std::int32_t()> GetKeepMegabytes = {};
};

// Installs the process-wide getters (once, at start-up, before requests arrive).
void SetJobParameters(TJobParameters parameters);
// A copy of the installed getters; a getter never installed reads as empty text or 0,
// as a missing parameter file does.
TJobParameters JobParameters();

}  // namespace ostrivan::jobs

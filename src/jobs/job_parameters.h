#pragma once
// Where the job actions get their settings from, and the one object a job request is
// handed down with. The host gives getters that read the parameter file on every call,
// so an edited file counts from the next request; the job code itself knows nothing of
// the file.
#include <cstdint>
#include <functional>
#include <stop_token>
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

// The getters given, with those of the folders and the machine number that were not
// reading as empty text or 0, as a missing parameter file does.
TJobParameters WithDefaults(TJobParameters parameters);

// One job request as it is handed down from the controller: the settings, who asked,
// and the server's stop.
struct TJobCall {
  TJobParameters Parameters;
  std::string Client = {};  // the address a forwarding header names
  std::string Peer = {};    // the connection's own
  std::stop_token Stop = {};
};

}  // namespace ostrivan::jobs

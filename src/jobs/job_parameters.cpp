#include "jobs/job_parameters.h"

#include <mutex>

namespace ostrivan::jobs {
namespace {

std::mutex g_mutex;

TJobParameters& Installed() {
  static TJobParameters parameters;
  return parameters;
}

}  // namespace

void SetJobParameters(TJobParameters parameters) {
  std::lock_guard<std::mutex> guard(g_mutex);
  Installed() = std::move(parameters);
}

TJobParameters JobParameters() {
  TJobParameters copy;
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    copy = Installed();
  }
  if (!copy.GetExportLavoroDir) copy.GetExportLavoroDir = [] { return std::string(); };
  if (!copy.GetImportLavoroDir) copy.GetImportLavoroDir = [] { return std::string(); };
  if (!copy.GetNrMacchina) copy.GetNrMacchina = [] { return std::int32_t{0}; };
  return copy;
}

}  // namespace ostrivan::jobs

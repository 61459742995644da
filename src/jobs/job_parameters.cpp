#include "jobs/job_parameters.h"

namespace ostrivan::jobs {

TJobParameters WithDefaults(TJobParameters parameters) {
  if (!parameters.GetExportLavoroDir) parameters.GetExportLavoroDir = [] { return std::string(); };
  if (!parameters.GetImportLavoroDir) parameters.GetImportLavoroDir = [] { return std::string(); };
  if (!parameters.GetNrMacchina) parameters.GetNrMacchina = [] { return std::int32_t{0}; };
  return parameters;
}

}  // namespace ostrivan::jobs

#include "host/readiness.h"

#include "common/file_system.h"
#include "jobfiles/job_files.h"
#include "platform/file_system.h"

namespace ostrivan::host {

namespace {

bool Writable(const std::string& dir) { return platform::Files().TryCheckAccess(dir, platform::TAccess::kWrite).Ok(); }

}  // namespace

std::string JobDirectoryProblem(const std::string& key, const std::string& dir) {
  if (dir.empty()) return key + " is not set";
  platform::TFileInfo info;
  if (!platform::Files().TryInfo(dir, platform::TLinks::kFollow, info)) return key + " " + dir + " does not exist";
  if (info.Kind != platform::TFileKind::kFolder) return key + " " + dir + " is not a folder";
  if (!Writable(dir)) return key + " " + dir + " is not writable";
  return "";
}

std::vector<std::string> OwnFolderProblems() {
  std::vector<std::string> problems;
  for (const jobfiles::TFolderProblem& problem : jobfiles::ServiceFolderProblems())
    problems.push_back("service folder " + problem.Path + " " + problem.Detail);
  return problems;
}

TReadiness CheckReadiness(const std::string& export_dir, const std::string& import_dir) {
  TReadiness readiness;
  const std::string export_problem = JobDirectoryProblem("ExportLavoroDir", export_dir);
  const std::string import_problem = JobDirectoryProblem("ImportLavoroDir", import_dir);
  const std::vector<std::string> own = OwnFolderProblems();
  if (!export_problem.empty()) readiness.Problems.push_back(export_problem);
  if (!import_problem.empty()) readiness.Problems.push_back(import_problem);
  readiness.Problems.insert(readiness.Problems.end(), own.begin(), own.end());
  readiness.Export = export_problem.empty() && own.empty();
  readiness.Import = import_problem.empty() && own.empty();
  return readiness;
}

}  // namespace ostrivan::host

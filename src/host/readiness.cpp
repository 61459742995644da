#include "host/readiness.h"

#include <sys/stat.h>
#include <unistd.h>

#include "common/file_system.h"
#include "jobs/job_files.h"

namespace ostrivan::host {

namespace {

bool Writable(const std::string& dir) { return ::access(dir.c_str(), W_OK | X_OK) == 0; }

std::string Parent(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Empty when the folder is writable or could be made; else why not.
std::string FolderProblem(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) return "is not a folder";
    return Writable(path) ? "" : "is not writable";
  }
  std::string parent = path;
  for (;;) {
    const std::string up = Parent(parent);
    if (up == parent) return "cannot be created";
    parent = up;
    if (::stat(parent.c_str(), &st) == 0) break;
  }
  if (!S_ISDIR(st.st_mode) || !Writable(parent)) return "is missing and cannot be created in " + parent;
  return "";
}

}  // namespace

std::string JobDirectoryProblem(const std::string& key, const std::string& dir) {
  if (dir.empty()) return key + " is not set";
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) return key + " " + dir + " does not exist";
  if (!S_ISDIR(st.st_mode)) return key + " " + dir + " is not a folder";
  if (!Writable(dir)) return key + " " + dir + " is not writable";
  return "";
}

std::vector<std::string> OwnFolderProblems() {
  std::vector<std::string> problems;
  std::string logs = ExecutableDirectory() + "logs";
  const std::string store = jobs::JobStoreDirectory();
  for (const std::string& path :
       {logs, store + "/held", store + "/sent", store + "/unsent", store + "/received"}) {
    const std::string why = FolderProblem(path);
    if (!why.empty()) problems.push_back("service folder " + path + " " + why);
  }
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

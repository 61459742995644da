#pragma once
// Whether the jobs could run now, judged from the folders alone and without changing
// anything: the export and import directories, and the service's own folders beside
// the executable (logs/, held/, sent/, unsent/, received/).
#include <string>
#include <vector>

namespace ostrivan::host {

// Empty when dir is set, exists, is a directory and can be written; else why not, one
// line naming the key and the path.
std::string JobDirectoryProblem(const std::string& key, const std::string& dir);

// One line for each of the service's own folders that could not be written: an
// existing one that is not writable, or a missing one whose nearest existing parent is
// not.
std::vector<std::string> OwnFolderProblems();

struct TReadiness {
  bool Export = false;
  bool Import = false;
  std::vector<std::string> Problems;  // every reason found, export's first
};
TReadiness CheckReadiness(const std::string& export_dir, const std::string& import_dir);

}  // namespace ostrivan::host

#pragma once
// Scratch folders and whole files for every test folder and fuzz target. Failures throw
// std::runtime_error (a test that meets one fails; no test framework is needed, so the
// fuzz targets use them too). Example:
//   TempDir dir;                                  // /tmp/ostrivan-XXXXXX, removed at the end
//   WriteFile(dir / "programs/P1.NC", "G0 X0");   // makes programs/ as well
//   ReadFile(dir / "programs/P1.NC");             // "G0 X0"
#include <ctime>
#include <string>
#include <vector>

#include "support/file_shapes.h"

namespace ostrivan::test_support {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it, also the parts
// a test made read-only.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "ostrivan-");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const noexcept { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Removes path and everything below it, giving write access back first; a missing
// path is no failure. Symbolic links are removed, never followed.
void RemoveTree(const std::string& path);
// Writes content to path, replacing it and making its folders.
void WriteFile(const std::string& path, const std::string& content);
// The whole file; throws when it cannot be read, so a missing file never reads as "".
std::string ReadFile(const std::string& path);
// The whole file, or "" while it does not exist (yet): for polling another thread's file.
std::string ReadFileOrEmpty(const std::string& path);
// True for anything at path, a dangling symbolic link included.
bool FileExists(const std::string& path);
// Names of the entries directly in dir, in the order the folder gives them; none when
// it cannot be read.
std::vector<std::string> Names(const std::string& dir);
// Relative paths of all files below dir, sorted, with '/' separators.
std::vector<std::string> ListTree(const std::string& dir);
void SetModifiedTime(const std::string& path, std::time_t when);
// Read-only as the service sees it: every write bit clear.
void MakeReadOnly(const std::string& path);
bool IsReadOnly(const std::string& path);
// Clears the write bits or gives the owner's back.
void SetOwnerWritable(const std::string& path, bool writable);

}  // namespace ostrivan::test_support

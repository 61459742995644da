#pragma once
// Path texts, one rule each; '/' is the only separator (':' and '\' are name characters).
//   ParentFolder("a/b/c") == "a/b"    FileNameOf("a/b/P1.NC") == "P1.NC"
//   FileStem("a/b/P1.NC") == "P1"     JoinPath("a", "b") == "a/b"
#include <string>
#include <string_view>

namespace ostrivan {

// The folder above path: "a/b/c" -> "a/b", "/a" -> "/", "a" -> "." (also for "").
std::string ParentFolder(std::string_view path);
// What follows the last '/': "a/b/c" -> "c", "a/" -> "", "c" -> "c".
std::string FileNameOf(std::string_view path);
// The file name cut before its last '.', a leading one included, as the job archive is
// named: "a/P1.NC" -> "P1", "x.tar.gz" -> "x.tar", ".hidden" -> "", "P1" -> "P1".
std::string FileStem(std::string_view path);
// dir + '/' + name (no second '/' when dir ends in one); a name that is an absolute path
// stands alone, an empty dir gives the name. Either text holding a NUL fails with
// EArgumentException "Invalid characters in path".
std::string JoinPath(const std::string& dir, const std::string& name);
// Something has that name, whatever it is: lstat, so a dangling link exists.
bool PathExists(const std::string& path) noexcept;

}  // namespace ostrivan

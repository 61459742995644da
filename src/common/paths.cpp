#include "common/paths.h"

#include "common/error.h"
#include "platform/file_system.h"

namespace ostrivan {

std::string ParentFolder(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string FileNameOf(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string FileStem(std::string_view path) {
  std::string name = FileNameOf(path);
  const std::size_t dot = name.find_last_of('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.find('\0') != std::string::npos || name.find('\0') != std::string::npos)
    throw EArgumentException("Invalid characters in path");
  if (!name.empty() && name.front() == '/') return name;
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + '/' + name;
}

bool PathExists(const std::string& path) noexcept {
  platform::TFileInfo info;
  return platform::Files().TryInfo(path, platform::TLinks::kDoNotFollow, info).Ok();
}

}  // namespace ostrivan

#include "jobfiles/working_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>

#include "archive/zip_file.h"
#include "common/file_system.h"
#include "common/text.h"
#include "jobfiles/job_texts.h"

namespace ostrivan::jobfiles {

using archive::TZipFile;
using archive::TZipMode;
using archive::TZipSource;

namespace {

const char* const kInvalidPath = "Invalid characters in path";

class TDirHandle {
 public:
  explicit TDirHandle(DIR* dir) : dir_(dir) {}
  ~TDirHandle() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  TDirHandle(const TDirHandle&) = delete;
  TDirHandle& operator=(const TDirHandle&) = delete;
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

std::uint32_t UpperCodePoint(std::uint32_t cp) {
  if (cp >= 'a' && cp <= 'z') return cp - 0x20;
  if (cp < 0x80) return cp;
  if ((cp >= 0xE0 && cp <= 0xFE && cp != 0xF7)) return cp - 0x20;
  if (cp == 0xFF) return 0x178;
  if (cp >= 0x100 && cp <= 0x137 && (cp & 1) == 1) return cp - 1;
  if (cp >= 0x139 && cp <= 0x148 && (cp & 1) == 0) return cp - 1;
  if (cp >= 0x14A && cp <= 0x177 && (cp & 1) == 1) return cp - 1;
  if (cp == 0x17A || cp == 0x17C || cp == 0x17E) return cp - 1;
  if (cp >= 0x3B1 && cp <= 0x3C9 && cp != 0x3C2) return cp - 0x20;
  if (cp >= 0x430 && cp <= 0x44F) return cp - 0x20;
  if (cp >= 0x450 && cp <= 0x45F) return cp - 0x50;
  return cp;
}

// Doubled separators anywhere collapse to one: "a//b" -> "a/b".
std::string CollapseSeparators(const std::string& path) {
  std::string out;
  out.reserve(path.size());
  for (char c : path)
    if (!(c == '/' && !out.empty() && out.back() == '/')) out.push_back(c);
  return out;
}

std::string WithTrailingSeparator(const std::string& dir) {
  return !dir.empty() && dir.back() == '/' ? dir : dir + '/';
}

// Depth-first removal below a subdirectory of the working directory. Each entry gets
// its owner write permission back first (the platform's "normal" attributes), and
// anything that still cannot be removed stays without a word.
void RemoveTreeSilently(const std::string& dir) {
  ::chmod(dir.c_str(), S_IRWXU | S_IRGRP | S_IXGRP | S_IROTH | S_IXOTH);
  std::vector<TDirectoryEntry> entries;
  try {
    entries = ListDirectory(dir);
  } catch (const Exception&) {
  }
  for (const TDirectoryEntry& entry : entries) {
    const std::string path = WithTrailingSeparator(dir) + entry.Name;
    if (entry.IsDirectory) {
      RemoveTreeSilently(path);
      continue;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) ::chmod(path.c_str(), st.st_mode | S_IWUSR);
    ::unlink(path.c_str());
  }
  ::rmdir(dir.c_str());
}

// The walk of a tree being packed: every file, with its full path (doubled separators
// collapsed) and its name relative to the packed directory, as text.
void CollectTree(const std::string& dir, const std::string& relative, const std::string& zip_path,
                 const struct stat* zip_stat, std::vector<TZipSource>& sources) {
  for (const TDirectoryEntry& entry : ListDirectory(dir)) {
    const std::string full = CollapseSeparators(WithTrailingSeparator(dir) + entry.Name);
    const std::string name = relative + FileNameText(entry.Name);
    if (entry.IsDirectory) {
      CollectTree(full, name + '\\', zip_path, zip_stat, sources);
      continue;
    }
    // Only the archive itself is left out, under whatever spelling of its path; a name
    // that differs only in case is another file here.
    struct stat st {};
    if (zip_stat != nullptr
            ? ::stat(full.c_str(), &st) == 0 && st.st_dev == zip_stat->st_dev && st.st_ino == zip_stat->st_ino
            : full == zip_path)
      continue;
    sources.push_back({full, name});
  }
}

}  // namespace

std::string FileNameText(const std::string& name) {
  if (IsValidUtf8(name)) return name;
  return Latin1ToUtf8(name);
}

std::string UpperCaseText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t next = i;
    const char32_t cp = NextCodePoint(text, next);
    if (cp == kReplacementCharacter && next == i + 1) {
      out.push_back(text[i]);  // not UTF-8: keep the byte as it is
    } else if (const char32_t up = UpperCodePoint(cp); up == cp) {
      out.append(text, i, next - i);
    } else {
      AppendUtf8(out, up);
    }
    i = next;
  }
  return out;
}

bool SameTextIgnoringCase(const std::string& a, const std::string& b) { return UpperCaseText(a) == UpperCaseText(b); }

std::vector<TDirectoryEntry> ListDirectory(const std::string& dir) {
  if (dir.find('\0') != std::string::npos) throw EArgumentException(kInvalidPath);
  TDirHandle handle(::opendir(dir.c_str()));
  if (handle.get() == nullptr) {
    if (errno == ENOENT || errno == ENOTDIR)
      throw EDirectoryNotFoundException("The specified path was not found", dir, errno);
    throw MakeOSError(errno, dir);
  }
  std::vector<std::pair<std::string, TDirectoryEntry>> keyed;
  for (;;) {
    errno = 0;
    dirent* d = ::readdir(handle.get());
    if (d == nullptr) {
      if (errno != 0) throw MakeOSError(errno, dir);
      break;
    }
    std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    bool is_dir = d->d_type == DT_DIR;
    bool other = d->d_type != DT_DIR && d->d_type != DT_REG;
    if (d->d_type == DT_UNKNOWN) {
      struct stat st {};
      const bool known = ::fstatat(::dirfd(handle.get()), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
      is_dir = known && S_ISDIR(st.st_mode);
      other = known && !is_dir && !S_ISREG(st.st_mode);
    }
    keyed.push_back({UpperCaseText(name), TDirectoryEntry{std::move(name), is_dir, other}});
  }
  // Names equal but for case (possible here, not on the workstation's file system) keep a
  // fixed order by their raw bytes.
  std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second.Name < b.second.Name;
  });
  std::vector<TDirectoryEntry> entries;
  entries.reserve(keyed.size());
  for (auto& k : keyed) entries.push_back(std::move(k.second));
  return entries;
}

std::vector<std::string> ListFiles(const std::string& dir) {
  std::vector<std::string> files;
  for (TDirectoryEntry& entry : ListDirectory(dir))
    if (!entry.IsDirectory && !entry.IsOther) files.push_back(std::move(entry.Name));
  return files;
}

void EmptyDirectory(const std::string& dir, const std::string& keep, const std::string& aside) {
  const auto moved_aside = [&](const std::string& path, const std::string& name) {
    return !aside.empty() && ::rename(path.c_str(), JoinPath(aside, name).c_str()) == 0;
  };
  try {
    const std::vector<TDirectoryEntry> entries = ListDirectory(dir);
    for (const TDirectoryEntry& entry : entries) {
      if (!entry.IsDirectory || (!keep.empty() && entry.Name == keep)) continue;
      const std::string path = JoinPath(dir, entry.Name);
      if (!moved_aside(path, entry.Name)) RemoveTreeSilently(path);
    }
    for (const TDirectoryEntry& entry : entries) {
      if (entry.IsDirectory || (!keep.empty() && entry.Name == keep)) continue;
      const std::string path = JoinPath(dir, entry.Name);
      // Files directly in the directory keep their attributes: a read-only one is refused,
      // as the workstation platform refuses it, even where the kernel would allow it.
      struct stat st {};
      if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && IsReadOnlyMode(st.st_mode))
        throw MakeOSError(EACCES, path);
      if (!moved_aside(path, entry.Name) && ::unlink(path.c_str()) != 0) throw MakeOSError(errno, path);
    }
  } catch (Exception& e) {
    e.SetMessage(texts::EmptyingFailed(dir));
    throw;
  }
}

void PackDirectoryTree(const std::string& dir, const std::string& zip_path) {
  TZipFile zip;  // outlives the handler below: the entries added so far still get a directory
  try {
    const std::string base = WithTrailingSeparator(dir);
    zip.Open(zip_path, TZipMode::zmWrite);
    struct stat zip_stat {};
    const bool have_stat = ::stat(zip_path.c_str(), &zip_stat) == 0;
    std::vector<TZipSource> sources;
    std::exception_ptr walk_error;
    try {
      CollectTree(base, "", CollapseSeparators(zip_path), have_stat ? &zip_stat : nullptr, sources);
    } catch (const Exception&) {
      walk_error = std::current_exception();  // add what was found before the failure
    }
    zip.AddFiles(sources);
    if (walk_error) std::rethrow_exception(walk_error);
    zip.Close();
  } catch (Exception& e) {
    e.SetMessage(texts::PackingFailed(e.Message()));
    throw;
  }
}

void PackOneFile(const std::string& dir, const std::string& zip_path) {
  const std::vector<std::string> files = ListFiles(dir);
  if (files.empty()) throw Exception(texts::NoFileInDirectory(dir));
  TZipFile zip;
  try {
    const std::string source = JoinPath(dir, files.front());
    // Creating the archive would truncate the very file it is meant to hold.
    if (UpperCaseText(CollapseSeparators(source)) == UpperCaseText(CollapseSeparators(zip_path)))
      throw archive::EZipException("The archive cannot contain itself: \"" + source + "\"");
    zip.Open(zip_path, TZipMode::zmWrite);
    zip.Add(source, FileNameText(files.front()));
    zip.Close();
  } catch (Exception& e) {
    e.SetMessage(texts::PackingFailed(e.Message()));
    throw;
  }
}

void UnpackArchive(const std::string& zip_path, const std::string& dir) {
  TZipFile zip;
  try {
    zip.Open(zip_path, TZipMode::zmRead);
    zip.ExtractAll(dir);
    zip.Close();
  } catch (Exception& e) {
    e.SetMessage(texts::UnpackingFailed(e.Message()));
    throw;
  }
}

}  // namespace ostrivan::jobfiles

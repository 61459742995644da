#include "support/scratch_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ostrivan::test_support {

namespace {

void MakeFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
      throw std::runtime_error("cannot make " + folder + ": " + std::strerror(errno));
  }
}

void ListInto(const std::string& root, const std::string& rel, std::vector<std::string>& out) {
  for (const std::string& n : Names(rel.empty() ? root : root + "/" + rel)) {
    const std::string r = rel.empty() ? n : rel + "/" + n;
    struct stat st {};
    ::lstat((root + "/" + r).c_str(), &st);
    if (S_ISDIR(st.st_mode)) ListInto(root, r, out);
    else out.push_back(r);
  }
}

}  // namespace

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
  }
  return names;
}

TempDir::TempDir(const std::string& prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + pattern);
  path_ = pattern;
}

TempDir::~TempDir() { RemoveTree(path_); }

void RemoveTree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    ::chmod(path.c_str(), 0700);
    for (const std::string& n : Names(path)) RemoveTree(path + "/" + n);
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

void WriteFile(const std::string& path, const std::string& content) {
  MakeFolders(path);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string ReadFileOrEmpty(const std::string& path) { return FileExists(path) ? ReadFile(path) : std::string(); }

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListTree(const std::string& dir) {
  std::vector<std::string> out;
  ListInto(dir, "", out);
  std::sort(out.begin(), out.end());
  return out;
}

void SetModifiedTime(const std::string& path, std::time_t when) {
  struct timespec times[2] = {{when, 0}, {when, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

void MakeReadOnly(const std::string& path) { ::chmod(path.c_str(), 0444); }

bool IsReadOnly(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
}

void SetOwnerWritable(const std::string& path, bool writable) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("stat failed: " + path);
  const mode_t mode = writable ? (st.st_mode | S_IWUSR) : (st.st_mode & ~mode_t{S_IWUSR | S_IWGRP | S_IWOTH});
  ::chmod(path.c_str(), mode & 07777);
}

}  // namespace ostrivan::test_support

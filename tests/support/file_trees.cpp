#include "support/file_trees.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <vector>

namespace ostrivan::test_support {

bool TryReadAllOn(platform::TFileSystem& files, const std::string& path, std::string& bytes) {
  bytes.clear();
  std::unique_ptr<platform::TFile> file;
  if (!files.TryOpen(path, {}, file)) return false;
  char buffer[65536];
  for (;;) {
    std::size_t got = 0;
    if (!file->TryRead(buffer, sizeof buffer, got)) {
      bytes.clear();
      return false;
    }
    if (got == 0) return true;
    bytes.append(buffer, got);
  }
}

std::string ReadAllOn(platform::TFileSystem& files, const std::string& path) {
  std::string bytes;
  if (!TryReadAllOn(files, path, bytes)) throw std::runtime_error("cannot read " + path);
  return bytes;
}

void WriteAllOn(platform::TFileSystem& files, const std::string& path, const std::string& bytes, unsigned permissions) {
  std::unique_ptr<platform::TFile> file;
  if (!files.TryCreate(path, {.Permissions = permissions}, file) || !file->TryWrite(bytes) || !file->TryClose() ||
      !files.TrySetPermissions(path, permissions))
    throw std::runtime_error("cannot write " + path);
}

void MakeFoldersOn(platform::TFileSystem& files, const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string at = path.substr(0, slash);
    if (const TStatus made = files.TryMakeFolder(at, 0755); !made && made.Code() != EEXIST)
      throw std::runtime_error("cannot make " + at);
    if (slash == std::string::npos) return;
  }
}

void RemoveAllOn(platform::TFileSystem& files, const std::string& path) {
  platform::TFileInfo info;
  if (!files.TryInfo(path, platform::TLinks::kDoNotFollow, info)) return;
  if (info.Kind == platform::TFileKind::kFolder) {
    std::vector<platform::TFolderEntry> entries;
    (void)files.TryListFolder(path, entries);
    for (const platform::TFolderEntry& e : entries) RemoveAllOn(files, path + "/" + e.Name);
    (void)files.TryRemoveFolder(path);
  } else {
    (void)files.TryRemoveFile(path);
  }
}

namespace {

void TreeInto(platform::TFileSystem& files, const std::string& root, const std::string& relative, bool folders,
              std::map<std::string, std::string>& out) {
  std::vector<platform::TFolderEntry> entries;
  if (!files.TryListFolder(relative.empty() ? root : root + "/" + relative, entries)) return;
  for (const platform::TFolderEntry& e : entries) {
    const std::string rel = relative.empty() ? e.Name : relative + "/" + e.Name;
    platform::TFileInfo info;
    if (!files.TryInfo(root + "/" + rel, platform::TLinks::kDoNotFollow, info)) continue;
    if (info.Kind == platform::TFileKind::kFolder) {
      if (folders) out[rel + "/"] = "";
      TreeInto(files, root, rel, folders, out);
    } else {
      std::string bytes;
      (void)TryReadAllOn(files, root + "/" + rel, bytes);
      out[rel] = bytes;
    }
  }
}

}  // namespace

std::map<std::string, std::string> TreeOn(platform::TFileSystem& files, const std::string& root, bool folders) {
  std::map<std::string, std::string> tree;
  TreeInto(files, root, "", folders, tree);
  return tree;
}

std::vector<std::string> NamesOn(platform::TFileSystem& files, const std::string& dir) {
  std::vector<platform::TFolderEntry> entries;
  std::vector<std::string> names;
  if (!files.TryListFolder(dir, entries)) return names;
  for (const platform::TFolderEntry& e : entries) names.push_back(e.Name);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace ostrivan::test_support

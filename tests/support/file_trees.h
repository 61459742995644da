#pragma once
// Whole files and trees through a chosen file system (platform::Files() by default), so
// a test or fuzz target lays and reads its files wherever its code under test works:
// on the disk or in memory. Failures throw std::runtime_error naming the path.
#include <map>
#include <string>

#include "platform/file_system.h"

namespace ostrivan::test_support {

std::string ReadAllOn(platform::TFileSystem& files, const std::string& path);
// false when the file cannot be read (bytes then empty).
bool TryReadAllOn(platform::TFileSystem& files, const std::string& path, std::string& bytes);
void WriteAllOn(platform::TFileSystem& files, const std::string& path, const std::string& bytes,
                unsigned permissions = 0644);
// The folder and every missing one above it.
void MakeFoldersOn(platform::TFileSystem& files, const std::string& path);
// path and everything below it; nothing when it is not there.
void RemoveAllOn(platform::TFileSystem& files, const std::string& path);
// Every file below root by relative path ('/' separated), with its bytes; with folders,
// every folder too as "<path>/" -> "".
std::map<std::string, std::string> TreeOn(platform::TFileSystem& files, const std::string& root, bool folders = false);
// The names directly in dir, sorted; none when it cannot be listed.
std::vector<std::string> NamesOn(platform::TFileSystem& files, const std::string& dir);

}  // namespace ostrivan::test_support

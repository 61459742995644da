#pragma once
// The file-system work behind the export and import jobs: emptying a working
// directory, packing a tree or one file into an archive, and unpacking an archive.
// Each operation reports a failure with the service's own Italian message.
#include <string>
#include <vector>

#include "common/error.h"
#include "common/paths.h"

namespace ostrivan::jobfiles {

OSTRIVAN_DECLARE_EXCEPTION(EDirectoryNotFoundException, Exception);

struct TDirectoryEntry {
  std::string Name;
  bool IsDirectory = false;  // a real directory; links are never treated as one
  bool IsOther = false;      // neither a regular file nor a directory: a link, pipe, socket
};

// All entries but "." and "..", sorted by their upper-cased names so that "the first
// file" is the same on every run. A missing directory fails with
// "The specified path was not found".
std::vector<TDirectoryEntry> ListDirectory(const std::string& dir);
// The regular files among them: links, pipes and sockets are no job's files.
std::vector<std::string> ListFiles(const std::string& dir);

// A name from the file system as text: valid UTF-8 stays as it is, anything else is
// read as Latin-1 ("P\xe8.NC" -> "P\xc3\xa8.NC"), so it can go into an archive and a reply.
std::string FileNameText(const std::string& name);
// Upper-cases ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic letters; the
// comparison that stands in for a case-insensitive file system.
std::string UpperCaseText(const std::string& text);
bool SameTextIgnoringCase(const std::string& a, const std::string& b);

// Removes every subdirectory tree (silently keeping what cannot go) and every file
// directly in dir; a read-only file directly in dir fails the operation with
// "Fallita eliminazione contenuto <dir>". An entry named keep (the import's staging
// folder) is left alone. With aside (a folder on the same file system), the entries are
// moved there under the same rules instead, for removal later; one that cannot be moved
// is removed in place.
void EmptyDirectory(const std::string& dir, const std::string& keep = "", const std::string& aside = "");
// Packs every file below dir (depth first, listing order) into zip_path with names
// relative to dir using backslashes; the archive itself (the same file) is skipped.
// Entry names are text (FileNameText); files are read by their real names.
void PackDirectoryTree(const std::string& dir, const std::string& zip_path);
// Packs the first file directly in dir, under its bare name, into zip_path.
void PackOneFile(const std::string& dir, const std::string& zip_path);
// Extracts every entry of zip_path into dir.
void UnpackArchive(const std::string& zip_path, const std::string& dir);

}  // namespace ostrivan::jobfiles

#pragma once
// Folders and files moved or written so that a kill or a full disk never leaves a cut
// file under its name: durable writes, moves that never overwrite, whole trees flushed
// or removed. Every call goes through platform::Files().
//   if (const TStatus moved = TryMoveNoReplace(from, to); !moved) ...  // EEXIST: name taken
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/status.h"

namespace ostrivan {

// Flushes a file or a directory (its entries) to disk.
TStatus TrySyncPath(const std::string& path);
// Flushes every file and folder of the tree at path (path included), several at a time
// so that the device's waits overlap; nothing else on the file system is waited for.
// Fails with the first error met.
TStatus TrySyncTreeConcurrently(const std::string& path, unsigned threads = 8);
// Writes text to path.tmp, flushes it and renames it over path, then flushes the folder,
// so a reader finds the old file or the whole new one, after a power loss too. Raises
// EOSError.
void WriteFileDurably(const std::string& path, const std::string& text);
// The same, without raising.
TStatus TryWriteFileDurably(const std::string& path, const std::string& text);
// Creates dir and every missing parent (mode for the new ones). Something other than a
// folder in the way fails, with EACCES when the system gave no other reason.
TStatus TryMakeDirectories(const std::string& dir, unsigned mode = 0777);
// Removes a tree without asking: write permission is given back where needed. Returns
// false when something stayed.
bool RemoveTree(const std::string& path);
// The same, with the files unlinked on several threads at once and each level of
// folders removed together: where freeing blocks waits on the device (online discard),
// the waits overlap instead of adding up.
bool RemoveTreeConcurrently(const std::string& path, unsigned threads = 8);
// The names in dir ("." and ".." left out), sorted; empty when it cannot be read.
std::vector<std::string> NamesIn(const std::string& dir);
// Moves a file to a name that must not exist yet; across file systems it copies (bytes,
// mode and times) under PartialCopyName(to), flushes it, renames it to its name and
// removes the source. EEXIST when the target is taken; a source that cannot be removed
// fails the move and its copy goes again.
TStatus TryMoveNoReplace(const std::string& from, const std::string& to);
// A rename that never overwrites, on one file system (EXDEV across two).
TStatus TryRenameNoReplace(const std::string& from, const std::string& to);
// "dir/.name.ostrivan-partial" for "dir/name": where a copy lies until it is whole.
std::string PartialCopyName(const std::string& to);
// The two halves of a move's copy, for a caller that needs every copy whole before any
// takes its name. The first copies a regular file (bytes, mode, times) to
// PartialCopyName(to) and flushes it, filling copied with the copy's information; the
// copy is removed when it fails. The second renames the partial copy to its name, never
// over a file there (EEXIST), and flushes the folder.
TStatus TryCopyUnderPartialName(const std::string& from, const std::string& to);
TStatus TryCopyUnderPartialName(const std::string& from, const std::string& to, platform::TFileInfo& copied);
TStatus TryNamePartialCopy(const std::string& to);

}  // namespace ostrivan

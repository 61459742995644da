#pragma once
// Every text a job's reply can carry in Messaggio, worded as the workstation's operators
// know them, in one place: each a function of what it names. A failed step's text is its
// prefix, one blank, then the cause ("Fallita compressione zip " + cause).
#include <string>

namespace ostrivan::jobfiles::texts {

// "Fallita compressione zip <cause>": packing the export failed.
std::string PackingFailed(const std::string& cause);
// "Fallita extrazione .zip <cause>": unpacking the import failed.
std::string UnpackingFailed(const std::string& cause);
// "Fallita eliminazione contenuto <dir>": the directory could not be emptied.
std::string EmptyingFailed(const std::string& dir);

// Causes of a failed packing.
// "Impossibile creare la cartella "<dir>". <reason>"
std::string FolderNotCreated(const std::string& dir, const std::string& reason);
// "Impossibile leggere la cartella "<dir>". <reason>"
std::string FolderNotRead(const std::string& dir, const std::string& reason);
// "File modificato durante la compressione: "<path>""
std::string FileChangedWhilePacking(const std::string& path);
// "Nome ripetuto nell'archivio: "<entry>""
std::string RepeatedEntryName(const std::string& entry);

// The checks before a job begins.
// "Directory <key> non specificata": the parameter file names no directory.
std::string DirectoryNotSet(const std::string& key);
// "Directory <dir> non trovata"
std::string DirectoryNotFound(const std::string& dir);
// "Nessun file trovato in <dir>": the export directory holds nothing to export.
std::string NothingToExport(const std::string& dir);
// "Directory "<folder>" non trovata in <path>"
std::string FolderNotFoundIn(const std::string& folder, const std::string& path);
// "Nessun file trovato nella directory "<folder>" in <path>"
std::string NoFileInFolderIn(const std::string& folder, const std::string& path);
// "Nessun file trovato nella directory "<dir>""
std::string NoFileInDirectory(const std::string& dir);
// True for any of the three "Nessun file trovato ..." texts above: a reply that says
// nothing was waiting, as the client tells it apart from a failure.
bool SaysNothingFound(const std::string& message);
// "Modo gestione file non impostato"
std::string ModeNotSet();
// "Modo gestione file "<mode>" non riconosciuto"
std::string ModeNotRecognised(const std::string& mode);

// What a job reply means for a program, from its message (the outcome header asked for
// with "X-Ostrivan-Outcome: yes"): "done", "nothing-waiting" (no file to send, in the
// folder or where the mode looks), "retry-later" (a file
// still being written), "refused" (the request names no usable mode) or "failed".
const char* ReplyOutcome(bool failed, const std::string& message);

}  // namespace ostrivan::jobfiles::texts

#include "jobfiles/job_texts.h"

namespace ostrivan::jobfiles::texts {

namespace {
std::string InQuotes(const std::string& text) { return "\"" + text + "\""; }
}  // namespace

std::string PackingFailed(const std::string& cause) { return "Fallita compressione zip " + cause; }
std::string UnpackingFailed(const std::string& cause) { return "Fallita extrazione .zip " + cause; }
std::string EmptyingFailed(const std::string& dir) { return "Fallita eliminazione contenuto " + dir; }

std::string FolderNotCreated(const std::string& dir, const std::string& reason) {
  return "Impossibile creare la cartella " + InQuotes(dir) + ". " + reason;
}
std::string FolderNotRead(const std::string& dir, const std::string& reason) {
  return "Impossibile leggere la cartella " + InQuotes(dir) + ". " + reason;
}
std::string FileChangedWhilePacking(const std::string& path) {
  return "File modificato durante la compressione: " + InQuotes(path);
}
std::string RepeatedEntryName(const std::string& entry) { return "Nome ripetuto nell'archivio: " + InQuotes(entry); }

std::string DirectoryNotSet(const std::string& key) { return "Directory " + key + " non specificata"; }
std::string DirectoryNotFound(const std::string& dir) { return "Directory " + dir + " non trovata"; }
std::string NothingToExport(const std::string& dir) { return "Nessun file trovato in " + dir; }
std::string FolderNotFoundIn(const std::string& folder, const std::string& path) {
  return "Directory " + InQuotes(folder) + " non trovata in " + path;
}
std::string NoFileInFolderIn(const std::string& folder, const std::string& path) {
  return "Nessun file trovato nella directory " + InQuotes(folder) + " in " + path;
}
std::string NoFileInDirectory(const std::string& dir) { return "Nessun file trovato nella directory " + InQuotes(dir); }
bool SaysNothingFound(const std::string& message) { return message.starts_with("Nessun file trovato"); }
std::string ModeNotSet() { return "Modo gestione file non impostato"; }
std::string ModeNotRecognised(const std::string& mode) {
  return "Modo gestione file " + InQuotes(mode) + " non riconosciuto";
}

const char* ReplyOutcome(bool failed, const std::string& message) {
  if (!failed) return "done";
  // Each message's fixed part, up to where its argument goes.
  const auto begins = [&message](const std::string& text_with_empty_argument, std::size_t argument_quoted) {
    const std::string head = text_with_empty_argument.substr(0, text_with_empty_argument.size() - argument_quoted);
    return message.rfind(head, 0) == 0;
  };
  // No file to send, in the folder or where the mode looks for one ("...nella directory
  // "<dir>"" and "...nella directory "programs" in <path>" share their head).
  if (begins(NothingToExport(""), 0) || begins(NoFileInDirectory(""), 1)) return "nothing-waiting";
  if (begins(PackingFailed(FileChangedWhilePacking("")), 1)) return "retry-later";
  if (message == ModeNotSet() || begins(ModeNotRecognised(""), std::string("\" non riconosciuto").size()))
    return "refused";
  return "failed";
}

}  // namespace ostrivan::jobfiles::texts

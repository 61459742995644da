// Every text a job's reply can carry, pinned byte for byte: clients and operators match
// on these words, so a change here is a change of the service's replies.
#include "jobfiles/job_texts.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace ostrivan::jobfiles::texts {
namespace {

TEST(JobTexts, EveryEntryWithSampleArguments) {
  struct Case {
    const char* name;
    std::function<std::string()> text;
    std::string expected;
  };
  const std::string dir = "/srv/cnc/export";
  const Case cases[] = {
      {"PackingFailed", [] { return PackingFailed("x"); }, "Fallita compressione zip x"},
      {"UnpackingFailed", [] { return UnpackingFailed("Stream write error"); },
       "Fallita extrazione .zip Stream write error"},
      {"EmptyingFailed", [&] { return EmptyingFailed(dir); }, "Fallita eliminazione contenuto /srv/cnc/export"},
      {"FolderNotCreated", [] { return FolderNotCreated("/a b/held", "Permission denied"); },
       "Impossibile creare la cartella \"/a b/held\". Permission denied"},
      {"FolderNotRead", [] { return FolderNotRead("/x/sub", "Permission denied"); },
       "Impossibile leggere la cartella \"/x/sub\". Permission denied"},
      {"FileChangedWhilePacking", [] { return FileChangedWhilePacking("/x/programs/P1.NC"); },
       "File modificato durante la compressione: \"/x/programs/P1.NC\""},
      {"RepeatedEntryName", [] { return RepeatedEntryName("programs\\P\xC3\xA8.NC"); },
       "Nome ripetuto nell'archivio: \"programs\\P\xC3\xA8.NC\""},
      {"DirectoryNotSet", [] { return DirectoryNotSet("ExportLavoroDir"); },
       "Directory ExportLavoroDir non specificata"},
      {"DirectoryNotFound", [&] { return DirectoryNotFound(dir); }, "Directory /srv/cnc/export non trovata"},
      {"NothingToExport", [&] { return NothingToExport(dir); }, "Nessun file trovato in /srv/cnc/export"},
      {"FolderNotFoundIn", [] { return FolderNotFoundIn("programs", "/x/programs"); },
       "Directory \"programs\" non trovata in /x/programs"},
      {"NoFileInFolderIn", [] { return NoFileInFolderIn("programs", "/x/Programs"); },
       "Nessun file trovato nella directory \"programs\" in /x/Programs"},
      {"NoFileInDirectory", [&] { return NoFileInDirectory(dir); },
       "Nessun file trovato nella directory \"/srv/cnc/export\""},
      {"ModeNotSet", [] { return ModeNotSet(); }, "Modo gestione file non impostato"},
      {"ModeNotRecognised", [] { return ModeNotRecognised("newen"); }, "Modo gestione file \"newen\" non riconosciuto"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.text(), c.expected) << c.name;
}

// A failed step's text wraps its cause as given: the two nest as the replies show them.
TEST(JobTexts, StepsWrapTheirCauseUnchanged) {
  EXPECT_EQ(PackingFailed(FileChangedWhilePacking("/j/a.txt")),
            "Fallita compressione zip File modificato durante la compressione: \"/j/a.txt\"");
  EXPECT_EQ(PackingFailed(RepeatedEntryName("a\\b")), "Fallita compressione zip Nome ripetuto nell'archivio: \"a\\b\"");
  EXPECT_EQ(PackingFailed(FolderNotCreated("/h", "No space left on device")),
            "Fallita compressione zip Impossibile creare la cartella \"/h\". No space left on device");
  EXPECT_EQ(EmptyingFailed(""), "Fallita eliminazione contenuto ");
}

}  // namespace
}  // namespace ostrivan::jobfiles::texts

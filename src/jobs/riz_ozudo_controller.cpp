#include "jobs/riz_ozudo_controller.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "archive/zip_file.h"
#include "common/error.h"
#include "http/tcp_server.h"
#include "jobs/directory_lock.h"
#include "jobs/working_directory.h"

namespace ostrivan::jobs {

using namespace ostrivan::web;

namespace {

const char* const kProgramsDir = "programs";
const char* const kImportArchiveName = "Lavoro.zip";

bool IsExistingDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// The "programs" subdirectory of an export. The workstation's file system ignores case,
// so a job written with "Programs" is still found; the exact spelling wins.
std::string ProgramsDirectory(const std::string& dir, const std::vector<TDirectoryEntry>& entries) {
  const std::string exact = JoinPath(dir, kProgramsDir);
  if (IsExistingDirectory(exact)) return exact;
  for (const TDirectoryEntry& entry : entries)
    if (entry.IsDirectory && SameTextIgnoringCase(entry.Name, kProgramsDir)) return JoinPath(dir, entry.Name);
  return exact;
}

// Packing that fails leaves no half-written archive behind: a later export would
// otherwise carry it inside its own archive. An archive path that already held a
// file before packing is left alone, as that file was not ours.
template <class Pack>
void PackRemovingPartialArchive(const std::string& zip_path, Pack pack) {
  const bool existed = Exists(zip_path);
  try {
    pack();
  } catch (...) {
    if (!existed) ::unlink(zip_path.c_str());
    throw;
  }
}

// Runs one job step sequence and turns any failure into the reply's message.
template <class Reply, class Work>
void RunGuarded(Reply& reply, Work work) {
  try {
    work();
  } catch (const Exception& e) {
    reply.FErrore = true;
    reply.FMessaggio = FileNameText(e.Message());  // may quote a file name that is not UTF-8
  } catch (const std::bad_alloc&) {
    reply.FErrore = true;
    reply.FMessaggio = "Out of memory";
  } catch (const std::exception& e) {
    reply.FErrore = true;
    reply.FMessaggio = e.what();
  }
}

}  // namespace

void ExportLavoroJob(const TRizOzudoExportLavoroRequest& request, TRizOzudoExportLavoroResponse& reply,
                     const TJobParameters& parameters) {
  RunGuarded(reply, [&] {
    const std::string dir = parameters.GetExportLavoroDir();
    if (dir.empty()) throw Exception("Directory ExportLavoroDir non specificata");
    // Held until the directory is emptied: a second client sees either the whole job
    // or none of it, never a half-written archive or files vanishing under it.
    TDirectoryLock lock(dir);
    // A stop that came while this job waited for the directory: it has not begun, so
    // it ends unanswered and the client knows nothing was done.
    if (http::StopUnderWay()) http::AbandonRequest();
    if (!IsExistingDirectory(dir)) throw Exception("Directory " + dir + " non trovata");
    const std::vector<TDirectoryEntry> entries = ListDirectory(dir);
    if (entries.empty()) throw Exception("Nessun file trovato in " + dir);
    if (request.FModoGestioneFile.empty()) throw Exception("Modo gestione file non impostato");

    std::string zip_path;
    switch (request.GetModoGestioneFile()) {
      case TModoGestionefile::mNewen: {
        const std::string programs = ProgramsDirectory(dir, entries);
        if (!IsExistingDirectory(programs))
          throw Exception(std::string("Directory \"") + kProgramsDir + "\" non trovata in " + programs);
        const std::vector<std::string> files = ListFiles(programs);
        if (files.empty())
          throw Exception(std::string("Nessun file trovato nella directory \"") + kProgramsDir + "\" in " + programs);
        zip_path = JoinPath(dir, FileNameText(FileNameWithoutExtension(files.front())) + ".zip");
        PackRemovingPartialArchive(zip_path, [&] { PackDirectoryTree(dir, zip_path); });
        break;
      }
      case TModoGestionefile::mRottler: {
        const std::vector<std::string> files = ListFiles(dir);
        if (files.empty()) throw Exception("Nessun file trovato nella directory \"" + dir + "\"");
        zip_path = JoinPath(dir, FileNameText(FileNameWithoutExtension(files.front())) + ".zip");
        PackRemovingPartialArchive(zip_path, [&] { PackOneFile(dir, zip_path); });
        break;
      }
      default:
        throw Exception("Modo gestione file \"" + request.FModoGestioneFile + "\" non riconosciuto");
    }
    reply.LoadFile(zip_path);
    EmptyDirectory(dir);
    reply.FNrMacchina = parameters.GetNrMacchina();
  });
}

void ImportLavoroJob(TRizOzudoImportLavoroRequest& request, TRizOzudoImportLavoroResponse& reply,
                     const TJobParameters& parameters) {
  RunGuarded(reply, [&] {
    const std::string dir = parameters.GetImportLavoroDir();
    if (dir.empty()) throw Exception("Directory ImportLavoroDir non specificata");
    // Held until the archive is gone: two imports never unpack into each other.
    TDirectoryLock lock(dir);
    if (http::StopUnderWay()) http::AbandonRequest();
    if (!IsExistingDirectory(dir)) throw Exception("Directory " + dir + " non trovata");
    EmptyDirectory(dir);
    const std::string zip_path = JoinPath(dir, kImportArchiveName);
    request.SaveFile(zip_path);
    // The base64 text is the largest thing held; unpacking does not need it.
    std::string().swap(request.FStream);
    UnpackArchive(zip_path, dir);
    if (::unlink(zip_path.c_str()) != 0) throw EOSError(SysErrorMessageText(errno));
  });
}

const TMVCControllerClass& TRizOzudoController::ClassInfo() {
  static const TMVCControllerClass info{
      "RizOzudo.Controller",
      "TRizOzudoController",
      {MVCPath("/RizOzudo")},
      {
          {"ExportLavoro",
           {MVCPath("/ExportLavoro"), MVCHTTPMethods({httpPOST}), MVCProduces("application/json", "UTF-8")},
           [](TMVCController& c) { static_cast<TRizOzudoController&>(c).ExportLavoro(); }},
          {"ImportLavoro",
           {MVCPath("/ImportLavoro"), MVCHTTPMethods({httpPOST}), MVCProduces("application/json", "UTF-8")},
           [](TMVCController& c) { static_cast<TRizOzudoController&>(c).ImportLavoro(); }},
      },
      nullptr,
      [] { return std::unique_ptr<TMVCController>(std::make_unique<TRizOzudoController>()); }};
  return info;
}

void TRizOzudoController::ExportLavoro() {
  std::unique_ptr<TRizOzudoExportLavoroRequest> request =
      GetContext().Request().ReadBodyObject<TRizOzudoExportLavoroRequest>();
  auto reply = std::make_unique<TRizOzudoExportLavoroResponse>();
  ExportLavoroJob(*request, *reply, JobParameters());
  request.reset();
  Render(std::move(reply));
}

void TRizOzudoController::ImportLavoro() {
  std::unique_ptr<TRizOzudoImportLavoroRequest> request =
      GetContext().Request().ReadBodyObject<TRizOzudoImportLavoroRequest>();
  auto reply = std::make_unique<TRizOzudoImportLavoroResponse>();
  ImportLavoroJob(*request, *reply, JobParameters());
  request.reset();
  Render(std::move(reply));
}

}  // namespace ostrivan::jobs

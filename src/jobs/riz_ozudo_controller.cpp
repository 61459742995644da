#include "jobs/riz_ozudo_controller.h"

#include <algorithm>
#include <chrono>
#include <new>

#include "archive/zip_record.h"
#include "common/error.h"
#include "common/file_system.h"
#include "common/text.h"
#include "jobfiles/ack_waits.h"
#include "jobfiles/directory_lock.h"
#include "jobfiles/export_packing.h"
#include "jobfiles/import_staging.h"
#include "jobfiles/job_files.h"
#include "jobfiles/job_journal.h"
#include "jobfiles/job_metrics.h"
#include "jobfiles/job_texts.h"
#include "jobfiles/kept_folders.h"
#include "jobfiles/working_directory.h"
#include "jobfiles/write_watch.h"
#include "logging/framework_log.h"
#include "platform/file_system.h"

namespace ostrivan::jobs {

using namespace ostrivan::web;
// The job file work the controller orchestrates.
using namespace ostrivan::jobfiles;

namespace {

const char* const kProgramsDir = "programs";

bool IsExistingDirectory(const std::string& path) {
  platform::TFileInfo info;
  return platform::Files().TryInfo(path, platform::TLinks::kFollow, info) && info.Kind == platform::TFileKind::kFolder;
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

bool OutcomeAsked(const std::string& header) { return ostrivan::SameText(ostrivan::Trim(header), "yes"); }

TKeepLimits KeepLimitsOf(const TJobParameters& parameters) {
  TKeepLimits keep;
  if (parameters.GetKeepCount) keep.Count = static_cast<std::size_t>(std::max(parameters.GetKeepCount(), 1));
  if (parameters.GetKeepMegabytes)
    keep.Bytes = static_cast<std::int64_t>(std::max(parameters.GetKeepMegabytes(), 1)) * 1000 * 1000;
  return keep;
}

bool AcknowledgementAsked(const std::string& header) { return ostrivan::SameText(ostrivan::Trim(header), "required"); }

namespace {

std::int32_t MachineNumberForJournal(const TJobParameters& parameters) {
  try {
    return parameters.GetNrMacchina ? parameters.GetNrMacchina() : 0;
  } catch (const std::exception&) {
    return 0;  // the job's reply already names this failure; the journal line keeps 0
  }
}

// What an export packs: the archive's name and, for ROTTLER, its one file.
struct TExportChoice {
  TExportSelection Selection;
  std::string ZipName;
};

// Checks the directory and the mode, and names the archive after the first program
// (NEWEN) or the first file (ROTTLER). journal turns false for a directory with nothing
// to export: such a poll moved nothing and is not journalled.
TExportChoice ChooseArchiveName(const std::string& dir, const TRizOzudoExportLavoroRequest& request, bool& journal) {
  if (!IsExistingDirectory(dir)) throw Exception(texts::DirectoryNotFound(dir));
  const std::vector<TDirectoryEntry> entries = ListDirectory(dir);
  if (std::none_of(entries.begin(), entries.end(), [](const TDirectoryEntry& e) { return !e.IsOther; })) {
    journal = false;
    throw Exception(texts::NothingToExport(dir));
  }
  if (request.FModoGestioneFile.empty()) throw Exception(texts::ModeNotSet());

  TExportChoice choice;
  switch (request.GetModoGestioneFile()) {
    case TModoGestionefile::mNewen: {
      const std::string programs = ProgramsDirectory(dir, entries);
      if (!IsExistingDirectory(programs)) throw Exception(texts::FolderNotFoundIn(kProgramsDir, programs));
      const std::vector<std::string> files = ListFiles(programs);
      if (files.empty()) throw Exception(texts::NoFileInFolderIn(kProgramsDir, programs));
      choice.ZipName = FileNameText(FileStem(files.front())) + ".zip";
      break;
    }
    case TModoGestionefile::mRottler: {
      const std::vector<std::string> files = ListFiles(dir);
      if (files.empty()) throw Exception(texts::NoFileInDirectory(dir));
      choice.Selection = {false, files.front()};
      choice.ZipName = FileNameText(FileStem(files.front())) + ".zip";
      break;
    }
    default: throw Exception(texts::ModeNotRecognised(request.FModoGestioneFile));
  }
  JoinPath(dir, choice.ZipName);  // a name no path can hold fails here, as before
  return choice;
}

// Packs the job into the reply, then takes its files out of the directory (held until
// the reply's fate is known) and sets the machine number.
void PackAndHold(const std::string& dir, THeldExport& job, TJournalRecord& record, TRizOzudoExportLavoroResponse& reply,
                 const TJobParameters& parameters) {
  const int settle = parameters.GetSettleSeconds ? parameters.GetSettleSeconds() : kDefaultWriterSettleSeconds;
  const std::vector<std::uint8_t> archive = PackHeldExport(dir, job, record.FileBytes, settle);
  reply.SetPayload(record.Archive, archive.data(), archive.size());
  record.HasCrc = true;
  record.ArchiveBytes = static_cast<std::int64_t>(archive.size());
  record.ArchiveCrc = archive::record::Crc32Of(archive.data(), archive.size());
  job.Record = record;
  job.Record.Machine = MachineNumberForJournal(parameters);
  job.Keep = KeepLimitsOf(parameters);
  const std::int32_t machine = parameters.GetNrMacchina();
  try {
    job.Hold();
  } catch (const EOSError&) {
    throw;  // not emptied: the reply keeps the payload, as a failed emptying always did
  } catch (const Exception&) {
    // A file changed before it could be taken: a packing failure, without payload.
    reply.FNomeFile.clear();
    reply.FStream.clear();
    throw;
  }
  reply.FNrMacchina = machine;
}

// The journal line and the figures of an export that failed. One that found nothing to
// export moved nothing: it is counted, not journalled.
void RecordFailedExport(TJournalRecord& record, const TRizOzudoExportLavoroResponse& reply, const TJobCall& call,
                        std::chrono::steady_clock::time_point started, bool journal) {
  if (!journal) {
    RecordJobOutcome(record.Direction, kJobEmpty, -1, {}, "", call.Peer);
    return;
  }
  record.Machine = MachineNumberForJournal(call.Parameters);
  record.Outcome = reply.FMessaggio;
  record.Duration = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  WriteJournal(record);
  RecordJobOutcome(record, kJobFailed);
}

}  // namespace

TExportRun ExportLavoroJob(const TRizOzudoExportLavoroRequest& request, TRizOzudoExportLavoroResponse& reply,
                           const TJobCall& call) {
  const auto started = std::chrono::steady_clock::now();
  TJournalRecord record;
  record.Direction = "export";
  record.Peer = call.Peer;
  record.Client = call.Client;
  record.Mode = request.FModoGestioneFile;
  bool journal = true;
  TExportRun run;
  RunGuarded(reply, [&] {
    const std::string dir = call.Parameters.GetExportLavoroDir();
    if (dir.empty()) throw Exception(texts::DirectoryNotSet("ExportLavoroDir"));
    // Held until the job's files are out of the directory: a second client sees either
    // the whole job or none of it, never a half-written archive or files vanishing.
    TDirectoryLock lock(dir);
    // A folder named anew in the parameter file is watched from its first export on.
    ExportWriteWatch().Watch(dir);
    // A stop that came while this job waited for the directory: it has not begun, so
    // it ends unanswered and the client knows nothing was done.
    if (call.Stop.stop_requested()) {
      run.Abandoned = true;
      return;
    }
    const TExportChoice choice = ChooseArchiveName(dir, request, journal);
    record.Archive = choice.ZipName;
    record.Job = FileStem(choice.ZipName);
    run.Held = SnapshotExport(dir, choice.Selection, record);
    PackAndHold(dir, *run.Held, record, reply, call.Parameters);
  });
  if (run.Abandoned || !reply.FErrore) return run;
  run.Held.reset();  // nothing was held: only its folder goes
  RecordFailedExport(record, reply, call, started, journal);
  return run;
}

TExportRun ExportLavoroJob(const TRizOzudoExportLavoroRequest& request, TRizOzudoExportLavoroResponse& reply,
                           const TJobParameters& parameters, const std::string& client, const std::string& peer,
                           std::stop_token stop) {
  return ExportLavoroJob(request, reply, TJobCall{parameters, client, peer, std::move(stop)});
}

bool ImportLavoroJob(TRizOzudoImportLavoroRequest& request, TRizOzudoImportLavoroResponse& reply,
                     const TJobCall& call) {
  const TJobParameters& parameters = call.Parameters;
  const auto started = std::chrono::steady_clock::now();
  TJournalRecord record;
  record.Direction = "import";
  record.Peer = call.Peer;
  record.Client = call.Client;
  record.Archive = request.FNomeFile.empty() ? std::string(kImportArchiveName) : request.FNomeFile;
  bool abandoned = false;
  RunGuarded(reply, [&] {
    const std::string dir = parameters.GetImportLavoroDir();
    if (dir.empty()) throw Exception(texts::DirectoryNotSet("ImportLavoroDir"));
    // Held until the job is in place: two imports never unpack into each other.
    TDirectoryLock lock(dir);
    if (call.Stop.stop_requested()) {
      abandoned = true;
      return;
    }
    if (!IsExistingDirectory(dir)) throw Exception(texts::DirectoryNotFound(dir));
    // Created before the directory is emptied, so that a process killed from here on is
    // finished or undone at its next start.
    TImportStaging staging(dir);
    staging.EmptyImportDirectory();
    const std::string zip_path = JoinPath(dir, kImportArchiveName);
    // The received archive's bytes: three for every four base64 characters.
    staging.MakeRoom(request.FStream.size() / 4 * 3);
    // Decoded over the base64 text, the largest thing held: no second buffer.
    const std::string archive = request.TakeArchive();
    TRizOzudoImportLavoroRequest::SaveArchive(zip_path, archive);
    TReceivedCopy received(request.FNomeFile, zip_path, KeepLimitsOf(parameters));
    record.ArchiveBytes = static_cast<std::int64_t>(archive.size());
    record.ArchiveCrc = archive::record::Crc32Of(archive.data(), archive.size());
    record.HasCrc = true;
    const TImportSummary summary = staging.Unpack(zip_path, archive);
    record.Job = summary.Job;
    record.Files = summary.Files;
    record.FileBytes = summary.FileBytes;
    staging.Commit();
    received.Keep(archive);
  });
  if (abandoned) return false;
  record.Machine = MachineNumberForJournal(parameters);
  record.Outcome = reply.FErrore ? reply.FMessaggio : std::string(kOutcomeImported);
  record.Duration = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  WriteJournal(record);
  RecordJobOutcome(record, reply.FErrore ? kJobFailed : kJobImported);
  return true;
}

bool ImportLavoroJob(TRizOzudoImportLavoroRequest& request, TRizOzudoImportLavoroResponse& reply,
                     const TJobParameters& parameters, const std::string& client, const std::string& peer,
                     std::stop_token stop) {
  return ImportLavoroJob(request, reply, TJobCall{parameters, client, peer, std::move(stop)});
}

void WatchExportFolder(const TJobParameters& parameters) {
  try {
    const std::string dir = parameters.GetExportLavoroDir ? parameters.GetExportLavoroDir() : std::string();
    if (!dir.empty()) ExportWriteWatch().Watch(dir);
  } catch (const std::exception& e) {
    logging::FrameworkLogError(std::string("Export folder not watched for writers: ") + e.what());
  }
}

void RecoverInterruptedJobs(const TJobParameters& parameters) {
  // Every recorded hold is settled whatever the parameter file names today.
  try {
    const std::string export_dir = parameters.GetExportLavoroDir ? parameters.GetExportLavoroDir() : std::string();
    RecoverHeldExports(export_dir, KeepLimitsOf(parameters));
  } catch (const std::exception& e) {
    logging::FrameworkLogError(std::string("Held exports not recovered at start: ") + e.what());
  }
  try {
    const std::string import_dir = parameters.GetImportLavoroDir ? parameters.GetImportLavoroDir() : std::string();
    if (!import_dir.empty()) {
      TDirectoryLock lock(import_dir);
      const TImportRecovery found = RecoverImport(import_dir);
      // The killed import never replied nor journalled: its line says how it ended.
      if (found.Settled) {
        TJournalRecord record;
        record.Direction = "import";
        record.Machine = MachineNumberForJournal(parameters);
        record.Job = found.Job;
        record.Files = found.Finished ? found.JobFiles : -1;
        record.Outcome = found.Finished ? kOutcomeImportFinishedAtStart : kOutcomeImportUndoneAtStart;
        WriteJournal(record);
      }
    }
  } catch (const std::exception& e) {
    logging::FrameworkLogError(std::string("Interrupted import not recovered at start: ") + e.what());
  }
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

TMVCControllerCreateAction TRizOzudoController::Factory(TJobParameters parameters) {
  return [parameters = WithDefaults(std::move(parameters))] {
    return std::unique_ptr<TMVCController>(std::make_unique<TRizOzudoController>(parameters));
  };
}

TRizOzudoController::TRizOzudoController() : parameters_(WithDefaults({})) {}

TRizOzudoController::TRizOzudoController(TJobParameters parameters)
    : parameters_(WithDefaults(std::move(parameters))) {}

TJobCall TRizOzudoController::Call() {
  return {parameters_, GetContext().Request().ClientIp(), GetContext().Request().PeerIp(), GetContext().StopToken()};
}

void TRizOzudoController::ExportLavoro() {
  std::unique_ptr<TRizOzudoExportLavoroRequest> request =
      GetContext().Request().ReadBodyObject<TRizOzudoExportLavoroRequest>();
  auto reply = std::make_unique<TRizOzudoExportLavoroResponse>();
  const TExportRun run = ExportLavoroJob(*request, *reply, Call());
  request.reset();
  if (run.Abandoned) {
    GetContext().Abandon();
    return;
  }
  std::shared_ptr<THeldExport> job = run.Held;
  if (OutcomeAsked(GetContext().Request().GetHeader(kOutcomeHeader))) {
    const char* outcome = texts::ReplyOutcome(reply->FErrore, reply->FMessaggio);
    GetContext().Response().SetCustomHeader(kOutcomeHeader, outcome);
    if (std::string(outcome) == "retry-later") {
      const std::int32_t settle =
          parameters_.GetSettleSeconds ? parameters_.GetSettleSeconds() : kDefaultWriterSettleSeconds;
      GetContext().Response().SetCustomHeader("Retry-After", std::to_string(std::max(1, settle)));
    }
    if (job) {
      // Those the hold really took: one a writer still had stays in the folder.
      const auto set_aside = std::count_if(job->Entries.begin(), job->Entries.end(), [&job](const THeldEntry& e) {
        return !e.IsDirectory && !e.Packed && PathExists(job->HeldPath(e.Relative));
      });
      if (set_aside > 0) GetContext().Response().SetCustomHeader(kDiscardedHeader, std::to_string(set_aside));
    }
  }
  Render(std::move(reply));
  // Set once the job's reply is rendered: a reply that fails to render is an error
  // reply, whose delivery must not count as the job's (the job then puts its files back
  // when dropped).
  if (!job) return;
  if (AcknowledgementAsked(GetContext().Request().GetHeader(kAckRequestHeader))) {
    const std::int64_t wait_s =
        parameters_.GetAckWaitSeconds ? parameters_.GetAckWaitSeconds() : kDefaultAckWaitSeconds;
    const std::int64_t deadline =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count() +
        wait_s * 1000;
    // What the export could not take out comes again with the next job: said to a client
    // that reads these headers.
    if (job->Record.Left > 0)
      GetContext().Response().SetCustomHeader(kLeftFilesHeader, std::to_string(job->Record.Left));
    if (AcknowledgementWaits().Sent(job, deadline)) {
      GetContext().Response().SetCustomHeader(kAckJobHeader, job->Id());
      const std::string id = job->Id();
      GetContext().Response().SetOnDelivered([id](bool delivered) { AcknowledgementWaits().Delivered(id, delivered); });
      return;
    }
  }
  GetContext().Response().SetOnDelivered([job](bool delivered) { job->Complete(delivered); });
}

void TRizOzudoController::ImportLavoro() {
  std::unique_ptr<TRizOzudoImportLavoroRequest> request =
      GetContext().Request().ReadBodyObject<TRizOzudoImportLavoroRequest>();
  auto reply = std::make_unique<TRizOzudoImportLavoroResponse>();
  const bool carried_out = ImportLavoroJob(*request, *reply, Call());
  request.reset();
  if (!carried_out) {
    GetContext().Abandon();
    return;
  }
  if (OutcomeAsked(GetContext().Request().GetHeader(kOutcomeHeader)))
    GetContext().Response().SetCustomHeader(kOutcomeHeader, texts::ReplyOutcome(reply->FErrore, reply->FMessaggio));
  Render(std::move(reply));
}

}  // namespace ostrivan::jobs

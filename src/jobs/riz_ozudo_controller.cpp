#include "jobs/riz_ozudo_controller.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>
#include <set>

#include "archive/zip_file.h"
#include "archive/zip_record.h"
#include "common/error.h"
#include "common/file_descriptor.h"
#include "common/file_system.h"
#include "common/text.h"
#include "jobfiles/ack_waits.h"
#include "jobfiles/directory_lock.h"
#include "jobfiles/import_staging.h"
#include "jobfiles/job_files.h"
#include "jobfiles/job_journal.h"
#include "jobfiles/job_metrics.h"
#include "jobfiles/job_texts.h"
#include "jobfiles/working_directory.h"
#include "jobfiles/write_watch.h"
#include "logging/framework_log.h"

namespace ostrivan::jobs {

using namespace ostrivan::web;

namespace {

const char* const kProgramsDir = "programs";

bool IsExistingDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
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

// The files of an export in the order the tree is packed, with their entry names:
// "programs\P1.NC" for programs/P1.NC.
std::vector<archive::TZipSource> PackSources(const std::string& dir, const std::vector<THeldEntry>& entries) {
  std::vector<archive::TZipSource> sources;
  for (const THeldEntry& e : entries) {
    if (!e.Packed) continue;
    // Each name as text (a name that is not UTF-8 reads as Latin-1); files are read by
    // their real names.
    std::string name;
    std::size_t start = 0;
    for (;;) {
      const std::size_t slash = e.Relative.find('/', start);
      name += FileNameText(e.Relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
      if (slash == std::string::npos) break;
      name += '\\';
      start = slash + 1;
    }
    sources.push_back({JoinPath(dir, e.Relative), name});
  }
  // Two files whose names read alike (a Latin-1 and a UTF-8 spelling, or a backslash in
  // a name beside a folder of that name) would be one entry: a client would unpack one
  // and the other would be lost when the directory is emptied.
  std::set<std::string> names;
  for (const archive::TZipSource& source : sources)
    if (!names.insert(source.ArchiveFileName).second)
      throw archive::EZipException(texts::PackingFailed(texts::RepeatedEntryName(source.ArchiveFileName)));
  return sources;
}

// Packs the listed files into memory, keeps the archive in the hold folder and checks
// that each file is still the version listed before packing began: one that grew,
// shrank or was rewritten is still being written. Returns the archive's bytes.
std::vector<std::uint8_t> PackHeldFiles(const std::string& dir, THeldExport& job, std::int64_t file_bytes,
                                        int settle_seconds) {
  const std::vector<archive::TZipSource> sources = PackSources(dir, job.Entries);
  std::vector<std::uint64_t> packed_sizes;
  std::vector<std::uint8_t> bytes;
  try {
    archive::TBytesStream memory;
    // Job files are text that deflates to well under half: one allocation in the
    // common case, and growth by doubling past it.
    memory.Reserve(static_cast<std::size_t>(file_bytes / 2 + 65536));
    archive::TZipFile zip;
    zip.Open(memory, archive::TZipMode::zmWrite);
    zip.AddFiles(sources);
    for (const archive::TZipHeader& h : zip.Files()) packed_sizes.push_back(h.GetUncompressedSize64());
    zip.Close();
    bytes = memory.TakeBytes();
    // Kept in the hold folder in one piece and not flushed: a process killed before
    // delivery puts the job back and drops it; after delivery it is the operator's copy.
    WriteWholeFile(job.ArchivePath(), std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  } catch (Exception& e) {
    e.SetMessage(texts::PackingFailed(e.Message()));
    throw;
  }
  std::size_t i = 0;
  for (const THeldEntry& e : job.Entries) {
    if (!e.Packed) continue;
    TFileIdentity now;
    const std::string path = JoinPath(dir, e.Relative);
    if (!ReadIdentity(path, now) || !SameVersion(now, e.Identity) ||
        packed_sizes.at(i) != static_cast<std::uint64_t>(e.Identity.Size) || StillBeingWritten(path, settle_seconds))
      throw archive::EZipException(texts::PackingFailed(texts::FileChangedWhilePacking(path)));
    ++i;
  }
  return bytes;
}

// A copy of every imported archive in "received" beside the executable, so a job replaced
// on the machine can be sent again. The received archive's file is linked there while it
// still exists (no bytes copied); across file systems the bytes are written. Not having
// the copy fails no import: the job is in place.
class TReceivedCopy {
 public:
  TReceivedCopy(const std::string& client_name, const std::string& zip_path, const TKeepLimits& keep) : keep_(keep) {
    const std::size_t slash = client_name.find_last_of("/\\");
    std::string name = client_name.substr(slash == std::string::npos ? 0 : slash + 1);
    // The client's name as far as it is a plain file name: never a path, never hidden.
    for (char& c : name)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
    name.erase(0, name.find_first_not_of('.'));
    if (name.empty()) name = kImportArchiveName;
    dir_ = JobStoreDirectory() + "/received";
    path_ = dir_ + "/" + KeptName(name);
    partial_ = PartialCopyName(path_);
    code_ = TryMakeDirectories(dir_).Code();
    if (code_ == 0) {
      ::unlink(partial_.c_str());
      linked_ = ::link(zip_path.c_str(), partial_.c_str()) == 0;
    }
  }
  ~TReceivedCopy() {
    if (!kept_) ::unlink(partial_.c_str());
  }
  TReceivedCopy(const TReceivedCopy&) = delete;
  TReceivedCopy& operator=(const TReceivedCopy&) = delete;

  void Keep(const std::string& archive) {
    int code = code_;
    if (code == 0 && !linked_) {
      code = TryWriteWholeFile(partial_, archive, TWriteOptions{.Mode = 0644}).Code();
    }
    // Named only once whole, so "received" never shows a cut archive.
    if (code == 0 && ::rename(partial_.c_str(), path_.c_str()) != 0) code = errno;
    if (code != 0) {
      logging::FrameworkLogError("Import archive not kept in \"" + dir_ + "\": " + SysErrorMessageText(code));
      return;
    }
    kept_ = true;
    PruneKeptFolder(dir_, keep_);
  }

 private:
  TKeepLimits keep_;
  std::string dir_;
  std::string path_;
  std::string partial_;
  int code_ = 0;
  bool linked_ = false;
  bool kept_ = false;
};

}  // namespace

namespace {

// What an export packs: the archive's name and, for ROTTLER, its one file.
struct TExportChoice {
  TModoGestionefile Mode{};
  std::string ZipName;
  std::string First;
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
  choice.Mode = request.GetModoGestioneFile();
  switch (choice.Mode) {
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
      choice.First = files.front();
      choice.ZipName = FileNameText(FileStem(choice.First)) + ".zip";
      break;
    }
    default: throw Exception(texts::ModeNotRecognised(request.FModoGestioneFile));
  }
  JoinPath(dir, choice.ZipName);  // a name no path can hold fails here, as before
  return choice;
}

// What is in the directory now is the job; anything arriving from here on stays for the
// next. Marks what is packed and counts it into the record.
std::shared_ptr<THeldExport> SnapshotJob(const std::string& dir, const TExportChoice& choice, TJournalRecord& record) {
  // The archive is written in the hold folder, never in the directory: nothing there
  // is truncated, and a later listing never meets a half-written archive.
  std::vector<THeldEntry> tree = SnapshotTree(dir);
  std::shared_ptr<THeldExport> job = THeldExport::Create(dir);
  for (THeldEntry& e : tree) {
    if (IsJobEntry(e.Identity)) {
      job->Entries.push_back(std::move(e));
    } else {
      // Links, pipes and sockets are not a job's: they stay where they are.
      logging::FrameworkLogWarn("Export of " + dir + " skips \"" + FileNameText(JoinPath(dir, e.Relative)) +
                                "\": not a file or a folder");
    }
  }
  std::int64_t file_bytes = 0;
  std::int64_t files = 0;
  for (THeldEntry& e : job->Entries) {
    e.Packed = !e.IsDirectory && (choice.Mode == TModoGestionefile::mNewen || e.Relative == choice.First);
    if (e.Packed) {
      ++files;
      file_bytes += e.Identity.Size;
    }
  }
  record.Files = files;
  record.FileBytes = file_bytes;
  job->Record = record;
  return job;
}

// Packs the job into the reply, then takes its files out of the directory (held until
// the reply's fate is known) and sets the machine number.
void PackAndHold(const std::string& dir, THeldExport& job, TJournalRecord& record, TRizOzudoExportLavoroResponse& reply,
                 const TJobParameters& parameters) {
  const int settle = parameters.GetSettleSeconds ? parameters.GetSettleSeconds() : kDefaultWriterSettleSeconds;
  const std::vector<std::uint8_t> archive = PackHeldFiles(dir, job, record.FileBytes, settle);
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
void RecordFailedExport(TJournalRecord& record, const TRizOzudoExportLavoroResponse& reply,
                        const TJobParameters& parameters, std::chrono::steady_clock::time_point started, bool journal,
                        const std::string& peer) {
  if (!journal) {
    RecordJobOutcome(record.Direction, kJobEmpty, -1, {}, "", peer);
    return;
  }
  record.Machine = MachineNumberForJournal(parameters);
  record.Outcome = reply.FMessaggio;
  record.Duration = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  WriteJournal(record);
  RecordJobOutcome(record, kJobFailed);
}

}  // namespace

TExportRun ExportLavoroJob(const TRizOzudoExportLavoroRequest& request, TRizOzudoExportLavoroResponse& reply,
                           const TJobParameters& parameters, const std::string& client, const std::string& peer,
                           std::stop_token stop) {
  const auto started = std::chrono::steady_clock::now();
  TJournalRecord record;
  record.Direction = "export";
  record.Peer = peer;
  record.Client = client;
  record.Mode = request.FModoGestioneFile;
  bool journal = true;
  TExportRun run;
  RunGuarded(reply, [&] {
    const std::string dir = parameters.GetExportLavoroDir();
    if (dir.empty()) throw Exception(texts::DirectoryNotSet("ExportLavoroDir"));
    // Held until the job's files are out of the directory: a second client sees either
    // the whole job or none of it, never a half-written archive or files vanishing.
    TDirectoryLock lock(dir);
    // A folder named anew in the parameter file is watched from its first export on.
    ExportWriteWatch().Watch(dir);
    // A stop that came while this job waited for the directory: it has not begun, so
    // it ends unanswered and the client knows nothing was done.
    if (stop.stop_requested()) {
      run.Abandoned = true;
      return;
    }
    const TExportChoice choice = ChooseArchiveName(dir, request, journal);
    record.Archive = choice.ZipName;
    record.Job = FileStem(choice.ZipName);
    run.Held = SnapshotJob(dir, choice, record);
    PackAndHold(dir, *run.Held, record, reply, parameters);
  });
  if (run.Abandoned || !reply.FErrore) return run;
  run.Held.reset();  // nothing was held: only its folder goes
  RecordFailedExport(record, reply, parameters, started, journal, peer);
  return run;
}

bool ImportLavoroJob(TRizOzudoImportLavoroRequest& request, TRizOzudoImportLavoroResponse& reply,
                     const TJobParameters& parameters, const std::string& client, const std::string& peer,
                     std::stop_token stop) {
  const auto started = std::chrono::steady_clock::now();
  TJournalRecord record;
  record.Direction = "import";
  record.Peer = peer;
  record.Client = client;
  record.Archive = request.FNomeFile.empty() ? std::string(kImportArchiveName) : request.FNomeFile;
  bool abandoned = false;
  RunGuarded(reply, [&] {
    const std::string dir = parameters.GetImportLavoroDir();
    if (dir.empty()) throw Exception(texts::DirectoryNotSet("ImportLavoroDir"));
    // Held until the job is in place: two imports never unpack into each other.
    TDirectoryLock lock(dir);
    if (stop.stop_requested()) {
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

void TRizOzudoController::ExportLavoro() {
  std::unique_ptr<TRizOzudoExportLavoroRequest> request =
      GetContext().Request().ReadBodyObject<TRizOzudoExportLavoroRequest>();
  auto reply = std::make_unique<TRizOzudoExportLavoroResponse>();
  const TExportRun run = ExportLavoroJob(*request, *reply, JobParameters(), GetContext().Request().ClientIp(),
                                         GetContext().Request().PeerIp(), GetContext().StopToken());
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
      const TJobParameters parameters = JobParameters();
      const std::int32_t settle =
          parameters.GetSettleSeconds ? parameters.GetSettleSeconds() : kDefaultWriterSettleSeconds;
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
    const TJobParameters parameters = JobParameters();
    const std::int64_t wait_s = parameters.GetAckWaitSeconds ? parameters.GetAckWaitSeconds() : kDefaultAckWaitSeconds;
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
  const bool carried_out = ImportLavoroJob(*request, *reply, JobParameters(), GetContext().Request().ClientIp(),
                                           GetContext().Request().PeerIp(), GetContext().StopToken());
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

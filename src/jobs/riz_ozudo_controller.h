#pragma once
// The job controller: POST /RizOzudo/ExportLavoro and POST /RizOzudo/ImportLavoro.
#include <memory>
#include <stop_token>
#include <string>

#include "jobfiles/held_export.h"
#include "jobs/job_parameters.h"
#include "jobs/riz_ozudo_messages.h"
#include "web/controller_class.h"
#include "web/mvc_controller.h"

namespace ostrivan::jobs {

class TRizOzudoController : public web::TMVCController {
 public:
  // Without parameters every folder reads as not set; the host gives its own through
  // Factory.
  TRizOzudoController();
  explicit TRizOzudoController(TJobParameters parameters);
  static const web::TMVCControllerClass& ClassInfo();
  // What an engine builds the controller with, so that each gets the host's parameters.
  static web::TMVCControllerCreateAction Factory(TJobParameters parameters);

  // Both read the body (body failures leave as the engine's error replies) and always
  // render their reply object with status 200, failed job or not.
  void ExportLavoro();
  void ImportLavoro();

 private:
  // This request's call: the settings, the client's and the connection's addresses, the
  // server's stop.
  TJobCall Call();

  TJobParameters parameters_;
};

// The job work of each action, apart from the engine, so it can run on objects in
// memory. Every failure ends up in the reply's Errore/Messaggio; nothing is thrown.
// Jobs on one working directory run one at a time (see TDirectoryLock).

// Packs the export directory (NEWEN: the whole tree, named after the first file in
// "programs"; ROTTLER: the first file), loads the archive into the reply, moves what the
// job empties out of the directory and sets NrMacchina. Only what was there when packing
// began goes; a packed file that changes meanwhile fails the export. The files are held,
// not deleted: the caller must tell the returned job whether the reply was delivered
// (Complete); dropped untold, it puts them back. Held is null when the export failed
// (nothing held). The journal line is written when the job completes or fails.
// call.Stop: when it is requested while the job waited for its directory, the job has not
// begun: it is abandoned (Abandoned), the reply is left untouched and nothing is
// journalled; the caller must then send no reply.
struct TExportRun {
  std::shared_ptr<jobfiles::THeldExport> Held;
  bool Abandoned = false;
};
TExportRun ExportLavoroJob(const TRizOzudoExportLavoroRequest& request, TRizOzudoExportLavoroResponse& reply,
                           const TJobCall& call);
// The same, its call given piece by piece.
TExportRun ExportLavoroJob(const TRizOzudoExportLavoroRequest& request, TRizOzudoExportLavoroResponse& reply,
                           const TJobParameters& parameters, const std::string& client = "",
                           const std::string& peer = "", std::stop_token stop = {});
// Empties the import directory, writes the payload there as Lavoro.zip, unpacks it into
// a staging folder, checks and flushes it, deletes Lavoro.zip and only then moves the
// job's files to their names. The payload text is released once written.
// false: abandoned like an export (see TExportRun), before anything was touched.
bool ImportLavoroJob(TRizOzudoImportLavoroRequest& request, TRizOzudoImportLavoroResponse& reply, const TJobCall& call);
// The same, its call given piece by piece.
bool ImportLavoroJob(TRizOzudoImportLavoroRequest& request, TRizOzudoImportLavoroResponse& reply,
                     const TJobParameters& parameters, const std::string& client = "", const std::string& peer = "",
                     std::stop_token stop = {});

// A client that asks to acknowledge an export ("X-Ostrivan-Ack: required") gets the job's
// id in "X-Ostrivan-Job"; the job stays held until POST /ostrivan/ack/<id> or until the
// wait (AttesaConferma, seconds) runs out and puts it back.
inline constexpr const char* kAckRequestHeader = "X-Ostrivan-Ack";
inline constexpr const char* kAckJobHeader = "X-Ostrivan-Job";
// With the acknowledgement asked for: how many files the export left in the folder (they
// could not be taken out, and come again with the next job); absent when none.
inline constexpr const char* kLeftFilesHeader = "X-Ostrivan-Left";
inline constexpr std::int64_t kDefaultAckWaitSeconds = 600;
bool AcknowledgementAsked(const std::string& header);
// What "sent" and "received" keep, as the parameters set it (defaults where not installed).
jobfiles::TKeepLimits KeepLimitsOf(const TJobParameters& parameters);

// A job request with "X-Ostrivan-Outcome: yes" gets the reply's meaning in a header of
// that name (texts::ReplyOutcome), "Retry-After" with retry-later, and
// "X-Ostrivan-Discarded: N" when ROTTLER set N files aside; the body stays as it is.
inline constexpr const char* kOutcomeHeader = "X-Ostrivan-Outcome";
inline constexpr const char* kDiscardedHeader = "X-Ostrivan-Discarded";
bool OutcomeAsked(const std::string& header);

// At start-up: watches the export folder for writers still at work, so that a file
// modified and not closed is never taken however long its writer pauses.
void WatchExportFolder(const TJobParameters& parameters);

// At start-up, before serving: puts back exports held by a process that ended before
// their replies were settled, and finishes or undoes an import it left half-done.
void RecoverInterruptedJobs(const TJobParameters& parameters);

}  // namespace ostrivan::jobs

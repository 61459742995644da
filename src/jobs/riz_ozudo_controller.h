#pragma once
// The job controller: POST /RizOzudo/ExportLavoro and POST /RizOzudo/ImportLavoro.
#include "jobs/job_parameters.h"
#include "jobs/riz_ozudo_messages.h"
#include "web/mvc_controller.h"

namespace ostrivan::jobs {

class TRizOzudoController : public web::TMVCController {
 public:
  static const web::TMVCControllerClass& ClassInfo();

  // Both read the body (body failures leave as the engine's error replies) and always
  // render their reply object with status 200, failed job or not.
  void ExportLavoro();
  void ImportLavoro();
};

// The job work of each action, apart from the engine, so it can run on objects in
// memory. Every failure ends up in the reply's Errore/Messaggio; nothing is thrown.
// Jobs on one working directory run one at a time (see TDirectoryLock).

// Packs the export directory (NEWEN: the whole tree, named after the first file in
// "programs"; ROTTLER: the first file), loads the archive into the reply, empties the
// directory and sets NrMacchina.
void ExportLavoroJob(const TRizOzudoExportLavoroRequest& request, TRizOzudoExportLavoroResponse& reply,
                     const TJobParameters& parameters);
// Empties the import directory, writes the payload there as Lavoro.zip, unpacks it and
// deletes it. The payload text is released once written, as it is no longer needed.
void ImportLavoroJob(TRizOzudoImportLavoroRequest& request, TRizOzudoImportLavoroResponse& reply,
                     const TJobParameters& parameters);

}  // namespace ostrivan::jobs

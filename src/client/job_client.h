#pragma once
// The two jobs as a shop's IT person runs them from a shell: fetch the waiting export
// job and unpack it, or send a directory or an archive as the job to import. Archives
// are packed and unpacked by the same code as the service's.
#include <iosfwd>
#include <memory>
#include <string>

#include "client/http_client.h"
#include "json/json_data_objects.h"

namespace ostrivan::client {

// Exit statuses of the client.
constexpr int kExitOk = 0;
constexpr int kExitJobFailed = 1;       // the service answered with a failure (Messaggio printed)
constexpr int kExitUsage = 2;           // the command line was not understood
constexpr int kExitLocal = 3;           // no usable reply, or local files could not be read or written
                                        // (an archive refused before sending counts here too)
constexpr int kExitNothingWaiting = 4;  // the export found no job waiting ("Nessun file trovato ...")
constexpr int kExitRetryLater = 5;      // a file of the job is still being written: ask again later
// Interrupted by a signal: 128 + its number (130 SIGINT, 143 SIGTERM), as shells report it.
constexpr int kExitInterruptedBase = 128;
constexpr int kDefaultTimeoutSeconds = 120;

// What a reply of a job endpoint says, whatever its shape: a job result (200 with
// Errore), the engine's JSON error object, a text page (404, 413, 401) or the 403 page
// of a caller ClientAmmessi refuses. Anything else did not come from an Ostrivan service.
struct TJobResult {
  bool Ok = false;                          // a job result with Errore false
  bool Foreign = false;                     // none of the service's reply shapes (another server on that port)
  std::string Failure;                      // otherwise why: Messaggio, or the error reply in one line
  std::unique_ptr<json::TJsonObject> Json;  // the job result, also a failed one
};
TJobResult ReadJobResult(const THttpReply& reply);

// Export: the job waiting in the service's export directory, unpacked into dir. dir must
// be absent or empty; it is checked (and created) before the service is asked, so a job
// is never fetched that could not be stored. When unpacking fails, the received archive
// is kept in dir and its path printed. job, when given, receives the archive's name
// without ".zip".
int RunExport(const TServerUrl& url, const std::string& mode, const std::string& dir, std::ostream& out,
              std::ostream& err, int timeout_seconds = kDefaultTimeoutSeconds, std::string* job = nullptr);

// Export again and again: every interval_seconds asks for the waiting job; each one is
// unpacked into a new folder "<parent>/<yyyymmdd-hhmmss>-<job>" and, with a command, that
// command runs with the folder as its one argument (through /bin/sh). Runs until SIGINT
// or SIGTERM (exit 130, 143); a failed poll is said and the next one follows.
int RunExportWatch(const TServerUrl& url, const std::string& mode, const std::string& parent, int interval_seconds,
                   const std::string& command, std::ostream& out, std::ostream& err,
                   int timeout_seconds = kDefaultTimeoutSeconds);

// Import: source is a directory (packed as the service packs an export) or an existing
// .zip file sent as it is. The service empties its import folder before it unpacks, so
// nothing is sent that would leave the machine with less than a whole job: an archive
// that does not open, whose entries do not all read back with their CRC, that holds no
// file, or whose request would exceed the service's body limit.
int RunImport(const TServerUrl& url, const std::string& source, std::ostream& out, std::ostream& err,
              int timeout_seconds = kDefaultTimeoutSeconds);

// Why the archive at zip_path must not be sent, or "" when it may.
std::string CheckArchiveBeforeSending(const std::string& zip_path);

}  // namespace ostrivan::client

#include "client/job_client.h"

#include <ctime>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <string_view>
#include <vector>

#include "archive/zip_file.h"
#include "common/base64.h"
#include "common/file_system.h"
#include "common/file_tree.h"
#include "common/request_size.h"
#include "jobfiles/job_texts.h"
#include "jobfiles/working_directory.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace ostrivan::client {
namespace {

namespace fs = std::filesystem;

constexpr const char* kExportPath = "/RizOzudo/ExportLavoro";
constexpr const char* kAckRequestLine = "X-Ostrivan-Ack: required";
constexpr const char* kAckJobHeaderName = "X-Ostrivan-Job";
constexpr const char* kLeftFilesHeaderName = "X-Ostrivan-Left";
constexpr const char* kAckPath = "/ostrivan/ack/";
constexpr const char* kOutcomeRequestLine = "X-Ostrivan-Outcome: yes";
constexpr const char* kOutcomeHeaderName = "X-Ostrivan-Outcome";
constexpr const char* kDiscardedHeaderName = "X-Ostrivan-Discarded";
constexpr const char* kImportPath = "/RizOzudo/ImportLavoro";
// An error page is reported in one line; more would bury the status.
constexpr std::size_t kShownBodyLimit = 300;
// What the service sends a caller its ClientAmmessi does not admit, before it reads the
// request: the default 403 page.
constexpr std::string_view kRefusedPage = "<HTML><BODY><B>403 Forbidden</B></BODY></HTML>";

std::string OneLine(const std::string& text) {
  std::string line;
  bool blank = false;
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == '\t' || c == ' ') {
      blank = !line.empty();
      continue;
    }
    if (blank) line += ' ';
    blank = false;
    line += c;
    if (line.size() >= kShownBodyLimit) {
      line += "...";
      break;
    }
  }
  return line;
}

std::unique_ptr<json::TJsonObject> ParseObject(const std::string& body) {
  try {
    auto parsed = json::TJsonBaseObject::Parse(body);
    if (auto* object = dynamic_cast<json::TJsonObject*>(parsed.get())) {
      parsed.release();
      return std::unique_ptr<json::TJsonObject>(object);
    }
  } catch (const Exception&) {
  }
  return nullptr;
}

std::string ReadClientFile(const std::string& path) {
  std::string bytes;
  if (!TryReadWholeFile(path, bytes)) throw EClientError("cannot read " + path);
  return bytes;
}

void WriteClientFile(const std::string& path, const std::string& data) {
  try {
    WriteWholeFile(path, data);
  } catch (const EStreamError&) {
    throw EClientError("cannot write " + path);
  }
}

// A scratch folder removed with everything in it when the scope ends.
class TScratchDir {
 public:
  TScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "ostrivan-client-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw EClientError("cannot create a temporary folder");
    path_ = pattern;
  }
  ~TScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// What a failed export says when its directory held nothing to send.
bool NothingWaiting(const std::string& message) { return jobfiles::texts::SaysNothingFound(message); }

int Interrupted(std::ostream& err, const std::string& what) {
  err << "ostrivan-client: interrupted" << what << "\n";
  const int signal_number = InterruptSignal();
  return kExitInterruptedBase + (signal_number != 0 ? signal_number : 2);
}

// The folders create_directories(dir) would make, deepest first: removed in that order
// they leave the tree as it was.
std::vector<fs::path> MissingFolders(const std::string& dir) {
  std::vector<fs::path> missing;
  std::error_code ec;
  fs::path folder = fs::absolute(dir, ec).lexically_normal();
  if (!folder.has_filename()) folder = folder.parent_path();  // "job/" -> "job"
  while (folder.has_relative_path() && fs::symlink_status(folder, ec).type() == fs::file_type::not_found) {
    missing.push_back(folder);
    folder = folder.parent_path();
  }
  return missing;
}

bool HasAnyFile(const fs::path& dir) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_regular_file(ec)) return true;
  }
  return false;
}

}  // namespace

TJobResult ReadJobResult(const THttpReply& reply) {
  TJobResult result;
  auto document = ParseObject(reply.Body);
  std::string failure = "HTTP " + std::to_string(reply.Status);
  if (!reply.Reason.empty()) failure += " " + reply.Reason;
  // 1. the job result
  if (reply.Status == 200 && document && document->Values("Errore").DataType() == json::TJsonDataType::jdtBool) {
    result.Ok = !document->Values("Errore").BoolValue();
    if (!result.Ok) {
      result.Failure = document->Values("Messaggio").StringValue();
      if (result.Failure.empty()) result.Failure = "the service reported a failure without a message";
    }
    result.Json = std::move(document);
    return result;
  }
  // 2. the engine's error object, its status repeated inside
  if (document && document->Contains("classname") && document->Contains("message") &&
      document->Values("statuscode").DataType() == json::TJsonDataType::jdtInt &&
      document->Values("statuscode").IntValue() == reply.Status && reply.Status != 200) {
    failure += ": " + document->Values("message").StringValue();
    const std::string& class_name = document->Values("classname").StringValue();
    if (!class_name.empty() && failure.find(class_name) == std::string::npos) failure += " (" + class_name + ")";
    result.Failure = failure;
    return result;
  }
  // 3. the plain-text 404, 4. the 413 and 401 pages
  const bool text_404 = reply.Status == 404 && reply.Body.starts_with("TornioMVC");
  const bool page_413 = reply.Status == 413 && reply.Body.starts_with(kRequestSizeExceededText);
  const bool page_401 = reply.Status == 401 && reply.Header("WWW-Authenticate").starts_with("Basic");
  if (text_404 || page_413 || page_401) {
    if (!reply.Body.empty()) failure += ": " + OneLine(reply.Body);
    result.Failure = failure;
    return result;
  }
  // and the allow-list's refusal: the service answered, it will not serve this caller
  if (reply.Status == 403 && reply.Body == kRefusedPage) {
    result.Failure = failure + ": refused by the service (not on ClientAmmessi)";
    return result;
  }
  result.Foreign = true;
  // An HTML page is not repeated in a terminal.
  if (!reply.Body.empty() && reply.Body.front() != '<') failure += ": " + OneLine(reply.Body);
  result.Failure = "not a reply of an Ostrivan service: " + failure;
  return result;
}

std::string CheckArchiveBeforeSending(const std::string& zip_path) {
  try {
    archive::TZipFile zip;
    zip.Open(zip_path, archive::TZipMode::zmRead);
    zip.TestAll();
    std::size_t files = 0;
    for (const auto& h : zip.Files()) {
      if (!h.FileName.empty() && h.FileName.back() != '/' && h.FileName.back() != '\\') ++files;
    }
    if (files == 0) return "the archive holds no file: nothing to import";
    return {};
  } catch (const archive::EZipCRCException& e) {
    return "the archive is damaged (CRC-32 mismatch): " + e.Message();
  } catch (const Exception& e) {
    return "not a usable zip archive: " + e.Message();
  }
}

// Tells the service the job is on this disk, flushed: it then lets the job go. Without
// this the service puts the job back once its wait runs out, and it comes again.
void Acknowledge(const TServerUrl& url, const std::string& id, const std::string& dir, std::ostream& err,
                 int timeout_seconds) {
  if (const int code = TrySyncTreeConcurrently(dir).Code(); code != 0) {
    err << "ostrivan-client: " << dir << " could not be flushed (" << SysErrorMessageText(code) << "): job " << id
        << " not acknowledged; the service will send it again\n";
    return;
  }
  try {
    const THttpReply reply = PostJson(url, std::string(kAckPath) + id, "", timeout_seconds);
    if (reply.Status == 200) return;
    err << "ostrivan-client: the service did not take the acknowledgement of job " << id << " (HTTP " << reply.Status
        << "): it may send the job again\n";
  } catch (const Exception& e) {
    err << "ostrivan-client: job " << id << " not acknowledged (" << e.Message()
        << "): the service will send it again\n";
  }
}

int RunExport(const TServerUrl& url, const std::string& mode, const std::string& dir, std::ostream& out,
              std::ostream& err, int timeout_seconds, std::string* job) {
  std::error_code ec;
  // dir and the parents it lacked, made here: a job that does not come takes them away.
  std::vector<fs::path> created;
  // The received archive lies in dir while it is unpacked, as the service's import does.
  const std::string zip_path = JoinPath(dir, ".ostrivan-client-" + std::to_string(platform::ProcessId()) + ".zip");
  // Leaves dir and its parents as they were found, so that a retry into it works.
  auto undo = [&] {
    fs::remove(zip_path, ec);
    for (const fs::path& folder : created) fs::remove(folder, ec);
  };
  try {
    // Checked before the service is asked: an export empties its directory, so a job
    // fetched here must have a place to go.
    if (fs::exists(dir, ec)) {
      if (!fs::is_directory(dir, ec)) throw EClientError(dir + " exists and is not a folder");
      if (!fs::is_empty(dir, ec)) throw EClientError(dir + " is not empty; give an empty or new folder");
    } else {
      created = MissingFolders(dir);
      if (!fs::create_directories(dir, ec) || ec) throw EClientError("cannot create " + dir + ": " + ec.message());
    }
    WriteClientFile(zip_path, {});  // proves dir writable before anything is fetched
  } catch (const EClientError& e) {
    err << "ostrivan-client: " << e.Message() << "\n";
    undo();
    return kExitLocal;
  }

  json::TJsonObject request;
  request.SetString("ModoGestioneFile", mode);
  TJobResult result;
  std::string ack_id;
  std::string left;
  std::string outcome;
  std::string retry_after;
  std::string discarded;
  try {
    ThrowIfInterrupted();
    // Exactly once: the service holds the job until this client says it is on disk.
    const THttpReply reply = PostJson(url, kExportPath, request.ToJSON(), timeout_seconds,
                                      std::string(kAckRequestLine) + "\r\n" + kOutcomeRequestLine + "\r\n");
    result = ReadJobResult(reply);
    outcome = reply.Header(kOutcomeHeaderName);
    retry_after = reply.Header("Retry-After");
    discarded = reply.Header(kDiscardedHeaderName);
    ack_id = reply.Header(kAckJobHeaderName);
    left = reply.Header(kLeftFilesHeaderName);
  } catch (const EClientInterrupted&) {
    undo();
    return Interrupted(err, "; nothing was unpacked into " + dir);
  } catch (const Exception& e) {
    err << "ostrivan-client: " << e.Message() << "\n";
    undo();
    return kExitLocal;
  }
  if (result.Foreign) {
    err << "ostrivan-client: " << result.Failure << " (another server on that port?)\n";
    undo();
    return kExitLocal;
  }
  // A failure while the service emptied its directory still delivers the archive:
  // unpack it so that nothing is lost, and report the failure. From here on a signal
  // no longer stops the client: the job has left the service and must land here.
  const std::string stream = result.Json ? result.Json->Values("Stream").StringValue() : std::string();
  if (stream.empty()) {
    err << result.Failure << "\n";
    undo();
    if (outcome == "retry-later") {
      err << "ostrivan-client: a file of the job is still being written: try again in "
          << (retry_after.empty() ? "a few" : retry_after) << " s\n";
      return kExitRetryLater;
    }
    const bool nothing = outcome.empty() ? result.Json && NothingWaiting(result.Failure) : outcome == "nothing-waiting";
    return nothing ? kExitNothingWaiting : kExitJobFailed;
  }
  const std::string name = result.Json->Values("NomeFile").StringValue();
  if (job != nullptr) *job = FileStem(name);
  try {
    WriteClientFile(zip_path, DecodeBase64(stream, Base64Decoding::kSkipOutsideAlphabet));
    jobfiles::UnpackArchive(zip_path, dir);
  } catch (const Exception& e) {
    err << "ostrivan-client: unpacking " << name << " into " << dir << " failed: " << e.Message() << "\n"
        << "ostrivan-client: the received archive is kept as " << zip_path << "\n";
    if (!result.Ok) err << result.Failure << "\n";
    return kExitLocal;
  }
  fs::remove(zip_path, ec);
  out << name << " from machine " << result.Json->Values("NrMacchina").IntValue() << " unpacked into " << dir << "\n";
  if (!ack_id.empty()) Acknowledge(url, ack_id, dir, err, timeout_seconds);
  if (!discarded.empty())
    err << "ostrivan-client: the service set " << discarded << " other file" << (discarded == "1" ? "" : "s")
        << " of its folder aside (not in this job; kept in its sent/ folder as <time>-<job>.discarded.zip)\n";
  if (!left.empty())
    err << "ostrivan-client: " << left << " file" << (left == "1" ? "" : "s")
        << " stayed in the service's export folder (its account cannot take them out) and will be sent again\n";
  if (!result.Ok) {
    err << result.Failure << "\n";
    return kExitJobFailed;
  }
  return kExitOk;
}

int RunImport(const TServerUrl& url, const std::string& source, std::ostream& out, std::ostream& err,
              int timeout_seconds) {
  std::error_code ec;
  std::string archive;
  std::string name;
  try {
    std::string refused;
    if (fs::is_directory(source, ec)) {
      if (!HasAnyFile(source)) throw EClientError(source + " holds no file: nothing to import");
      // Named as the service names an export: after the first program, else the folder.
      const std::string programs = JoinPath(source, "programs");
      std::vector<std::string> first;
      if (fs::is_directory(programs, ec)) first = jobfiles::ListFiles(programs);
      fs::path folder = fs::absolute(source).lexically_normal();
      if (!folder.has_filename()) folder = folder.parent_path();  // "job/" -> "job"
      name = first.empty() ? folder.filename().string() : FileStem(first.front());
      if (name.empty()) name = "Lavoro";
      name += ".zip";
      TScratchDir scratch;  // removed on every way out, an interruption included
      const std::string zip_path = JoinPath(scratch.path(), name);
      jobfiles::PackDirectoryTree(source, zip_path);
      refused = CheckArchiveBeforeSending(zip_path);
      if (refused.empty()) archive = ReadClientFile(zip_path);
    } else if (fs::is_regular_file(source, ec)) {
      // Whatever its name, the service unpacks what it gets as a zip archive.
      name = fs::path(source).filename().string();
      refused = CheckArchiveBeforeSending(source);
      if (refused.empty()) archive = ReadClientFile(source);
    } else {
      throw EClientError(source + " is neither a folder nor a file");
    }
    if (!refused.empty()) throw EClientError(source + ": " + refused + "; nothing was sent");
  } catch (const Exception& e) {
    err << "ostrivan-client: " << e.Message() << "\n";
    return kExitLocal;
  }

  json::TJsonObject request;
  request.SetString("NomeFile", name);
  request.SetString("Stream", EncodeBase64(archive));
  const std::string body = request.ToJSON();
  // A larger body gets 413 after the upload; refused here, the machine's folder and
  // the network are spared.
  if (static_cast<std::int64_t>(body.size()) > kDefaultMaxRequestSize) {
    err << "ostrivan-client: " << source << ": the request would be " << body.size()
        << " bytes, over the service's limit of " << kDefaultMaxRequestSize << " bytes (the archive is "
        << archive.size() << " bytes; about 3.8 MB fit); nothing was sent\n";
    return kExitLocal;
  }
  TJobResult result;
  try {
    ThrowIfInterrupted();
    result = ReadJobResult(PostJson(url, kImportPath, body, timeout_seconds));
  } catch (const EClientInterrupted&) {
    return Interrupted(err, "");
  } catch (const Exception& e) {
    err << "ostrivan-client: " << e.Message() << "\n";
    return kExitLocal;
  }
  if (result.Foreign) {
    err << "ostrivan-client: " << result.Failure << " (another server on that port?)\n";
    return kExitLocal;
  }
  if (!result.Ok) {
    err << result.Failure << "\n";
    return kExitJobFailed;
  }
  out << name << " imported (" << archive.size() << " bytes)\n";
  return kExitOk;
}

namespace {

// "20261211-091502": local time, sorted as text in time order.
std::string WatchStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  local = platform::LocalBrokenDown(static_cast<std::int64_t>(now));
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
  return text;
}

int RunHook(const std::string& command, const std::string& folder) {
  int status = 0;
  if (!platform::TryRunCommand(command, folder, status)) return -1;
  return status;
}

}  // namespace

int RunExportWatch(const TServerUrl& url, const std::string& mode, const std::string& parent, int interval_seconds,
                   const std::string& command, std::ostream& out, std::ostream& err, int timeout_seconds) {
  std::error_code ec;
  if (!fs::is_directory(parent, ec) && (!fs::create_directories(parent, ec) || ec)) {
    err << "ostrivan-client: cannot create " << parent << ": " << ec.message() << "\n";
    return kExitLocal;
  }
  const std::string incoming = JoinPath(parent, ".ostrivan-incoming-" + std::to_string(platform::ProcessId()));
  for (;;) {
    std::ostringstream said;
    std::ostringstream complaint;
    std::string job;
    const int status = RunExport(url, mode, incoming, said, complaint, timeout_seconds, &job);
    // Nothing waiting is the usual answer of a poll: not worth a line each time.
    if (status != kExitNothingWaiting) err << complaint.str() << std::flush;
    if (status >= kExitInterruptedBase) return status;
    if (fs::exists(incoming, ec) && !fs::is_empty(incoming, ec)) {
      // Named once whole, so a reader of the parent never meets a job being unpacked.
      std::string folder = JoinPath(parent, WatchStamp() + "-" + (job.empty() ? std::string("job") : job));
      for (int n = 2; fs::exists(folder, ec); ++n) folder = JoinPath(parent, WatchStamp() + "-" + std::to_string(n));
      fs::rename(incoming, folder, ec);
      if (ec) {
        err << "ostrivan-client: the job stays in " << incoming << ": " << ec.message() << "\n";
        return kExitLocal;
      }
      out << said.str().substr(0, said.str().find(" unpacked into ")) << " unpacked into " << folder << "\n"
          << std::flush;
      if (!command.empty()) {
        const int hook = RunHook(command, folder);
        if (hook != 0)
          err << "ostrivan-client: " << command << " ended with status " << hook << " for " << folder << "\n";
      }
      continue;  // another job may wait already
    }
    fs::remove(incoming, ec);
    // Waits in small steps, so a signal ends the watch at once.
    for (int waited = 0; waited < interval_seconds * 10; ++waited) {
      if (InterruptSignal() != 0) return Interrupted(err, "");
      ::usleep(100000);
    }
    if (InterruptSignal() != 0) return Interrupted(err, "");
  }
}

}  // namespace ostrivan::client

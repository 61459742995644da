#include "client/job_client.h"

#include <unistd.h>

#include <filesystem>
#include <ostream>

#include "common/file_system.h"
#include "jobs/base64.h"
#include "jobs/working_directory.h"

namespace ostrivan::client {
namespace {

namespace fs = std::filesystem;

constexpr const char* kExportPath = "/RizOzudo/ExportLavoro";
constexpr const char* kImportPath = "/RizOzudo/ImportLavoro";
// An error page is reported in one line; more would bury the status.
constexpr std::size_t kShownBodyLimit = 300;

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

std::unique_ptr<web::TJsonObject> ParseObject(const std::string& body) {
  try {
    auto parsed = web::TJsonBaseObject::Parse(body);
    if (auto* object = dynamic_cast<web::TJsonObject*>(parsed.get())) {
      parsed.release();
      return std::unique_ptr<web::TJsonObject>(object);
    }
  } catch (const Exception&) {
  }
  return nullptr;
}

std::string ReadClientFile(const std::string& path) {
  std::string bytes;
  if (ReadWholeFile(path, bytes) != TReadFailure::kNone) throw EClientError("cannot read " + path);
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

bool HasAnyFile(const fs::path& dir) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec)) return true;
  }
  return false;
}

}  // namespace

TJobResult ReadJobResult(const THttpReply& reply) {
  TJobResult result;
  auto json = ParseObject(reply.Body);
  if (reply.Status == 200) {
    if (json && json->Values("Errore").DataType() == web::TJsonDataType::jdtBool) {
      result.Ok = !json->Values("Errore").BoolValue();
      if (!result.Ok) {
        result.Failure = json->Values("Messaggio").StringValue();
        if (result.Failure.empty()) result.Failure = "the service reported a failure without a message";
      }
      result.Json = std::move(json);
      return result;
    }
    result.Failure = "unexpected reply from the service: " + OneLine(reply.Body);
    return result;
  }
  std::string failure = "HTTP " + std::to_string(reply.Status);
  if (!reply.Reason.empty()) failure += " " + reply.Reason;
  if (json && json->Contains("message")) {
    // The engine's error object: its message, and its class when it adds something.
    failure += ": " + json->Values("message").StringValue();
    const std::string& class_name = json->Values("classname").StringValue();
    if (!class_name.empty() && failure.find(class_name) == std::string::npos) failure += " (" + class_name + ")";
  } else if (!reply.Body.empty() && reply.Body.front() != '<') {
    failure += ": " + OneLine(reply.Body);
  }
  result.Failure = failure;
  return result;
}

int RunExport(const TServerUrl& url, const std::string& mode, const std::string& dir,
              std::ostream& out, std::ostream& err) {
  std::error_code ec;
  bool created = false;
  try {
    // Checked before the service is asked: an export empties its directory, so a job
    // fetched here must have a place to go.
    if (fs::exists(dir, ec)) {
      if (!fs::is_directory(dir, ec)) throw EClientError(dir + " exists and is not a folder");
      if (!fs::is_empty(dir, ec)) throw EClientError(dir + " is not empty; give an empty or new folder");
    } else {
      if (!fs::create_directories(dir, ec) || ec) throw EClientError("cannot create " + dir + ": " + ec.message());
      created = true;
    }
  } catch (const EClientError& e) {
    err << "ostrivan-client: " << e.Message() << "\n";
    return kExitLocal;
  }
  // The received archive lies in dir while it is unpacked, as the service's import does.
  const std::string zip_path = jobs::JoinPath(dir, ".ostrivan-client-" + std::to_string(getpid()) + ".zip");
  auto undo = [&] {
    fs::remove(zip_path, ec);
    if (created) fs::remove(dir, ec);
  };
  try {
    WriteClientFile(zip_path, {});  // proves dir writable before anything is fetched
  } catch (const EClientError& e) {
    err << "ostrivan-client: " << e.Message() << "\n";
    undo();
    return kExitLocal;
  }

  web::TJsonObject request;
  request.SetString("ModoGestioneFile", mode);
  TJobResult result;
  try {
    result = ReadJobResult(PostJson(url, kExportPath, request.ToJSON()));
  } catch (const Exception& e) {
    err << "ostrivan-client: " << e.Message() << "\n";
    undo();
    return kExitLocal;
  }
  // A failure while the service emptied its directory still delivers the archive:
  // unpack it so that nothing is lost, and report the failure.
  const std::string stream = result.Json ? result.Json->Values("Stream").StringValue() : std::string();
  if (stream.empty()) {
    err << result.Failure << "\n";
    undo();
    return kExitJobFailed;
  }
  const std::string name = result.Json->Values("NomeFile").StringValue();
  try {
    WriteClientFile(zip_path, jobs::DecodeBase64(stream));
    jobs::UnpackArchive(zip_path, dir);
  } catch (const Exception& e) {
    err << "ostrivan-client: unpacking " << name << " into " << dir << " failed: " << e.Message() << "\n"
        << "ostrivan-client: the received archive is kept as " << zip_path << "\n";
    if (!result.Ok) err << result.Failure << "\n";
    return kExitLocal;
  }
  fs::remove(zip_path, ec);
  out << name << " from machine " << result.Json->Values("NrMacchina").IntValue() << " unpacked into " << dir
      << "\n";
  if (!result.Ok) {
    err << result.Failure << "\n";
    return kExitJobFailed;
  }
  return kExitOk;
}

int RunImport(const TServerUrl& url, const std::string& source, std::ostream& out,
              std::ostream& err) {
  std::error_code ec;
  std::string archive;
  std::string name;
  try {
    if (fs::is_directory(source, ec)) {
      if (!HasAnyFile(source)) throw EClientError(source + " holds no file: nothing to import");
      // Named as the service names an export: after the first program, else the folder.
      const std::string programs = jobs::JoinPath(source, "programs");
      std::vector<std::string> first;
      if (fs::is_directory(programs, ec)) first = jobs::ListFiles(programs);
      fs::path folder = fs::absolute(source).lexically_normal();
      if (!folder.has_filename()) folder = folder.parent_path();  // "job/" -> "job"
      name = first.empty() ? folder.filename().string() : jobs::FileNameWithoutExtension(first.front());
      if (name.empty()) name = "Lavoro";
      name += ".zip";
      TScratchDir scratch;
      const std::string zip_path = jobs::JoinPath(scratch.path(), name);
      jobs::PackDirectoryTree(source, zip_path);
      archive = ReadClientFile(zip_path);
    } else if (fs::is_regular_file(source, ec)) {
      archive = ReadClientFile(source);
      name = fs::path(source).filename().string();
    } else {
      throw EClientError(source + " is neither a folder nor a file");
    }
  } catch (const Exception& e) {
    err << "ostrivan-client: " << e.Message() << "\n";
    return kExitLocal;
  }

  web::TJsonObject request;
  request.SetString("NomeFile", name);
  request.SetString("Stream", jobs::EncodeBase64(archive));
  TJobResult result;
  try {
    result = ReadJobResult(PostJson(url, kImportPath, request.ToJSON()));
  } catch (const Exception& e) {
    err << "ostrivan-client: " << e.Message() << "\n";
    return kExitLocal;
  }
  if (!result.Ok) {
    err << result.Failure << "\n";
    return kExitJobFailed;
  }
  out << name << " imported (" << archive.size() << " bytes)\n";
  return kExitOk;
}

}  // namespace ostrivan::client

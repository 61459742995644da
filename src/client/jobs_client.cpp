#include "client/jobs_client.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <ostream>
#include <vector>

#include "client/job_client.h"
#include "common/error.h"
#include "common/file_tree.h"
#include "common/paths.h"
#include "common/text.h"
#include "jobfiles/working_directory.h"
#include "json/json_data_objects.h"
#include "platform/file_system.h"
#include "platform/process.h"

namespace ostrivan::client {

namespace fs = std::filesystem;

namespace {

constexpr const char* kJobsPath = "/ostrivan/jobs";

std::string Field(const json::TJsonObject& object, const char* name) {
  if (!object.Contains(name)) return "-";
  const json::TJsonDataValue& value = object.Values(name);
  switch (value.DataType()) {
    case json::TJsonDataType::jdtString: return value.StringValue();
    case json::TJsonDataType::jdtInt: return std::to_string(value.IntValue());
    case json::TJsonDataType::jdtLong: return std::to_string(value.LongValue());
    case json::TJsonDataType::jdtULong: return std::to_string(value.ULongValue());
    default: return "-";
  }
}

std::unique_ptr<json::TJsonBaseObject> ParseBody(const std::string& body) {
  try {
    return json::TJsonBaseObject::Parse(body);
  } catch (const Exception&) {
    return nullptr;
  }
}

// The service's refusal: its message when the body has one.
int Refused(const THttpReply& reply, const std::string& what, std::ostream& err) {
  const auto parsed = ParseBody(reply.Body);
  const auto* object = dynamic_cast<const json::TJsonObject*>(parsed.get());
  err << "ostrivan-client: HTTP " << reply.Status << (reply.Reason.empty() ? "" : " " + reply.Reason) << " from "
      << what;
  if (object && object->Contains("message")) err << ": " << object->Values("message").StringValue();
  err << "\n";
  return kExitJobFailed;
}

void PrintTable(const json::TJsonArray& jobs, std::ostream& out) {
  const char* columns[] = {"kind", "name", "time", "files", "bytes", "crc32", "outcome"};
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"KIND", "NAME", "TIME", "FILES", "BYTES", "CRC32", "OUTCOME"});
  for (std::size_t i = 0; i < jobs.Count(); ++i) {
    if (jobs.Items(i).DataType() != json::TJsonDataType::jdtObject) continue;
    const json::TJsonObject& job = *jobs.Items(i).ObjectValue();
    std::vector<std::string> row;
    for (const char* column : columns) row.push_back(Field(job, column));
    rows.push_back(row);
  }
  std::vector<std::size_t> width(std::size(columns), 0);
  for (const auto& row : rows)
    for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(width[c] - row[c].size() + 2, ' ');
    }
    out << line << "\n";
  }
  if (rows.size() == 1) out << "(no kept jobs)\n";
}

}  // namespace

std::string JobPath(const std::string& kind, const std::string& name) {
  return std::string(kJobsPath) + "/" + PercentEncode(kind) + "/" + PercentEncode(name);
}

int RunJobs(const TServerUrl& url, bool json, std::ostream& out, std::ostream& err, int timeout_seconds) {
  THttpReply reply;
  try {
    reply = GetPath(url, kJobsPath, "application/json", timeout_seconds);
  } catch (const Exception& e) {
    err << "ostrivan-client: " << e.Message() << "\n";
    return kExitLocal;
  }
  if (reply.Status != 200) return Refused(reply, kJobsPath, err);
  const auto parsed = ParseBody(reply.Body);
  const auto* document = dynamic_cast<const json::TJsonObject*>(parsed.get());
  if (!document || !document->Contains("jobs") ||
      document->Values("jobs").DataType() != json::TJsonDataType::jdtArray) {
    err << "ostrivan-client: the jobs reply is not the service's list\n";
    return kExitLocal;
  }
  if (json) {
    out << reply.Body << "\n";
    return kExitOk;
  }
  PrintTable(*document->Values("jobs").ArrayValue(), out);
  return kExitOk;
}

int RunFetch(const TServerUrl& url, const std::string& kind, const std::string& name, const std::string& to,
             std::ostream& out, std::ostream& err, int timeout_seconds) {
  const bool as_archive = to.size() > 4 && to.compare(to.size() - 4, 4, ".zip") == 0;
  std::error_code ec;
  bool created = false;
  if (as_archive) {
    if (fs::exists(fs::symlink_status(to, ec))) {
      err << "ostrivan-client: " << to << " exists already\n";
      return kExitLocal;
    }
  } else if (fs::exists(to, ec)) {
    if (!fs::is_directory(to, ec) || !fs::is_empty(to, ec)) {
      err << "ostrivan-client: " << to << " is not an empty folder; give an empty or new folder\n";
      return kExitLocal;
    }
  }
  THttpReply reply;
  const std::string path = JobPath(kind, name);
  try {
    reply = GetPath(url, path, "application/zip", timeout_seconds);
  } catch (const Exception& e) {
    err << "ostrivan-client: " << e.Message() << "\n";
    return kExitLocal;
  }
  if (reply.Status != 200) return Refused(reply, path, err);
  if (reply.Header("Content-Type").rfind("application/zip", 0) != 0) {
    err << "ostrivan-client: the reply from " << path << " is no archive\n";
    return kExitLocal;
  }
  // Written whole under a partial name first, so `to` never holds a cut archive.
  const std::string zip_path = as_archive
                                   ? to
                                   : JoinPath(fs::temp_directory_path(ec).string(),
                                              ".ostrivan-fetch-" + std::to_string(platform::ProcessId()) + ".zip");
  const std::string partial = PartialCopyName(zip_path);
  if (const int code = TryWriteFileDurably(partial, reply.Body).Code(); code != 0) {
    err << "ostrivan-client: cannot write " << partial << ": " << SysErrorMessageText(code) << "\n";
    return kExitLocal;
  }
  if (const int code = TryRenameNoReplace(partial, zip_path).Code(); code != 0) {
    (void)platform::Files().TryRemoveFile(partial);
    err << "ostrivan-client: cannot write " << zip_path << ": " << SysErrorMessageText(code) << "\n";
    return kExitLocal;
  }
  if (as_archive) {
    out << to << ": " << reply.Body.size() << " bytes\n";
    return kExitOk;
  }
  try {
    if (!fs::exists(to, ec)) {
      if (!fs::create_directories(to, ec) || ec) throw EClientError("cannot create " + to + ": " + ec.message());
      created = true;
    }
    jobfiles::UnpackArchive(zip_path, to);
  } catch (const Exception& e) {
    (void)platform::Files().TryRemoveFile(zip_path);
    // Left as found, so the same command can run again.
    if (created) fs::remove_all(to, ec);
    else
      for (const auto& entry : fs::directory_iterator(to, ec)) fs::remove_all(entry.path(), ec);
    err << "ostrivan-client: " << e.Message() << "\n";
    return kExitLocal;
  }
  (void)platform::Files().TryRemoveFile(zip_path);
  out << kind << "/" << name << " unpacked into " << to << "\n";
  return kExitOk;
}

int RunRequeue(const TServerUrl& url, const std::string& kind, const std::string& name, std::ostream& out,
               std::ostream& err, int timeout_seconds) {
  THttpReply reply;
  const std::string path = JobPath(kind, name) + "/requeue";
  try {
    reply = PostJson(url, path, "", timeout_seconds);
  } catch (const Exception& e) {
    err << "ostrivan-client: " << e.Message() << "\n";
    return kExitLocal;
  }
  if (reply.Status != 200) return Refused(reply, path, err);
  const auto parsed = ParseBody(reply.Body);
  const auto* document = dynamic_cast<const json::TJsonObject*>(parsed.get());
  if (!document || !document->Contains("requeued")) {
    err << "ostrivan-client: the requeue reply is not the service's\n";
    return kExitLocal;
  }
  out << kind << "/" << name << ": " << Field(*document, "files") << " files " << Field(*document, "message") << "\n";
  return kExitOk;
}

}  // namespace ostrivan::client

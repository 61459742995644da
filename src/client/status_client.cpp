#include "client/status_client.h"

#include <ostream>
#include <string>

#include "client/job_client.h"
#include "json/json_data_objects.h"

namespace ostrivan::client {

namespace {

constexpr const char* kStatusPath = "/ostrivan/status";

std::string Plural(std::int64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string Bytes(std::int64_t bytes) { return Plural(bytes, "byte", "bytes"); }

std::string Uptime(std::int64_t seconds) {
  const std::int64_t days = seconds / 86400, hours = seconds / 3600 % 24, minutes = seconds / 60 % 60;
  std::string text;
  if (days > 0) text += std::to_string(days) + "d ";
  if (days > 0 || hours > 0) text += std::to_string(hours) + "h ";
  return text + std::to_string(minutes) + "m " + std::to_string(seconds % 60) + "s";
}

const json::TJsonObject* Object(const json::TJsonObject& parent, const char* name) {
  if (!parent.Contains(name) || parent.Values(name).DataType() != json::TJsonDataType::jdtObject) return nullptr;
  return parent.Values(name).ObjectValue();
}

std::int64_t Long(const json::TJsonObject* object, const char* name) {
  if (!object || !object->Contains(name)) return 0;
  const json::TJsonDataValue& value = object->Values(name);
  switch (value.DataType()) {
    case json::TJsonDataType::jdtInt: return value.IntValue();
    case json::TJsonDataType::jdtLong: return value.LongValue();
    case json::TJsonDataType::jdtULong: return static_cast<std::int64_t>(value.ULongValue());
    case json::TJsonDataType::jdtFloat: return static_cast<std::int64_t>(value.FloatValue());
    default: return 0;
  }
}

std::string Text(const json::TJsonObject* object, const char* name) {
  return object && object->Contains(name) ? object->Values(name).StringValue() : std::string();
}

bool Bool(const json::TJsonObject* object, const char* name) {
  return object && object->Contains(name) && object->Values(name).DataType() == json::TJsonDataType::jdtBool &&
         object->Values(name).BoolValue();
}

std::string Store(const json::TJsonObject* object) {
  return Plural(Long(object, "archives"), "archive", "archives") + ", " + Bytes(Long(object, "bytes"));
}

std::string LastJob(const json::TJsonObject* job) {
  if (!job) return "none since the start";
  std::string text =
      Text(job, "time") + "  " + (Text(job, "job").empty() ? "-" : Text(job, "job")) + "  " + Text(job, "outcome");
  if (!Text(job, "peer").empty()) text += "  (" + Text(job, "peer") + ")";
  const std::string message = Text(job, "message");
  if (!message.empty() && message != Text(job, "outcome") && message != "delivered") text += ": " + message;
  return text;
}

void PrintReadable(const json::TJsonObject& status, std::ostream& out) {
  const json::TJsonObject* exp = Object(status, "export");
  const json::TJsonObject* imp = Object(status, "import");
  out << "Ostrivan " << Text(&status, "version") << ", machine " << Long(&status, "machine") << ", started "
      << Text(&status, "started") << " (up " << Uptime(Long(&status, "uptime_s")) << ")\n";
  out << "Parameter file: " << Text(&status, "parameter_file") << "\n";
  out << "Export: " << (Text(exp, "dir").empty() ? "(not set)" : Text(exp, "dir")) << "  "
      << (Bool(exp, "ready") ? "ready" : "NOT READY") << "\n";
  if (Long(exp, "waiting_files") > 0)
    out << "  waiting: " << Plural(Long(exp, "waiting_files"), "file", "files") << ", "
        << Bytes(Long(exp, "waiting_bytes")) << (Text(exp, "job").empty() ? "" : ", job " + Text(exp, "job")) << "\n";
  else out << "  waiting: nothing\n";
  out << "Import: " << (Text(imp, "dir").empty() ? "(not set)" : Text(imp, "dir")) << "  "
      << (Bool(imp, "ready") ? "ready" : "NOT READY") << ", " << Plural(Long(imp, "files"), "file", "files")
      << " in it\n";
  out << "Held (waiting for their client): " << Long(&status, "held") << "\n";
  out << "Unsent: " << Store(Object(status, "unsent")) << "\n";
  out << "Sent: " << Store(Object(status, "sent")) << "\n";
  out << "Received: " << Store(Object(status, "received")) << "\n";
  out << "Last export: " << LastJob(Object(status, "last_export")) << "\n";
  out << "Last import: " << LastJob(Object(status, "last_import")) << "\n";
  out << "Connections open: " << Long(&status, "connections") << "\n";
  if (status.Contains("problems") && status.Values("problems").DataType() == json::TJsonDataType::jdtArray) {
    const json::TJsonArray* problems = status.Values("problems").ArrayValue();
    for (std::size_t i = 0; problems && i < problems->Count(); ++i)
      out << "Problem: " << problems->Items(i).StringValue() << "\n";
  }
}

}  // namespace

int RunStatus(const TServerUrl& url, bool json, std::ostream& out, std::ostream& err, int timeout_seconds) {
  THttpReply reply;
  try {
    reply = GetPath(url, kStatusPath, "application/json", timeout_seconds);
  } catch (const Exception& e) {
    err << "ostrivan-client: " << e.Message() << "\n";
    return kExitLocal;
  }
  if (reply.Status != 200) {
    // Refused (ClientAmmessi), an older service without the route, or another server.
    const TJobResult result = ReadJobResult(reply);
    err << "ostrivan-client: " << kStatusPath << ": " << result.Failure
        << (result.Foreign ? " (another server on that port?)" : "") << "\n";
    return result.Foreign ? kExitLocal : kExitJobFailed;
  }
  std::unique_ptr<json::TJsonBaseObject> parsed;
  try {
    parsed = json::TJsonBaseObject::Parse(reply.Body);
  } catch (const Exception&) {
  }
  const auto* status = dynamic_cast<const json::TJsonObject*>(parsed.get());
  // What every status carries; any other reply came from another server.
  if (!status || !status->Contains("version") || !Object(*status, "export") || !Object(*status, "import")) {
    err << "ostrivan-client: the reply from " << kStatusPath
        << " is no Ostrivan status (another server on that port?)\n";
    return kExitLocal;
  }
  if (json) {
    out << reply.Body << "\n";
    return kExitOk;
  }
  PrintReadable(*status, out);
  return kExitOk;
}

}  // namespace ostrivan::client

#include "client/status_client.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <ostream>
#include <string>

#include "client/job_client.h"
#include "json/json_data_objects.h"
#include "platform/clock.h"

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

// "2026-12-11T08:15:02.125Z" as Unix milliseconds; 0 when it is no such time.
std::int64_t IsoUtcMs(const std::string& text) {
  std::tm utc{};
  int ms = 0;
  if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &utc.tm_year, &utc.tm_mon, &utc.tm_mday, &utc.tm_hour,
                  &utc.tm_min, &utc.tm_sec, &ms) < 6)
    return 0;
  utc.tm_year -= 1900;
  utc.tm_mon -= 1;
  return platform::UtcSecondsOf(utc) * 1000 + ms;
}

std::string Ago(std::int64_t seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds < 120) return std::to_string(seconds) + "s ago";
  if (seconds < 7200) return std::to_string(seconds / 60) + "m ago";
  if (seconds < 172800) return std::to_string(seconds / 3600) + "h ago";
  return std::to_string(seconds / 86400) + "d ago";
}

std::string ShortLastJob(const json::TJsonObject* job, std::int64_t now_ms) {
  if (!job) return "none";
  const std::string time = Text(job, "time");
  const std::int64_t at = IsoUtcMs(time);
  return (Text(job, "job").empty() ? "-" : Text(job, "job")) + " " + Text(job, "outcome") + " " + time +
         (at ? " (" + Ago((now_ms - at) / 1000) + ")" : "");
}

}  // namespace

std::vector<std::string> ReadServerList(const std::string& text) {
  std::vector<std::string> servers;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first != std::string::npos) {
      const std::size_t last = line.find_last_not_of(" \t\r");
      servers.push_back(line.substr(first, last - first + 1));
    }
    start = end + 1;
  }
  return servers;
}

TMachineStatus MachineStatus(const std::string& server, int timeout_seconds, std::int64_t now_ms) {
  TMachineStatus result;
  result.Server = server;
  THttpReply reply;
  try {
    reply = GetPath(ParseServerUrl(server), kStatusPath, "application/json", timeout_seconds);
  } catch (const Exception& e) {
    result.Line = "unreachable: " + e.Message();
    return result;
  }
  result.Reachable = true;
  if (reply.Status != 200) {
    result.Line =
        "reachable, refused: HTTP " + std::to_string(reply.Status) + (reply.Reason.empty() ? "" : " " + reply.Reason);
    return result;
  }
  std::unique_ptr<json::TJsonBaseObject> parsed;
  try {
    parsed = json::TJsonBaseObject::Parse(reply.Body);
  } catch (const Exception&) {
  }
  const auto* status = dynamic_cast<const json::TJsonObject*>(parsed.get());
  if (!status) {
    result.Line = "reachable, but the status reply is not a JSON object";
    return result;
  }
  const json::TJsonObject* exp = Object(*status, "export");
  std::vector<std::string> problems;
  if (status->Contains("problems") && status->Values("problems").DataType() == json::TJsonDataType::jdtArray) {
    const json::TJsonArray* list = status->Values("problems").ArrayValue();
    for (std::size_t i = 0; list && i < list->Count(); ++i) problems.push_back(list->Items(i).StringValue());
  }
  const std::int64_t unsent = Long(Object(*status, "unsent"), "archives");
  const std::int64_t held = Long(status, "held"), held_oldest = Long(status, "held_oldest_s");
  if (unsent > 0) problems.push_back(Plural(unsent, "export", "exports") + " in unsent/");
  if (held > 0 && held_oldest > kHeldTooLongSeconds)
    problems.push_back("an export held for " + std::to_string(held_oldest) + "s");
  std::string line = "machine " + std::to_string(Long(status, "machine")) + "  reachable  waiting " +
                     std::to_string(Long(exp, "waiting_files")) + "  held " + std::to_string(held) + "  unsent " +
                     std::to_string(unsent) + "  left " + std::to_string(Long(exp, "left_files")) + "  last export " +
                     ShortLastJob(Object(*status, "last_export"), now_ms) + "  last import " +
                     ShortLastJob(Object(*status, "last_import"), now_ms);
  if (problems.empty()) {
    line += "  problems none";
  } else {
    line += "  problems " + std::to_string(problems.size()) + ":";
    for (std::size_t i = 0; i < problems.size(); ++i) line += (i ? "; " : " ") + problems[i];
  }
  result.Line = line;
  result.Problem = !problems.empty();
  return result;
}

int RunStatusMany(const std::vector<std::string>& servers, int timeout_seconds, std::ostream& out) {
  bool any_problem = false;
  for (const std::string& server : servers) {
    const std::int64_t now_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    const TMachineStatus machine = MachineStatus(server, timeout_seconds, now_ms);
    // Ctrl-C or a stop from cron ends the round: the machine asked is no machine down.
    if (const int signal_number = InterruptSignal(); signal_number != 0) return kExitInterruptedBase + signal_number;
    any_problem = any_problem || machine.Problem;
    // One line a machine, status first, so grep and cron mail read it at a glance.
    out << (machine.Problem ? "PROBLEM " : "OK      ") << server << "  " << machine.Line << "\n";
    out.flush();
  }
  return any_problem ? kExitJobFailed : kExitOk;
}

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

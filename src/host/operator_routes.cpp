#include "host/operator_routes.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "common/file_system.h"
#include "common/text.h"
#include "host/parametri.h"
#include "host/readiness.h"
#include "http/http_metrics.h"
#include "http/stream.h"
#include "jobfiles/ack_waits.h"
#include "jobfiles/job_catalog.h"
#include "jobfiles/job_metrics.h"
#include "jobfiles/working_directory.h"
#include "json/json_data_objects.h"
#include "platform/clock.h"
#include "platform/process.h"

#ifndef OSTRIVAN_VERSION
#define OSTRIVAN_VERSION "1.0.0"
#endif

namespace ostrivan::host {

namespace {

std::atomic<std::int64_t> g_started_ms{0};

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::int64_t StartedMs() {
  std::int64_t started = g_started_ms.load();
  if (started == 0) {
    // Asked before the host marked it (a test): the first ask stands in.
    std::int64_t none = 0;
    g_started_ms.compare_exchange_strong(none, NowMs());
    started = g_started_ms.load();
  }
  return started;
}

// "2026-12-11T08:15:02.125Z"
std::string IsoUtc(std::int64_t unix_ms) {
  const std::time_t seconds = static_cast<std::time_t>(unix_ms / 1000);
  std::tm utc{};
  utc = platform::UtcBrokenDown(static_cast<std::int64_t>(seconds));
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(unix_ms % 1000));
  return text;
}

struct TSettings {
  std::string ini_file;
  std::string export_dir;
  std::string import_dir;
  std::int32_t machine = 0;
};

TSettings ReadSettings() {
  TSettings s;
  s.ini_file = TParametri::GetIniFile();
  s.export_dir = TParametri::GetExportLavoroDir(s.ini_file);
  s.import_dir = TParametri::GetImportLavoroDir(s.ini_file);
  s.machine = TParametri::GetNrMacchina(s.ini_file);
  return s;
}

std::unique_ptr<json::TJsonObject> StoreObject(const jobfiles::TStoreCount& count) {
  auto object = std::make_unique<json::TJsonObject>();
  object->SetLong("archives", count.Count);
  object->SetLong("bytes", count.Bytes);
  return object;
}

void SetLastJob(json::TJsonObject& document, const char* name, const jobfiles::TLastJob& last) {
  if (last.TimeMs == 0) {
    document.SetNull(name);
    return;
  }
  auto object = std::make_unique<json::TJsonObject>();
  object->SetString("time", IsoUtc(last.TimeMs));
  object->SetString("job", last.Job);
  object->SetString("outcome", last.Outcome);
  object->SetString("peer", last.Peer);
  object->SetString("message", last.Message);
  document.SetObject(name, std::move(object));
}

std::int64_t ResidentMemoryBytes() {
  std::string statm;
  if (!TryReadWholeFile("/proc/self/statm", statm)) return 0;
  long long size = 0, resident = 0;
  if (std::sscanf(statm.c_str(), "%lld %lld", &size, &resident) != 2) return 0;
  return resident * platform::PageSize();
}

// Label values are the service's own words, but a job name or version is escaped all
// the same, as the format asks.
std::string LabelValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

std::string Number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string ShortNumber(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

class TMetricsWriter {
 public:
  void Family(const char* name, const char* type, const char* help) {
    text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const std::string& name, const std::string& labels, const std::string& value) {
    text_ += name;
    if (!labels.empty()) text_ += "{" + labels + "}";
    text_ += " " + value + "\n";
  }
  void Sample(const std::string& name, const std::string& labels, std::int64_t value) {
    Sample(name, labels, std::to_string(value));
  }
  void Sample(const std::string& name, const std::string& labels, std::uint64_t value) {
    Sample(name, labels, std::to_string(value));
  }
  std::string Take() { return std::move(text_); }

 private:
  std::string text_;
};

}  // namespace

std::string LeftFilesProblem(const std::string& export_dir, const jobfiles::TExportWaiting& waiting) {
  return std::to_string(waiting.Stuck) + " file" + (waiting.Stuck == 1 ? "" : "s") + " in " + export_dir +
         " cannot be taken out by the service's account (their folder is not writable for it, first \"" +
         waiting.FirstStuck + "\"): every export leaves them and sends them again";
}

void MarkServiceStarted() { g_started_ms.store(NowMs()); }

std::string StatusJson() {
  const TSettings settings = ReadSettings();
  const std::int64_t started = StartedMs();
  const TReadiness readiness = CheckReadiness(settings.export_dir, settings.import_dir);
  const jobfiles::TExportWaiting waiting = jobfiles::InspectExportDirectory(settings.export_dir);
  const jobfiles::TJobStoreCounts store = jobfiles::CountJobStore(settings.export_dir);
  const jobfiles::TJobMetrics metrics = jobfiles::JobMetricsSnapshot();

  json::TJsonObject document;
  document.SetString("version", OSTRIVAN_VERSION);
  document.SetString("started", IsoUtc(started));
  document.SetLong("uptime_s", (NowMs() - started) / 1000);
  document.SetInt("machine", settings.machine);
  document.SetString("parameter_file", settings.ini_file);
  auto export_object = std::make_unique<json::TJsonObject>();
  export_object->SetString("dir", settings.export_dir);
  export_object->SetBool("ready", readiness.Export);
  export_object->SetLong("waiting_files", waiting.Files);
  export_object->SetLong("waiting_bytes", waiting.Bytes);
  export_object->SetString("job", waiting.Job);
  export_object->SetLong("left_files", waiting.Stuck);
  document.SetObject("export", std::move(export_object));
  auto import_object = std::make_unique<json::TJsonObject>();
  import_object->SetString("dir", settings.import_dir);
  import_object->SetBool("ready", readiness.Import);
  import_object->SetLong("files", std::max<std::int64_t>(jobfiles::CountImportFiles(settings.import_dir), 0));
  document.SetObject("import", std::move(import_object));
  auto problems = std::make_unique<json::TJsonArray>();
  for (const std::string& problem : readiness.Problems) problems->AddString(problem);
  if (waiting.Stuck > 0) problems->AddString(LeftFilesProblem(settings.export_dir, waiting));
  document.SetArray("problems", std::move(problems));
  document.SetLong("held", store.Held);
  document.SetLong("held_oldest_s", store.OldestHeldSeconds);
  document.SetObject("unsent", StoreObject(store.Unsent));
  document.SetObject("sent", StoreObject(store.Sent));
  document.SetObject("received", StoreObject(store.Received));
  SetLastJob(document, "last_export", metrics.Export.Last);
  SetLastJob(document, "last_import", metrics.Import.Last);
  document.SetLong("connections", http::OpenConnectionCount());
  return document.ToJSON();
}

std::string MetricsText() {
  const TSettings settings = ReadSettings();
  const jobfiles::TJobMetrics jobs_metrics = jobfiles::JobMetricsSnapshot();
  const jobfiles::TExportWaiting waiting = jobfiles::InspectExportDirectory(settings.export_dir);
  const jobfiles::TJobStoreCounts store = jobfiles::CountJobStore(settings.export_dir);
  const TReadiness readiness = CheckReadiness(settings.export_dir, settings.import_dir);
  struct TDirection {
    const char* name;
    const jobfiles::TJobDirectionMetrics& metrics;
    std::vector<const char*> outcomes;
  };
  const TDirection directions[] = {
      {"export",
       jobs_metrics.Export,
       {jobfiles::kJobDelivered, jobfiles::kJobUndelivered, jobfiles::kJobFailed, jobfiles::kJobEmpty}},
      {"import", jobs_metrics.Import, {jobfiles::kJobImported, jobfiles::kJobFailed}}};

  TMetricsWriter out;
  out.Family("ostrivan_jobs_total", "counter", "Jobs finished since the start, by direction and outcome.");
  for (const TDirection& d : directions)
    for (const char* outcome : d.outcomes) {
      const auto it = d.metrics.Outcomes.find(outcome);
      out.Sample("ostrivan_jobs_total", std::string("direction=\"") + d.name + "\",outcome=\"" + outcome + "\"",
                 it == d.metrics.Outcomes.end() ? std::uint64_t{0} : it->second);
    }
  out.Family("ostrivan_job_archive_bytes_total", "counter",
             "Bytes of the archives of delivered exports and imported jobs.");
  for (const TDirection& d : directions)
    out.Sample("ostrivan_job_archive_bytes_total", std::string("direction=\"") + d.name + "\"", d.metrics.ArchiveBytes);
  out.Family("ostrivan_job_duration_seconds", "histogram",
             "Duration of the jobs that moved something, delivery of the reply included.");
  for (const TDirection& d : directions) {
    std::uint64_t cumulative = 0;
    const std::string direction = std::string("direction=\"") + d.name + "\"";
    for (std::size_t i = 0; i < jobfiles::kJobDurationBuckets.size(); ++i) {
      cumulative += d.metrics.Buckets[i];
      out.Sample("ostrivan_job_duration_seconds_bucket",
                 direction + ",le=\"" + ShortNumber(jobfiles::kJobDurationBuckets[i]) + "\"", cumulative);
    }
    out.Sample("ostrivan_job_duration_seconds_bucket", direction + ",le=\"+Inf\"", d.metrics.DurationCount);
    out.Sample("ostrivan_job_duration_seconds_sum", direction, Number(d.metrics.DurationSum));
    out.Sample("ostrivan_job_duration_seconds_count", direction, d.metrics.DurationCount);
  }
  out.Family("ostrivan_export_waiting_files", "gauge", "Files waiting in the export directory.");
  out.Sample("ostrivan_export_waiting_files", "", waiting.Files);
  out.Family("ostrivan_export_waiting_bytes", "gauge", "Bytes of the files waiting in the export directory.");
  out.Sample("ostrivan_export_waiting_bytes", "", waiting.Bytes);
  out.Family("ostrivan_export_left_files", "gauge",
             "Files below the export directory the service's account cannot take out: sent again by every export.");
  out.Sample("ostrivan_export_left_files", "", waiting.Stuck);
  out.Family("ostrivan_held_jobs", "gauge", "Exports taken out of the export directory, waiting for their client.");
  out.Sample("ostrivan_held_jobs", "", store.Held);
  out.Family("ostrivan_held_oldest_seconds", "gauge", "Age of the oldest held export; 0 when none.");
  out.Sample("ostrivan_held_oldest_seconds", "", store.OldestHeldSeconds);
  out.Family("ostrivan_unsent_jobs", "gauge", "Undelivered exports kept in unsent/ for an operator.");
  out.Sample("ostrivan_unsent_jobs", "", store.Unsent.Count);
  out.Family("ostrivan_job_ready", "gauge", "1 when the direction's folders are usable, else 0.");
  out.Sample("ostrivan_job_ready", "direction=\"export\"", std::int64_t{readiness.Export ? 1 : 0});
  out.Sample("ostrivan_job_ready", "direction=\"import\"", std::int64_t{readiness.Import ? 1 : 0});
  out.Family("ostrivan_http_requests_total", "counter", "Replies sent, by status code.");
  for (const auto& [code, count] : http::ReplyCounts())
    out.Sample("ostrivan_http_requests_total", "code=\"" + std::to_string(code) + "\"", count);
  out.Family("ostrivan_refused_total", "counter", "Callers refused by the allow-list (ClientAmmessi).");
  out.Sample("ostrivan_refused_total", "", http::RefusalCount());
  out.Family("ostrivan_connections_open", "gauge", "Connections open now.");
  out.Sample("ostrivan_connections_open", "", http::OpenConnectionCount());
  out.Family("ostrivan_build_info", "gauge", "The service's version; always 1.");
  out.Sample("ostrivan_build_info", "version=\"" + LabelValue(OSTRIVAN_VERSION) + "\"", std::int64_t{1});
  out.Family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
  out.Sample("process_resident_memory_bytes", "", ResidentMemoryBytes());
  out.Family("process_start_time_seconds", "gauge", "Start time of the process since the Unix epoch in seconds.");
  out.Sample("process_start_time_seconds", "", Number(static_cast<double>(StartedMs()) / 1000.0));
  return out.Take();
}

std::string AcknowledgementJson(const std::string& id, jobfiles::TAckResult result) {
  json::TJsonObject document;
  document.SetString("job", id);
  document.SetBool("acknowledged", result == jobfiles::TAckResult::kAcknowledged);
  if (result != jobfiles::TAckResult::kAcknowledged)
    document.SetString("message", "no export waits for this acknowledgement: it was settled or put back already");
  return document.ToJSON();
}

namespace {

void JsonReply(http::TWebResponse& response, int status, const std::string& body) {
  response.SetStatusCode(status);
  response.SetContentType("application/json; charset=utf-8");
  response.SetCustomHeader("Cache-Control", "no-store");
  response.SetContent(body);
}

std::string MessageJson(const std::string& message) {
  json::TJsonObject document;
  document.SetString("message", message);
  return document.ToJSON();
}

std::string CrcHex(std::uint32_t crc) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", crc);
  return text;
}

// The path's parts below /ostrivan/jobs, each decoded on its own, so that an encoded
// '/' stays inside its part (and is refused there) instead of splitting it.
bool JobsPathParts(const std::string& raw_uri, std::vector<std::string>& parts) {
  std::string path = raw_uri;
  if (!path.empty() && path[0] != '/') {
    // absolute form: "http://host/ostrivan/jobs/..."
    const std::size_t scheme = path.find("://");
    const std::size_t slash = scheme == std::string::npos ? std::string::npos : path.find('/', scheme + 3);
    if (slash == std::string::npos) return false;
    path = path.substr(slash);
  }
  const std::string_view prefix = kJobsRoute;
  if (!StartsWithText(path, kJobsRoute)) return false;
  const std::string rest = path.substr(prefix.size());
  if (!rest.empty() && rest[0] != '/') return false;
  parts.clear();
  std::size_t start = 1;
  while (start <= rest.size() && !rest.empty()) {
    const std::size_t slash = rest.find('/', start);
    parts.push_back(PercentDecode(rest.substr(start, slash == std::string::npos ? std::string::npos : slash - start)));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return true;
}

std::string QueryValue(const std::string& query, const std::string& key) {
  std::size_t start = 0;
  while (start <= query.size()) {
    const std::size_t amp = query.find('&', start);
    std::string pair = query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
    const std::size_t eq = pair.find('=');
    if (eq != std::string::npos && pair.substr(0, eq) == key) {
      std::string value = pair.substr(eq + 1);
      for (char& c : value)
        if (c == '+') c = ' ';
      return PercentDecode(value);
    }
    if (amp == std::string::npos) break;
    start = amp + 1;
  }
  return "";
}

std::string JobsListJson(const std::string& export_dir) {
  auto list = std::make_unique<json::TJsonArray>();
  for (const jobfiles::TKeptJob& job : jobfiles::ListKeptJobs(export_dir)) {
    json::TJsonObject& object = list->AddObject();
    object.SetString("kind", job.Kind);
    object.SetString("name", jobfiles::FileNameText(job.Name));
    object.SetString("time", IsoUtc(job.TimeMs));
    object.SetLong("files", job.Files);
    object.SetLong("bytes", job.Bytes);
    if (job.HasCrc) object.SetString("crc32", CrcHex(job.Crc));
    else object.SetNull("crc32");
    if (job.Outcome.empty()) object.SetNull("outcome");
    else object.SetString("outcome", job.Outcome);
  }
  json::TJsonObject document;
  document.SetArray("jobs", std::move(list));
  return document.ToJSON();
}

std::string ProgramVersionsJson(const std::string& program) {
  auto list = std::make_unique<json::TJsonArray>();
  for (const jobfiles::TProgramVersion& v : jobfiles::ListProgramVersions(program)) {
    json::TJsonObject& object = list->AddObject();
    object.SetString("kind", v.Kind);
    object.SetString("name", jobfiles::FileNameText(v.Name));
    object.SetString("time", IsoUtc(v.TimeMs));
    object.SetString("entry", v.Entry);
    object.SetLong("bytes", v.Size);
    object.SetString("crc32", CrcHex(v.Crc));
  }
  json::TJsonObject document;
  document.SetString("program", program);
  document.SetArray("versions", std::move(list));
  return document.ToJSON();
}

std::string RequeueJson(const std::string& kind, const std::string& name, const jobfiles::TRequeueResult& result) {
  json::TJsonObject document;
  document.SetString("kind", kind);
  document.SetString("name", jobfiles::FileNameText(name));
  document.SetBool("requeued", result.Status == 200);
  document.SetLong("files", result.Files);
  document.SetString("message", result.Message);
  return document.ToJSON();
}

// GET /ostrivan/jobs[?program=P], GET /ostrivan/jobs/<kind>/<name>,
// POST /ostrivan/jobs/<kind>/<name>/requeue; false for anything else.
bool ServeJobsRoute(http::TWebRequest& request, http::TWebResponse& response) {
  std::vector<std::string> parts;
  if (!JobsPathParts(request.RawPathInfo(), parts)) return false;
  const http::TMethodType method = request.MethodType();
  const bool get = method == http::TMethodType::mtGet || method == http::TMethodType::mtHead;
  const bool post = method == http::TMethodType::mtPost;
  const std::string export_dir = TParametri::GetExportLavoroDir();
  if (parts.empty() && get) {
    const std::string program = QueryValue(request.Query(), "program");
    JsonReply(response, 200, program.empty() ? JobsListJson(export_dir) : ProgramVersionsJson(program));
    return true;
  }
  if (parts.size() < 2 || parts.size() > 3 || (parts.size() == 2 && !get) ||
      (parts.size() == 3 && (!post || parts[2] != "requeue")))
    return false;
  const std::string& kind = parts[0];
  const std::string& name = parts[1];
  if (!jobfiles::IsJobKind(kind)) {
    JsonReply(response, 404, MessageJson("no kind of job \"" + kind + "\": held, unsent, sent or received"));
    return true;
  }
  if (!jobfiles::IsJobName(name)) {
    JsonReply(response, 400, MessageJson("a job name is one entry of its folder: no '/', no NUL, not . or .."));
    return true;
  }
  if (parts.size() == 3) {
    const jobfiles::TRequeueResult result =
        jobfiles::RequeueKeptJob(export_dir, kind, name, request.RemoteAddr(), TParametri::GetNrMacchina());
    JsonReply(response, result.Status, RequeueJson(kind, name, result));
    return true;
  }
  jobfiles::TKeptJob job;
  std::string bytes;
  if (!jobfiles::FindKeptJob(export_dir, kind, name, job) || job.ArchivePath.empty() ||
      !TryReadWholeFile(job.ArchivePath, bytes)) {
    JsonReply(response, 404, MessageJson("no " + kind + " job named \"" + jobfiles::FileNameText(name) + "\""));
    return true;
  }
  response.SetStatusCode(200);
  response.SetContentType("application/zip");
  response.SetCustomHeader("Cache-Control", "no-store");
  response.SetCustomHeader("X-Ostrivan-Crc32", CrcHex(job.Crc));
  response.SetContentStream(std::make_unique<http::TMemoryStream>(std::move(bytes)));
  return true;
}

}  // namespace

bool ServeOperatorRoute(http::TWebRequest& request, http::TWebResponse& response) {
  if (ServeJobsRoute(request, response)) return true;
  const http::TMethodType method = request.MethodType();
  const std::string path = request.PathInfo();
  if (method == http::TMethodType::mtPost && StartsWithText(path, kAckRoute)) {
    const std::string id = path.substr(std::string_view(kAckRoute).size());
    const jobfiles::TAckResult result = jobfiles::AcknowledgementWaits().Acknowledge(id);
    response.SetStatusCode(result == jobfiles::TAckResult::kAcknowledged ? 200 : 404);
    response.SetContentType("application/json; charset=utf-8");
    response.SetCustomHeader("Cache-Control", "no-store");
    response.SetContent(AcknowledgementJson(id, result));
    return true;
  }
  if (method != http::TMethodType::mtGet && method != http::TMethodType::mtHead) return false;
  std::string body;
  if (SameText(path, "/ostrivan/status")) {
    response.SetContentType("application/json; charset=utf-8");
    body = StatusJson();
  } else if (SameText(path, "/metrics")) {
    response.SetContentType(kMetricsContentType);
    body = MetricsText();
  } else {
    return false;
  }
  response.SetStatusCode(200);
  response.SetCustomHeader("Cache-Control", "no-store");
  response.SetContent(body);
  return true;
}

}  // namespace ostrivan::host

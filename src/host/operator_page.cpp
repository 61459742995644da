#include "host/operator_page.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/file_system.h"
#include "common/file_tree.h"
#include "common/text.h"
#include "host/operator_routes.h"
#include "host/parametri.h"
#include "host/readiness.h"
#include "jobfiles/directory_lock.h"
#include "jobfiles/job_catalog.h"
#include "jobfiles/job_files.h"
#include "jobfiles/job_metrics.h"
#include "logging/framework_log.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/process.h"

#ifndef OSTRIVAN_VERSION
#define OSTRIVAN_VERSION "1.0.0"
#endif

namespace ostrivan::host {

namespace {

constexpr const char* kRequeueSuffix = "/requeue";
constexpr const char* kUnsentPrefix = "/ostrivan/jobs/unsent/";

struct TEntry {
  std::string Name;
  std::int64_t Bytes = 0;
  std::time_t Modified = 0;
};

std::int64_t TreeBytes(const std::string& path) {
  platform::TFileInfo info;
  if (!platform::Files().TryInfo(path, platform::TLinks::kDoNotFollow, info)) return 0;
  if (info.Kind != platform::TFileKind::kFolder) return info.Kind == platform::TFileKind::kFile ? info.Size : 0;
  std::int64_t bytes = 0;
  for (const std::string& name : NamesIn(path)) bytes += TreeBytes(path + "/" + name);
  return bytes;
}

std::vector<TEntry> Entries(const std::string& dir) {
  std::vector<TEntry> entries;
  for (const std::string& name : NamesIn(dir)) {
    // Half-written records and hidden work files are no job.
    if (name.ends_with(".tmp") || name[0] == '.') continue;
    platform::TFileInfo info;
    if (!platform::Files().TryInfo(dir + "/" + name, platform::TLinks::kDoNotFollow, info)) continue;
    entries.push_back({name, TreeBytes(dir + "/" + name), static_cast<std::time_t>(info.Modified.Seconds)});
  }
  // Newest first: the one an operator looks for is usually the last.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const TEntry& a, const TEntry& b) { return a.Modified > b.Modified; });
  return entries;
}

std::string LocalTime(std::time_t when) {
  std::tm local{};
  local = platform::LocalBrokenDown(static_cast<std::int64_t>(when));
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string Age(std::int64_t seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds < 120) return std::to_string(seconds) + " s";
  if (seconds < 7200) return std::to_string(seconds / 60) + " min";
  if (seconds < 172800) return std::to_string(seconds / 3600) + " h";
  return std::to_string(seconds / 86400) + " d";
}

std::string JournalTail(std::size_t lines) {
  const std::string path = ExecutableDirectory() + "logs/Ostrivan.00." + "journal.log";
  std::string text;
  if (!TryReadWholeFile(path, text)) return {};
  std::size_t start = text.size();
  std::size_t found = 0;
  if (!text.empty() && text.back() == '\n') --start;
  while (start > 0) {
    const std::size_t nl = text.rfind('\n', start - 1);
    if (nl == std::string::npos) {
      start = 0;
      break;
    }
    if (++found == lines) {
      start = nl + 1;
      break;
    }
    start = nl;
  }
  return Utf8FromBytes(std::string_view(text).substr(start), Utf8Repair::kEachSubpart);
}

void JobTable(std::string& html, const char* kind, const char* title, const std::vector<TEntry>& entries,
              bool requeue) {
  const std::time_t now = std::time(nullptr);
  html += "<h2>" + std::string(title) + " (" + std::to_string(entries.size()) + ")</h2>\n";
  if (entries.empty()) {
    html += "<p class=\"none\">none</p>\n";
    return;
  }
  html += "<table id=\"" + std::string(kind) + "\"><tr><th>name</th><th>bytes</th><th>modified</th><th></th></tr>\n";
  for (const TEntry& e : entries) {
    const std::string name = HtmlEscape(Utf8FromBytes(e.Name));
    html += "<tr><td>" + name + "</td><td>" + std::to_string(e.Bytes) + "</td><td>" + LocalTime(e.Modified) + " (" +
            Age(now - e.Modified) + " ago)</td><td><a href=\"" + kOperatorJobsRoute + kind + "/" +
            HtmlEscape(PercentEncode(e.Name)) + "\">download</a>";
    if (requeue) {
      html += " <form method=\"post\" action=\"" + std::string(kUnsentPrefix) + HtmlEscape(PercentEncode(e.Name)) +
              kRequeueSuffix + "\"><input type=\"hidden\" name=\"token\" value=\"" + FormToken() +
              "\"><button type=\"submit\" name=\"requeue\" value=\"" + name + "\">requeue</button></form>";
    }
    html += "</td></tr>\n";
  }
  html += "</table>\n";
}

std::string LastJobText(const jobfiles::TLastJob& last) {
  if (last.TimeMs == 0) return "none since the start";
  const auto when = static_cast<std::time_t>(last.TimeMs / 1000);
  return LocalTime(when) + " (" + Age(std::time(nullptr) - when) + " ago)  " + (last.Job.empty() ? "-" : last.Job) +
         "  " + last.Outcome + (last.Peer.empty() ? "" : "  " + last.Peer);
}

void Row(std::string& html, const char* name, const std::string& value) {
  html += "<tr><th>" + std::string(name) + "</th><td>" + HtmlEscape(value) + "</td></tr>\n";
}

void Reply(http::TWebResponse& response, int code, const std::string& text) {
  response.SetStatusCode(code);
  response.SetContentType("text/html; charset=utf-8");
  response.SetCustomHeader("Cache-Control", "no-store");
  response.SetContent("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Ostrivan</title></head><body><p>" +
                      HtmlEscape(text) + "</p><p><a href=\"" + kOperatorPageRoute + "\">back</a></p></body></html>\n");
}

bool SameToken(const std::string& given) {
  const std::string& token = FormToken();
  if (given.size() != token.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < token.size(); ++i) diff |= static_cast<unsigned char>(given[i] ^ token[i]);
  return diff == 0;
}

}  // namespace

const std::string& FormToken() {
  static const std::string token = [] {
    unsigned char bytes[16] = {};
    if (!platform::TryRandomBytes(bytes, sizeof bytes)) {
      // No kernel randomness: the clock still differs per process, and the origin check stays.
      const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
      std::memcpy(bytes, &now, sizeof now);
    }
    std::string text;
    char hex[3];
    for (unsigned char b : bytes) {
      std::snprintf(hex, sizeof hex, "%02x", b);
      text += hex;
    }
    return text;
  }();
  return token;
}

bool SameOrigin(const std::string& origin, const std::string& referer, const std::string& host) {
  const std::string h = LowerCase(Trim(host));
  if (h.empty()) return false;
  if (!origin.empty()) {
    const std::string o = LowerCase(Trim(origin));
    return o == "http://" + h || o == "https://" + h;
  }
  const std::string r = LowerCase(Trim(referer));
  for (const std::string scheme : {"http://", "https://"}) {
    const std::string base = scheme + h;
    if (r == base || r.starts_with(base + "/")) return true;
  }
  return false;
}

std::string OperatorPageHtml() {
  const std::string ini = TParametri::GetIniFile();
  const std::string export_dir = TParametri::GetExportLavoroDir(ini);
  const std::string import_dir = TParametri::GetImportLavoroDir(ini);
  const TReadiness readiness = CheckReadiness(export_dir, import_dir);
  const jobfiles::TExportWaiting waiting = jobfiles::InspectExportDirectory(export_dir);
  const jobfiles::TJobStoreCounts counts = jobfiles::CountJobStore(export_dir);
  const std::string store = jobfiles::JobStoreDirectory();
  const std::string machine = std::to_string(TParametri::GetNrMacchina(ini));

  std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Ostrivan machine " +
                     machine +
                     "</title>\n<style>body{font-family:sans-serif;margin:1em}table{border-collapse:collapse}"
                     "td,th{border:1px solid #bbb;padding:2px 6px;text-align:left}form{display:inline}"
                     ".problem{color:#a00}pre{background:#f4f4f4;padding:4px;overflow-x:auto}</style></head><body>\n";
  html += "<h1>Ostrivan machine " + machine + "</h1>\n<table id=\"status\">\n";
  Row(html, "service", std::string("Ostrivan ") + OSTRIVAN_VERSION);
  Row(html, "parameter file", ini);
  Row(html, "export folder", export_dir + (readiness.Export ? "  ready" : "  NOT READY"));
  Row(html, "waiting",
      std::to_string(waiting.Files) + " files, " + std::to_string(waiting.Bytes) + " bytes" +
          (waiting.Job.empty() ? "" : ", job " + waiting.Job));
  Row(html, "left behind", std::to_string(waiting.Stuck) + " files");
  Row(html, "import folder", import_dir + (readiness.Import ? "  ready" : "  NOT READY"));
  Row(html, "held", std::to_string(counts.Held) + (counts.Held ? ", oldest " + Age(counts.OldestHeldSeconds) : ""));
  Row(html, "unsent", std::to_string(counts.Unsent.Count));
  const jobfiles::TJobMetrics metrics = jobfiles::JobMetricsSnapshot();
  Row(html, "last export", LastJobText(metrics.Export.Last));
  Row(html, "last import", LastJobText(metrics.Import.Last));
  html += "</table>\n";
  std::vector<std::string> problems = readiness.Problems;
  if (waiting.Stuck > 0) problems.push_back(LeftFilesProblem(export_dir, waiting));
  html += "<h2>Problems (" + std::to_string(problems.size()) + ")</h2>\n";
  if (problems.empty()) html += "<p class=\"none\">none</p>\n";
  else {
    html += "<ul>\n";
    for (const std::string& p : problems) html += "<li class=\"problem\">" + HtmlEscape(p) + "</li>\n";
    html += "</ul>\n";
  }
  std::vector<TEntry> held;
  for (TEntry e : Entries(store + "/held")) {
    if (e.Name.ends_with(".hold")) e.Name.resize(e.Name.size() - 5);
    // A hold kept here has its record beside its folder: one job, listed once.
    if (std::none_of(held.begin(), held.end(), [&](const TEntry& h) { return h.Name == e.Name; })) held.push_back(e);
  }
  JobTable(html, "held", "Held", held, false);
  JobTable(html, "unsent", "Unsent", Entries(store + "/unsent"), true);
  JobTable(html, "sent", "Sent", Entries(store + "/sent"), false);
  JobTable(html, "received", "Received", Entries(store + "/received"), false);
  html += "<h2>Journal (last " + std::to_string(kPageJournalLines) + " lines)</h2>\n<pre id=\"journal\">" +
          HtmlEscape(JournalTail(kPageJournalLines)) + "</pre>\n</body></html>\n";
  return html;
}

bool ServeOperatorPage(http::TWebRequest& request, http::TWebResponse& response) {
  const http::TMethodType method = request.MethodType();
  const std::string path = request.PathInfo();
  if ((method == http::TMethodType::mtGet || method == http::TMethodType::mtHead) &&
      SameText(path, kOperatorPageRoute)) {
    response.SetStatusCode(200);
    response.SetContentType("text/html; charset=utf-8");
    response.SetCustomHeader("Cache-Control", "no-store");
    // Another site may not frame the page and trick a click on its button.
    response.SetCustomHeader("X-Frame-Options", "DENY");
    response.SetContent(OperatorPageHtml());
    return true;
  }
  if (method != http::TMethodType::mtPost || !StartsWithText(path, kOperatorJobsRoute) ||
      !path.ends_with(kRequeueSuffix))
    return false;
  // A browser names its origin or page, or posts a form: it must come from this page with
  // its token. A program sends neither and is the jobs route's.
  const std::string origin = request.GetFieldByName("Origin");
  const std::string referer = request.Referer();
  const std::string type = LowerCase(request.GetFieldByName("Content-Type"));
  const bool form = !type.empty() && !StartsWithText(type, "application/json");
  if (origin.empty() && referer.empty() && !form) return false;
  // "<kind>/<name>" between the jobs route and "/requeue"; any kind a browser posts is
  // held to the page's rule, though the page offers unsent jobs only.
  const std::string rest = path.substr(std::strlen(kOperatorJobsRoute),
                                       path.size() - std::strlen(kOperatorJobsRoute) - std::strlen(kRequeueSuffix));
  const std::size_t slash = rest.find('/');
  const std::string kind = slash == std::string::npos ? std::string() : rest.substr(0, slash);
  const std::string raw = slash == std::string::npos ? rest : rest.substr(slash + 1);
  std::string token;
  try {
    token = request.ContentFields().Values("token");
  } catch (const std::exception&) {
    token.clear();
  }
  if (!SameOrigin(origin, referer, request.GetFieldByName("Host"))) {
    logging::FrameworkLogWarn("Requeue refused from " + request.RemoteIP() + ": not sent from this service's page");
    Reply(response, 403, "refused: the form was not sent from this service's own page");
    return true;
  }
  if (!SameToken(token)) {
    logging::FrameworkLogWarn("Requeue refused from " + request.RemoteIP() + ": form token missing or stale");
    Reply(response, 403, "refused: the form's token is missing or stale; reload the page");
    return true;
  }
  const std::string name = PercentDecode(raw);
  if (!jobfiles::IsJobKind(kind) || !jobfiles::IsJobName(name)) {
    Reply(response, 404, "no job of that name");
    return true;
  }
  const std::string ini = TParametri::GetIniFile();
  const jobfiles::TRequeueResult result = jobfiles::RequeueKeptJob(TParametri::GetExportLavoroDir(ini), kind, name,
                                                                   request.RemoteIP(), TParametri::GetNrMacchina(ini));
  if (result.Status != 200) {
    Reply(response, result.Status, result.Message);
    return true;
  }
  logging::FrameworkLogInfo("Operator " + request.RemoteIP() + " requeued " + name + ": " + result.Message);
  // Back to the page, so a reload does not post again.
  response.SetStatusCode(303);
  response.SetLocation(kOperatorPageRoute);
  response.SetContentType("text/html; charset=utf-8");
  response.SetCustomHeader("Cache-Control", "no-store");
  response.SetContent("<!DOCTYPE html>\n<html><body><p>" + HtmlEscape(result.Message) + "</p><p><a href=\"" +
                      kOperatorPageRoute + "\">back</a></p></body></html>\n");
  return true;
}

}  // namespace ostrivan::host

#pragma once
// The operator's routes, answered before the web engine (so the engine's
// description of its own routes stays as it was), whatever the Accept header says:
//   GET /ostrivan/status  JSON: settings, folders, what waits, the last jobs
//   GET /metrics          Prometheus text format 0.0.4
//   POST /ostrivan/ack/<id>  a client has the export it asked to acknowledge
//   GET /ostrivan/jobs[?program=P], GET /ostrivan/jobs/<kind>/<name>,
//   POST /ostrivan/jobs/<kind>/<name>/requeue  the kept jobs (jobfiles/job_catalog.h)
// Who may call them is the allow-list's business (TCallerGate).
#include <string>

#include "http/web_request.h"
#include "jobfiles/job_metrics.h"

namespace ostrivan::host {

inline constexpr const char* kAckRoute = "/ostrivan/ack/";
inline constexpr const char* kJobsRoute = "/ostrivan/jobs";
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// The moment the service started, for "started", "uptime_s" and the start time metric.
void MarkServiceStarted();

std::string StatusJson();
// The status problem of files an export cannot take out.
std::string LeftFilesProblem(const std::string& export_dir, const jobfiles::TExportWaiting& waiting);
std::string MetricsText();

// Serves the request when it is GET (or HEAD) of one of the routes; false otherwise.
bool ServeOperatorRoute(http::TWebRequest& request, http::TWebResponse& response);

}  // namespace ostrivan::host

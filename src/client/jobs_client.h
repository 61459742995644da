#pragma once
// ostrivan-client jobs, fetch and requeue: the jobs a service keeps (GET /ostrivan/jobs),
// one job's archive, and a kept job put back into the service's export folder.
#include <iosfwd>
#include <string>

#include "client/http_client.h"

namespace ostrivan::client {

// "/ostrivan/jobs/<kind>/<name>" with both parts percent-encoded.
std::string JobPath(const std::string& kind, const std::string& name);

// Exit status as for the other commands: 0 done, 1 the service refused or failed, 3 no
// usable reply or a local file problem.
int RunJobs(const TServerUrl& url, bool json, std::ostream& out, std::ostream& err, int timeout_seconds);
// Writes the archive to `to` when it ends in ".zip" (a file that must not exist yet),
// else unpacks it into the folder `to` (absent or empty).
int RunFetch(const TServerUrl& url, const std::string& kind, const std::string& name, const std::string& to,
             std::ostream& out, std::ostream& err, int timeout_seconds);
int RunRequeue(const TServerUrl& url, const std::string& kind, const std::string& name, std::ostream& out,
               std::ostream& err, int timeout_seconds);

}  // namespace ostrivan::client

#pragma once
// ostrivan-client status: the service's GET /ostrivan/status, printed for a person, or
// as the service sent it.
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "client/http_client.h"

namespace ostrivan::client {

// Exit status as for the jobs: 0 shown, 1 the service refused (ClientAmmessi's 403, its
// error replies), 3 no usable reply (a reply no Ostrivan service gives included). The
// whole exchange takes at most timeout_seconds.
int RunStatus(const TServerUrl& url, bool json, std::ostream& out, std::ostream& err, int timeout_seconds);

// A shop of machines: one line each, in the order given. A machine has a problem when it
// cannot be reached or refuses, when its status names a problem, when an export waits in
// unsent/ or when one has been held for more than 5 minutes (the alerts' rules).
// 0 when none has a problem, else 1; each machine is given timeout_seconds.
inline constexpr std::int64_t kHeldTooLongSeconds = 300;
struct TMachineStatus {
  std::string Server;  // as given
  bool Reachable = false;
  std::string Line;
  bool Problem = true;
};
TMachineStatus MachineStatus(const std::string& server, int timeout_seconds, std::int64_t now_ms);
int RunStatusMany(const std::vector<std::string>& servers, int timeout_seconds, std::ostream& out);

// The servers of a list file: one URL a line; blank lines and "#" comments skipped.
std::vector<std::string> ReadServerList(const std::string& text);

}  // namespace ostrivan::client

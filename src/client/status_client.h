#pragma once
// ostrivan-client status: the service's GET /ostrivan/status, printed for a person, or
// as the service sent it.
#include <iosfwd>

#include "client/http_client.h"

namespace ostrivan::client {

// Exit status as for the jobs: 0 shown, 1 the service refused (ClientAmmessi's 403, its
// error replies), 3 no usable reply (a reply no Ostrivan service gives included). The
// whole exchange takes at most timeout_seconds.
int RunStatus(const TServerUrl& url, bool json, std::ostream& out, std::ostream& err, int timeout_seconds);

}  // namespace ostrivan::client

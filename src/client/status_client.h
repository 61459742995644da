#pragma once
// ostrivan-client status: the service's GET /ostrivan/status, printed for a person, or
// as the service sent it.
#include <iosfwd>

#include "client/http_client.h"

namespace ostrivan::client {

// Exit status as for the jobs: 0 shown, 1 the service refused (403, error reply), 3 no
// usable reply.
int RunStatus(const TServerUrl& url, bool json, std::ostream& out, std::ostream& err);

}  // namespace ostrivan::client

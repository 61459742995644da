#pragma once
// The operator's page of one machine, for a browser without JavaScript:
//   GET  /ostrivan/                              status, the kept jobs, the journal's tail
//   POST /ostrivan/jobs/unsent/<name>/requeue    the page's form (a browser's post): an
//                                                unsent job's files back into the empty
//                                                export folder, as the jobs route does
// The form carries a token made at start and must come from the page's own origin, so
// another site open in the operator's browser cannot post it.
#include <string>

#include "http/web_request.h"

namespace ostrivan::host {

inline constexpr const char* kOperatorPageRoute = "/ostrivan/";
inline constexpr const char* kOperatorJobsRoute = "/ostrivan/jobs/";
inline constexpr std::size_t kPageJournalLines = 50;

// The form token of this process: random, made once.
const std::string& FormToken();

// Whether Origin (or, without it, Referer) names the Host the request was sent to.
bool SameOrigin(const std::string& origin, const std::string& referer, const std::string& host);

std::string OperatorPageHtml();

// Serves the page and its form; false for any other request.
bool ServeOperatorPage(http::TWebRequest& request, http::TWebResponse& response);

}  // namespace ostrivan::host

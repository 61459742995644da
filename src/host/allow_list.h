#pragma once
// Who may call the service: the ClientAmmessi key of the parameter file, a list of
// addresses and CIDR ranges (IPv4 and IPv6) separated by commas. Judged on the
// connection's own address only, never on a header the caller writes.
#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "http/http_request_info.h"

namespace ostrivan::host {

struct TAllowEntry {
  std::array<std::uint8_t, 16> Address{};  // IPv4 in the first four bytes
  bool V6 = false;
  int Prefix = 0;  // bits compared
};

struct TAllowList {
  std::vector<TAllowEntry> Entries;
  std::vector<std::string> Malformed;  // entries as written that are no address or range
  // Absent or empty: every address may call.
  bool Open() const { return Entries.empty() && Malformed.empty(); }
};

// "192.168.10.0/24, 10.0.0.5, ::1": blanks ignored, empty pieces skipped. An IPv4
// address mapped into IPv6 (::ffff:10.0.0.5) is taken as the IPv4 address. Host names
// are not resolved: they are malformed entries, as are "10.0.0.0/33" and "abc".
TAllowList ParseAllowList(const std::string& text);

// 127.0.0.0/8, ::1 and 127.x mapped into IPv6.
bool IsLoopbackAddress(const std::string& address);

// Whether an address is on the list: an open list takes everyone, a list with a
// malformed entry fails closed and takes loopback callers only.
bool AllowListAdmits(const TAllowList& list, const std::string& address);

// Which rule a request path falls under.
enum class TRouteKind {
  kSystem,    // /system/...: the system routes keep their own local rule
  kOperator,  // /ostrivan/status, /metrics, /ostrivan/ and /ostrivan/jobs/...: loopback callers
              // always, others only on a list
  kOther,     // the job routes and anything else
};
TRouteKind RouteKindOf(const std::string& document);

// The gate's rule: whether a caller at address may call a route of that kind under list.
bool AdmitsCaller(TRouteKind kind, const TAllowList& list, const std::string& address);

// The gate the HTTP server asks for each request: reads ClientAmmessi anew each time.
// A list that changed is reported once in the log: an error line for each malformed
// entry; an open list as a warning (so the start-up log says it once).
class TCallerGate {
 public:
  bool Admit(const http::THTTPRequestInfo& request);
  // Reads the list and logs what it says, as the first request would.
  void Report();

 private:
  TAllowList Current();

  std::mutex lock_;
  bool reported_ = false;
  std::string reported_text_;
};

}  // namespace ostrivan::host

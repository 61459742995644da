// Whole connections to the service's web module through the transport, with what the
// network does to them: reads cut anywhere, a client that resets after any byte of the
// reply or never takes delivery, callers of either family (mapped IPv4 included) judged by
// an allow-list the input writes. A crash, a sanitizer report, an exception the
// connection loop lets through, or a gate that admits a caller its list refuses (or the
// reverse) is a finding.
//
// Input: [reads][peer][send limit][delivery] allow-list "\n" request bytes...
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "common/error.h"
#include "host/allow_list.h"
#include "http/transport.h"
#include "web_service_support.h"

namespace {

using namespace ostrivan;

const char* const kPeers[] = {"127.0.0.1",       "::1",         "::ffff:127.0.0.1", "192.168.10.7",
                              "::ffff:10.0.0.5", "2001:db8::7", "10.0.0.5",         "fe80::1"};

// The service with the gate it installs, over the list this input wrote.
struct TGatedService : test_support::TFuzzService {
  TGatedService() : TFuzzService("ostrivan-fuzz-conn-") {
    bridge.SetCallerAdmission([this](const http::THTTPRequestInfo& request) {
      return host::AdmitsCaller(host::RouteKindOf(request.document), list, request.remote_ip);
    });
  }
  host::TAllowList list;
};

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "%s\n", why.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TGatedService service;
  if (size < 4) return 0;
  service.RefillExport();
  const std::size_t chunk = 1 + data[0] % 48;
  const std::string peer = kPeers[data[1] % (sizeof kPeers / sizeof kPeers[0])];
  const std::size_t send_limit = data[2] == 0 ? static_cast<std::size_t>(-1) : std::size_t{data[2]} * 13;
  const bool delivered = (data[3] & 1) != 0;
  std::string rest(reinterpret_cast<const char*>(data + 4), size - 4);
  const std::size_t line_end = rest.find('\n');
  const std::string list_text = line_end == std::string::npos ? std::string() : rest.substr(0, line_end);
  const std::string request = line_end == std::string::npos ? rest : rest.substr(line_end + 1);

  service.list = host::ParseAllowList(list_text);
  // The list's own rule, asked of every form of the peer: mapped IPv4 counts as IPv4.
  const bool direct = host::AllowListAdmits(service.list, peer);
  if (peer.rfind("::ffff:", 0) == 0 && direct != host::AllowListAdmits(service.list, peer.substr(7)))
    Fail("a mapped address is judged unlike its IPv4 form: " + peer + " under \"" + list_text + "\"");
  if (service.list.Open() && !direct) Fail("an open list refused " + peer);
  if (!service.list.Malformed.empty() && direct != host::IsLoopbackAddress(peer))
    Fail("a malformed list did not fail closed to loopback for " + peer);

  auto transport = std::make_unique<http::TMemoryTransport>(request, chunk, peer);
  transport->FailSendAfter(send_limit);
  transport->SetDelivered(delivered);
  http::TIOHandler io(std::move(transport));
  try {
    service.bridge.ProcessConnection(io);
  } catch (const Exception&) {
    // Over-long lines, bad request lines: the connection ends without a reply.
  }
  return 0;
}

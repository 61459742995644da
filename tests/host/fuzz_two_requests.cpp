// Two requests at once on the same service and the same job folders: exports and imports
// racing each other through the module pool, the folder locks and the hold. A crash or a
// sanitizer report is a finding.
//
// Input: [reads] first request "\x00\x00" second request
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "common/error.h"
#include "http/transport.h"
#include "web_service_support.h"

namespace {

using namespace ostrivan;

void Serve(test_support::TFuzzService& service, const std::string& request, std::size_t chunk) {
  http::TIOHandler io(std::make_unique<http::TMemoryTransport>(request, chunk, "127.0.0.1"));
  try {
    service.bridge.ProcessConnection(io);
  } catch (const Exception&) {
    // Over-long lines, bad request lines: the connection ends without a reply.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static test_support::TFuzzService service("ostrivan-fuzz-two-", true);
  if (size < 1) return 0;
  service.RefillExport();
  const std::size_t chunk = 1 + data[0] % 64;
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t split = input.find(std::string("\0\0", 2));
  const std::string first = input.substr(0, split);
  const std::string second = split == std::string::npos ? first : input.substr(split + 2);
  std::thread other([&] { Serve(service, second, chunk); });
  Serve(service, first, 1 + chunk / 2);
  other.join();
  return 0;
}

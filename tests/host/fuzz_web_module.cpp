// Any bytes as one connection to the service's own web module, fed from memory: request
// parsing, the operator routes, the engine's router, percent-decoding, charsets, the JSON
// mapping of the job messages, error replies and both jobs on scratch folders. A crash,
// a sanitizer report or an exception the connection loop lets through is a finding.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/error.h"
#include "http/transport.h"
#include "web_service_support.h"

namespace {

using namespace ostrivan;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static test_support::TFuzzService service("ostrivan-fuzz-web-");
  if (size == 0) return 0;
  // An export always finds a job to pack (NEWEN the program, ROTTLER the file beside it),
  // so an export request reaches the packer.
  service.RefillExport();
  // The first byte picks how the input is split into reads and the caller's address.
  const std::size_t chunk = 1 + data[0] % 64;
  const char* peer = (data[0] & 0x80) ? "192.0.2.7" : "127.0.0.1";
  std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  http::TIOHandler io(std::make_unique<http::TMemoryTransport>(input, chunk, peer));
  try {
    service.bridge.ProcessConnection(io);
  } catch (const Exception&) {
    // Over-long lines, bad request lines: the connection ends without a reply.
  }
  return 0;
}

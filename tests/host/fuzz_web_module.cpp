// Any bytes as one connection to the service's own web module, fed from memory: request
// parsing, the operator routes, the engine's router, percent-decoding, charsets, the JSON
// mapping of the job messages, error replies and both jobs on scratch folders. A crash,
// a sanitizer report or an exception the connection loop lets through is a finding.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/error.h"
#include "host/app_web_module.h"
#include "http/http_web_bridge.h"
#include "http/transport.h"
#include "http/web_request_handler.h"
#include "jobfiles/job_files.h"
#include "jobs/job_parameters.h"
#include "support/scratch_files.h"

namespace {

using namespace ostrivan;
using test_support::Names;
using test_support::TempDir;
using test_support::WriteFile;

// The job folders live in one scratch folder made once per process and removed at exit.
struct TService {
  TService() : scratch("ostrivan-fuzz-web-"), export_dir(scratch / "export"), import_dir(scratch / "import") {
    MakeDirectories(export_dir);
    MakeDirectories(import_dir);
    MakeDirectories(scratch / "store");
    jobs::SetJobStoreDirectory(scratch / "store");
    const std::string exports = export_dir, imports = import_dir;
    jobs::SetJobParameters({[exports] { return exports; }, [imports] { return imports; },
                            [] { return std::int32_t{3}; }, [] { return jobs::kDefaultWriterSettleSeconds; }});
    handler.SetMaxConnections(0);
    handler.SetWebModuleClass(
        [] { return std::unique_ptr<http::TWebModule>(std::make_unique<host::TAppWebModule>()); });
    bridge.SetRequestHandler(&handler);
    host::ApplyAppRequestLimits(bridge);
  }
  TempDir scratch;
  std::string export_dir;
  std::string import_dir;
  http::THTTPWebBridgeRequestHandler handler;
  http::THTTPWebBridge bridge;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TService service;
  if (size == 0) return 0;
  // An export always finds a job to pack (NEWEN the program, ROTTLER the file beside it),
  // so an export request reaches the packer.
  if (Names(service.export_dir).empty()) {
    WriteFile(service.export_dir + "/programs/P1.NC", "G0 X0\r\nM30\r\n");
    WriteFile(service.export_dir + "/R1.NC", "G1 X5\r\n");
  }
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

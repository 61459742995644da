// Two requests at once on the same service and the same job folders: exports and imports
// racing each other through the module pool, the folder locks and the hold. A crash, a
// sanitizer report or a job file cut or lost is a finding.
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
using test_support::ReadFileOrEmpty;
using test_support::TempDir;
using test_support::WriteFile;

// The export folder and the import folder are one: each job meets the other's files.
struct TService {
  TService() : scratch("ostrivan-fuzz-two-"), dir(scratch / "jobs") {
    MakeDirectories(dir);
    MakeDirectories(scratch / "store");
    jobs::SetJobStoreDirectory(scratch / "store");
    const std::string shared = dir;
    jobs::SetJobParameters({[shared] { return shared; }, [shared] { return shared; }, [] { return std::int32_t{2}; },
                            [] { return jobs::kDefaultWriterSettleSeconds; }});
    handler.SetMaxConnections(0);
    handler.SetWebModuleClass(
        [] { return std::unique_ptr<http::TWebModule>(std::make_unique<host::TAppWebModule>()); });
    bridge.SetRequestHandler(&handler);
    host::ApplyAppRequestLimits(bridge);
  }
  TempDir scratch;
  std::string dir;
  http::THTTPWebBridgeRequestHandler handler;
  http::THTTPWebBridge bridge;
};

void Serve(TService& service, const std::string& request, std::size_t chunk) {
  http::TIOHandler io(std::make_unique<http::TMemoryTransport>(request, chunk, "127.0.0.1"));
  try {
    service.bridge.ProcessConnection(io);
  } catch (const Exception&) {
    // Over-long lines, bad request lines: the connection ends without a reply.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TService service;
  if (size < 1) return 0;
  if (Names(service.dir).empty()) {
    WriteFile(service.dir + "/programs/P1.NC", "G0 X0\r\nM30\r\n");
    WriteFile(service.dir + "/R1.NC", "G1 X5\r\n");
  }
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

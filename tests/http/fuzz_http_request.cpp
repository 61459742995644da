// Arbitrary bytes through the request parsing into a test module, no sockets.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/error.h"
#include "http/http_web_bridge.h"
#include "http/transport.h"
#include "http_support.h"

using namespace ostrivan::http;

namespace {

class FuzzModule : public TWebModule {
 public:
  FuzzModule() {
    SetBeforeDispatch([](TCustomWebDispatcher&, TWebRequest& r, TWebResponse& resp, bool& handled) {
      // Read what the engine would read; a malformed field escape raises, as it may.
      resp.SetContent(r.PathInfo() + r.Query() + r.RawContent());
      (void)r.QueryFields();
      handled = (r.ContentLength() & 1) == 0;
    });
  }
};

struct Bridge {
  Bridge() {
    handler.SetMaxConnections(0);
    handler.SetWebModuleClass([] { return std::make_unique<FuzzModule>(); });
    bridge.SetRequestHandler(&handler);
    ostrivan::http::testing::ApplyServiceRequestLimits(bridge);
    bridge.SetMaxRequestBodySize(65536);
  }
  THTTPWebBridgeRequestHandler handler;
  THTTPWebBridge bridge;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Bridge b;
  if (size == 0) return 0;
  // The first byte picks how the input is split into reads.
  size_t chunk = 1 + data[0] % 64;
  std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  TIOHandler io(std::make_unique<TMemoryTransport>(input, chunk));
  try {
    b.bridge.ProcessConnection(io);
  } catch (const ostrivan::Exception&) {
    // Over-long lines, bad request lines: the connection ends silently.
  }
  return 0;
}

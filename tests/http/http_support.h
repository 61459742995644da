#pragma once
// Shared helpers of the HTTP tests: a web module whose dispatch a test supplies, the
// server fed from memory, and a loopback client.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "http/http_web_bridge.h"
#include "http/transport.h"

namespace ostrivan::http::testing {

using DispatchFn = std::function<void(TWebRequest&, TWebResponse&, bool& handled)>;

// A module whose BeforeDispatch runs fn; counts how many modules were built.
class TTestWebModule : public TWebModule {
 public:
  explicit TTestWebModule(DispatchFn fn);
  static int created;
};

// A bridge bound to its own handler (not the process-wide one) running fn, with the
// body limit and refusal the service gives its server.
// The body limit the service gives its server, and the refusal worded as its engine
// words it; the end-to-end tests hold the real service to the same reply.
void ApplyServiceRequestLimits(TCustomHTTPServer& server);

struct BridgeFixture {
  explicit BridgeFixture(DispatchFn fn = nullptr);
  THTTPWebBridgeRequestHandler handler;
  THTTPWebBridge bridge;
  DispatchFn dispatch;
};

struct MemoryResult {
  std::string output;
  std::string error;  // class name of a failure the connection loop passed on, or ""
  size_t sends = 0;
};

// Runs one connection of server over input, handed out in pieces of chunk bytes.
MemoryResult RunInMemory(TCustomHTTPServer& server, const std::string& input, size_t chunk = 32768);

// The reply with the value of its Date header replaced by "*".
std::string MaskDate(const std::string& reply);

// Loopback client: connects, sends, reads until the server closes (or timeout).
int ConnectLoopback(int family, uint16_t port);
std::string Exchange(int family, uint16_t port, const std::string& request, int timeout_ms = 10000);
std::string ReadUntilClose(int fd, int timeout_ms = 10000);
int ThreadCount();

}  // namespace ostrivan::http::testing

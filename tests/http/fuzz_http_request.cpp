// Arbitrary bytes through the request parsing into a test module, no sockets.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http_support.h"

using namespace ostrivan::http;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static testing::BridgeFixture bridge([](TWebRequest& r, TWebResponse& resp, bool& handled) {
    // Touch what the engine would read; a malformed field escape raises, as it may.
    resp.SetContent(r.PathInfo() + r.Query() + r.RawContent());
    (void)r.QueryFields();
    handled = (r.ContentLength() & 1) == 0;
  });
  static bool configured = [] {
    bridge.bridge.SetMaxRequestBodySize(65536);
    return true;
  }();
  (void)configured;
  if (size == 0) return 0;
  // The first byte picks how the input is split into reads.
  size_t chunk = 1 + data[0] % 64;
  std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  (void)testing::RunInMemory(bridge.bridge, input, chunk);
  return 0;
}

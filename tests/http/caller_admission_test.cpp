// The caller gate of the HTTP server (asked once the head is read, before any body) and
// the counts and liveness the service's operator features read from this layer.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "http/http_metrics.h"
#include "http_support.h"
#include "support/wait_for.h"

namespace ostrivan::http {
namespace {

using namespace std::chrono_literals;
using testing::BridgeFixture;
using testing::ConnectLoopback;
using testing::Exchange;
using testing::ReadUntilClose;

void BindV4(TCustomTCPServer& server) {
  TSocketHandle h;
  h.address = "127.0.0.1";
  h.family = AF_INET;
  server.Bindings().push_back(h);
}

using test_support::WaitFor;

TEST(CallerAdmission, RefusedBeforeTheBodyWithTheDefaultPageAndCounted) {
  std::atomic<int> dispatched{0};
  BridgeFixture b([&](TWebRequest&, TWebResponse& response, bool& handled) {
    ++dispatched;
    response.SetContent("served");
    handled = true;
  });
  std::mutex seen_lock;
  std::vector<std::string> seen;
  b.bridge.SetCallerAdmission([&](const THTTPRequestInfo& request) {
    std::lock_guard guard(seen_lock);
    seen.push_back(request.remote_ip + " " + request.command + " " + request.document);
    return request.document.rfind("/open", 0) == 0;
  });
  BindV4(b.bridge);
  b.bridge.SetActive(true);
  const uint16_t port = b.bridge.Bindings()[0].bound_port;
  const std::uint64_t refused_before = RefusalCount();
  const std::uint64_t forbidden_before = ReplyCounts()[403];

  // The body is announced and never sent: only a refusal made before reading it comes
  // back at once.
  const auto started = std::chrono::steady_clock::now();
  const std::string reply = Exchange(AF_INET, port,
                                     "POST /closed/job HTTP/1.1\r\nHost: a\r\nContent-Length: 100000\r\n"
                                     "Expect: 100-continue\r\n\r\n",
                                     20000);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(reply.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << reply;
  EXPECT_EQ(reply.find("100 Continue"), std::string::npos);
  EXPECT_EQ(reply.substr(reply.size() - 46), "<HTML><BODY><B>403 Forbidden</B></BODY></HTML>");
  EXPECT_EQ(dispatched.load(), 0);
  EXPECT_EQ(RefusalCount(), refused_before + 1);
  EXPECT_EQ(ReplyCounts()[403], forbidden_before + 1);

  const std::string served = Exchange(AF_INET, port, "GET /open/x HTTP/1.1\r\nHost: a\r\n\r\n");
  EXPECT_EQ(served.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << served;
  EXPECT_EQ(dispatched.load(), 1);
  EXPECT_EQ(RefusalCount(), refused_before + 1);
  std::lock_guard guard(seen_lock);
  EXPECT_EQ(seen, (std::vector<std::string>{"127.0.0.1 POST /closed/job", "127.0.0.1 GET /open/x"}));
  b.bridge.SetActive(false);
}

TEST(CallerAdmission, OpenConnectionsAreCountedWhileTheyLast) {
  BridgeFixture b([](TWebRequest&, TWebResponse& response, bool& handled) {
    response.SetContent("ok");
    handled = true;
  });
  BindV4(b.bridge);
  b.bridge.SetActive(true);
  const uint16_t port = b.bridge.Bindings()[0].bound_port;
  const std::int64_t before = OpenConnectionCount();
  const int silent = ConnectLoopback(AF_INET, port);
  ASSERT_GE(silent, 0);
  EXPECT_TRUE(WaitFor([&] { return OpenConnectionCount() == before + 1; }));
  ::close(silent);
  EXPECT_TRUE(WaitFor([&] { return OpenConnectionCount() == before; }));
  b.bridge.SetActive(false);
}

TEST(ListenerLiveness, AcceptingOnlyWhileActiveAndAtTheCapToo) {
  BridgeFixture b([](TWebRequest&, TWebResponse& response, bool& handled) {
    response.SetContent("ok");
    handled = true;
  });
  BindV4(b.bridge);
  EXPECT_FALSE(b.bridge.Accepting());
  b.bridge.SetActive(true);
  EXPECT_TRUE(b.bridge.Accepting());
  // At the cap new connections wait in the queue by design: still alive.
  b.bridge.SetLiveConnectionCap(1);
  const uint16_t port = b.bridge.Bindings()[0].bound_port;
  const int holder = ConnectLoopback(AF_INET, port);
  ASSERT_GE(holder, 0);
  EXPECT_TRUE(WaitFor([&] { return b.bridge.LiveConnectionCount() == 1; }));
  EXPECT_TRUE(b.bridge.Accepting());
  ::close(holder);
  EXPECT_TRUE(WaitFor([&] { return b.bridge.LiveConnectionCount() == 0; }));
  EXPECT_TRUE(WaitFor([&] { return b.bridge.ParkedWorkerCount() >= 1; }));
  EXPECT_TRUE(b.bridge.Accepting());
  b.bridge.SetActive(false);
  EXPECT_FALSE(b.bridge.Accepting());
}

}  // namespace
}  // namespace ostrivan::http

// The listener on loopback: activation, bind failure, both families, line limits on a
// real socket, deactivation with silent clients, and many clients at once.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "http/http_exceptions.h"
#include "http_support.h"
#include "support/wait_for.h"

namespace ostrivan::http {
namespace {

using namespace std::chrono_literals;
using testing::BridgeFixture;
using testing::ConnectLoopback;
using testing::Exchange;
using testing::ReadUntilClose;

bool HaveIPv6Loopback() {
  int fd = socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

// Loopback endpoints on ephemeral ports, so parallel test runs never collide.
void BindLoopback(TCustomTCPServer& server, bool v6) {
  TSocketHandle v4h;
  v4h.address = "127.0.0.1";
  v4h.family = AF_INET;
  server.Bindings().push_back(v4h);
  if (v6) {
    TSocketHandle h6;
    h6.address = "::1";
    h6.family = AF_INET6;
    server.Bindings().push_back(h6);
  }
}

const char* kRequest = "GET /x HTTP/1.1\r\nHost: a\r\n\r\n";

TEST(TcpServer, BothFamiliesAcceptAndDefaultEndpointsShareOnePort) {
  BridgeFixture b;
  bool v6 = HaveIPv6Loopback();
  BindLoopback(b.bridge, v6);
  b.bridge.SetActive(true);
  ASSERT_TRUE(b.bridge.Active());
  uint16_t p4 = b.bridge.Bindings()[0].bound_port;
  EXPECT_EQ(Exchange(AF_INET, p4, kRequest).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  if (v6) {
    uint16_t p6 = b.bridge.Bindings()[1].bound_port;
    EXPECT_EQ(Exchange(AF_INET6, p6, kRequest).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  }
  b.bridge.SetActive(false);
  EXPECT_FALSE(b.bridge.Active());
  EXPECT_EQ(ConnectLoopback(AF_INET, p4), -1);

  // Default endpoints: the any-address of each family on DefaultPort.
  BridgeFixture d;
  for (int attempt = 0; attempt < 20 && !d.bridge.Active(); ++attempt) {
    BridgeFixture probe;
    BindLoopback(probe.bridge, false);
    probe.bridge.SetActive(true);
    uint16_t port = probe.bridge.Bindings()[0].bound_port;
    probe.bridge.SetActive(false);
    d.bridge.SetDefaultPort(port);
    try {
      d.bridge.SetActive(true);
    } catch (const ECouldNotBindSocket&) {
    }
  }
  ASSERT_TRUE(d.bridge.Active());
  EXPECT_EQ(d.bridge.Bindings().size(), v6 ? 2u : 1u);
  EXPECT_EQ(Exchange(AF_INET, d.bridge.DefaultPort(), kRequest).rfind("HTTP/1.1 200", 0), 0u);
  if (v6) {
    EXPECT_EQ(Exchange(AF_INET6, d.bridge.DefaultPort(), kRequest).rfind("HTTP/1.1 200", 0), 0u);
  }
  d.bridge.SetActive(false);
  EXPECT_TRUE(d.bridge.Bindings().empty());  // made again from DefaultPort next time
}

TEST(TcpServer, BindFailureLeavesNothingOpen) {
  BridgeFixture first;
  BindLoopback(first.bridge, false);
  first.bridge.SetActive(true);
  uint16_t port = first.bridge.Bindings()[0].bound_port;

  BridgeFixture second;
  // A free endpoint first, then the taken one: the first socket must be closed again.
  TSocketHandle free_one;
  free_one.address = "127.0.0.1";
  free_one.family = AF_INET;
  second.bridge.Bindings().push_back(free_one);
  TSocketHandle taken = free_one;
  taken.port = port;
  second.bridge.Bindings().push_back(taken);
  try {
    second.bridge.SetActive(true);
    ADD_FAILURE() << "activation succeeded";
  } catch (const ECouldNotBindSocket& e) {
    EXPECT_STREQ(e.ClassName(), "ECouldNotBindSocket");
    EXPECT_EQ(e.Message(), "Could not bind socket.");
    EXPECT_NE(dynamic_cast<const ostrivan::Exception*>(&e), nullptr);
  }
  EXPECT_FALSE(second.bridge.Active());
  for (const auto& h : second.bridge.Bindings()) EXPECT_EQ(h.fd, -1);
  EXPECT_EQ(Exchange(AF_INET, port, kRequest).rfind("HTTP/1.1 200", 0), 0u);  // first unaffected
  first.bridge.SetActive(false);
  // Now free: the same server object can activate on it.
  second.bridge.Bindings().erase(second.bridge.Bindings().begin());
  second.bridge.SetActive(true);
  EXPECT_TRUE(second.bridge.Active());
}

TEST(TcpServer, LineLengthBoundaryOnASocket) {
  BridgeFixture b;
  BindLoopback(b.bridge, false);
  b.bridge.SetActive(true);
  uint16_t port = b.bridge.Bindings()[0].bound_port;
  std::string accepted = "GET /" + std::string(16383 - 14, 'a') + " HTTP/1.0\r\n\r\n";  // 16384 with CR
  std::string refused = "GET /" + std::string(16384 - 14, 'a') + " HTTP/1.0\r\n\r\n";   // 16385
  EXPECT_EQ(Exchange(AF_INET, port, accepted).rfind("HTTP/1.1 200 OK", 0), 0u);
  EXPECT_EQ(Exchange(AF_INET, port, refused), "");
  EXPECT_EQ(Exchange(AF_INET, port, kRequest).rfind("HTTP/1.1 200 OK", 0), 0u);  // still serving
}

TEST(TcpServer, ExpectContinueWaitsForTheBody) {
  BridgeFixture b([](TWebRequest& r, TWebResponse& resp, bool& handled) {
    resp.SetContent(r.RawContent());
    handled = true;
  });
  BindLoopback(b.bridge, false);
  b.bridge.SetActive(true);
  int fd = ConnectLoopback(AF_INET, b.bridge.Bindings()[0].bound_port);
  ASSERT_GE(fd, 0);
  std::string head = "POST / HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n";
  send(fd, head.data(), head.size(), MSG_NOSIGNAL);
  char buffer[64];
  ssize_t n = recv(fd, buffer, sizeof buffer, 0);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), "HTTP/1.1 100 Continue\r\n\r\n");
  send(fd, "body", 4, MSG_NOSIGNAL);
  std::string reply = ReadUntilClose(fd);
  close(fd);
  EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_EQ(reply.substr(reply.size() - 4), "body");
}

TEST(TcpServer, OversizedBodyReplyReachesTheClient) {
  BridgeFixture b;
  b.bridge.SetMaxRequestBodySize(1024);
  BindLoopback(b.bridge, false);
  b.bridge.SetActive(true);
  int fd = ConnectLoopback(AF_INET, b.bridge.Bindings()[0].bound_port);
  ASSERT_GE(fd, 0);
  std::string request = "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 300000\r\n\r\n" + std::string(300000, 'z');
  std::thread sender([&] { send(fd, request.data(), request.size(), MSG_NOSIGNAL); });
  std::string reply = ReadUntilClose(fd);
  sender.join();
  close(fd);
  EXPECT_EQ(reply.rfind("HTTP/1.1 413 Request Entity Too Long\r\n", 0), 0u);
  EXPECT_NE(reply.find("Request size exceeded the max allowed size [1 KiB] (1)"), std::string::npos);
}

TEST(TcpServer, DeactivationClosesSilentClientsPromptly) {
  int threads_before = testing::ThreadCount();
  BridgeFixture b;
  BindLoopback(b.bridge, false);
  b.bridge.SetActive(true);
  uint16_t port = b.bridge.Bindings()[0].bound_port;
  std::vector<int> silent;
  for (int i = 0; i < 5; ++i) silent.push_back(ConnectLoopback(AF_INET, port));
  int half = ConnectLoopback(AF_INET, port);
  send(half, "GET / HTTP/1.1\r\nHost", 20, MSG_NOSIGNAL);
  test_support::WaitFor([&] { return b.bridge.LiveConnectionCount() >= 6; }, 1s);
  EXPECT_EQ(b.bridge.LiveConnectionCount(), 6u);
  b.bridge.SetActive(false);
  EXPECT_EQ(b.bridge.LiveConnectionCount(), 0u);
  EXPECT_EQ(b.bridge.WorkerCount(), 0u);
  EXPECT_EQ(testing::ThreadCount(), threads_before);
  for (int fd : silent) {
    EXPECT_EQ(ReadUntilClose(fd, 2000), "");  // closed without a reply
    close(fd);
  }
  close(half);
}

TEST(TcpServer, ConnectionLimitClosesExtraConnectionsAtOnce) {
  BridgeFixture b;
  BindLoopback(b.bridge, false);
  b.bridge.SetMaxConnections(1);
  b.bridge.SetActive(true);
  uint16_t port = b.bridge.Bindings()[0].bound_port;
  int held = ConnectLoopback(AF_INET, port);
  test_support::WaitFor([&] { return b.bridge.LiveConnectionCount() >= 1; }, 1s);
  EXPECT_EQ(Exchange(AF_INET, port, kRequest, 5000), "");
  close(held);
  test_support::WaitFor([&] { return b.bridge.LiveConnectionCount() == 0; }, 1s);
  EXPECT_EQ(Exchange(AF_INET, port, kRequest).rfind("HTTP/1.1 200", 0), 0u);
}

TEST(TcpServer, ManyConcurrentClientsLoseNoReply) {
  int threads_before = testing::ThreadCount();
  {
    BridgeFixture b([](TWebRequest& r, TWebResponse& resp, bool& handled) {
      resp.SetContent("echo " + r.PathInfo());
      handled = true;
    });
    b.handler.SetMaxConnections(4096);
    BindLoopback(b.bridge, false);
    b.bridge.SetListenQueue(200);  // set before activation: in force
    b.bridge.SetActive(true);
    uint16_t port = b.bridge.Bindings()[0].bound_port;
    constexpr int kClients = 200;
    std::vector<std::string> replies(kClients);
    std::vector<std::thread> clients;
    for (std::size_t i = 0; i < kClients; ++i) {
      clients.emplace_back(
          [&, i] { replies[i] = Exchange(AF_INET, port, "GET /" + std::to_string(i) + " HTTP/1.0\r\n\r\n", 20000); });
    }
    for (auto& t : clients) t.join();
    for (std::size_t i = 0; i < kClients; ++i) {
      std::string body = "echo /" + std::to_string(i);
      ASSERT_GE(replies[i].size(), body.size()) << i;
      EXPECT_EQ(replies[i].substr(replies[i].size() - body.size()), body) << i;
    }
  }
  EXPECT_EQ(testing::ThreadCount(), threads_before);
}

}  // namespace
}  // namespace ostrivan::http

// A reply's fate: the server tells the response's delivery event once, true only when
// the client's TCP acknowledged every byte and the client closed in order; a reset, a
// client that reads nothing, a deadline, an abort or a reply that was never written
// give false.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <tuple>
#include <vector>

#include "http/http_server.h"
#include "http/io_handler.h"
#include "http/transport.h"
#include "http_support.h"

namespace ostrivan::http {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// ----------------------------------------------------------- through the server, in memory

struct Recorder {
  std::vector<bool> calls;
  TDeliveryEvent Event() {
    return [this](bool delivered) { calls.push_back(delivered); };
  }
};

const char* const kGet = "GET /job HTTP/1.1\r\nHost: x\r\n\r\n";

TEST(DeliveryEvent, ToldOnceWithWhatTheTransportSays) {
  for (const bool acknowledged : {true, false}) {
    SCOPED_TRACE(acknowledged);
    Recorder recorder;
    TCustomHTTPServer server;
    server.SetOnCommandGet([&](TIOHandler&, THTTPRequestInfo&, THTTPResponseInfo& response) {
      response.SetContentText("the job");
      response.SetOnDelivered(recorder.Event());
    });
    auto transport = std::make_unique<TMemoryTransport>(kGet);
    TMemoryTransport* raw = transport.get();
    raw->SetDelivered(acknowledged);
    TIOHandler io(std::move(transport));
    server.ProcessConnection(io);
    EXPECT_NE(raw->Output().find("the job"), std::string::npos);
    EXPECT_EQ(recorder.calls, std::vector<bool>{acknowledged});
  }
}

TEST(DeliveryEvent, AReplyReplacedByAnErrorOrNeverWrittenIsNotDelivered) {
  struct Case {
    const char* what;
    std::function<void(THTTPResponseInfo&, Recorder&)> handler;
  };
  const std::vector<Case> cases = {
      {"handler fails after setting it",
       [](THTTPResponseInfo& r, Recorder& rec) {
         r.SetOnDelivered(rec.Event());
         throw std::runtime_error("render failed");
       }},
      {"record freed unwritten",
       [](THTTPResponseInfo&, Recorder& rec) {
         THTTPResponseInfo never(nullptr, nullptr);
         never.SetOnDelivered(rec.Event());
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Recorder recorder;
    TCustomHTTPServer server;
    server.SetOnCommandGet(
        [&](TIOHandler&, THTTPRequestInfo&, THTTPResponseInfo& response) { c.handler(response, recorder); });
    testing::RunInMemory(server, kGet);
    EXPECT_EQ(recorder.calls, std::vector<bool>{false});
  }
  // A web response that never reaches a server reports false when freed.
  Recorder recorder;
  {
    struct TBare : TWebResponse {
      TBare() : TWebResponse(nullptr) {}
      std::string GetStringVariable(int) override { return {}; }
      void SetStringVariable(int, const std::string&) override {}
      TDateTime GetDateVariable(int) override { return -1; }
      void SetDateVariable(int, TDateTime) override {}
      int64_t GetIntegerVariable(int) override { return -1; }
      void SetIntegerVariable(int, int64_t) override {}
      int StatusCode() override { return 200; }
      void SetStatusCode(int) override {}
      std::string Content() override { return {}; }
      void SetContent(const std::string&) override {}
      void SetContentStream(std::unique_ptr<TStream>) override {}
      void SetContentStreamRef(TStream*) override {}
      void SendResponse() override {}
      void SendRedirect(const std::string&) override {}
      void SendStream(TStream&) override {}
      bool Sent() override { return false; }
    } bare;
    bare.SetOnDelivered(recorder.Event());
  }
  EXPECT_EQ(recorder.calls, std::vector<bool>{false});
}

// ----------------------------------------------------------- on a real loopback socket

// A connected pair: the server's end as a transport, the client's as a descriptor.
struct Pair {
  std::unique_ptr<TSocketTransport> server;
  int client = -1;
  ~Pair() {
    if (client >= 0) ::close(client);
  }
};

void Connect(Pair& pair, int client_rcvbuf) {
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  ::listen(listener, 1);
  pair.client = ::socket(AF_INET, SOCK_STREAM, 0);
  // A small window: what the client does not read stays unacknowledged.
  if (client_rcvbuf > 0) ::setsockopt(pair.client, SOL_SOCKET, SO_RCVBUF, &client_rcvbuf, sizeof client_rcvbuf);
  EXPECT_EQ(::connect(pair.client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  pair.server = std::make_unique<TSocketTransport>(::accept(listener, nullptr, nullptr));
  ::close(listener);
}

// Sends size bytes from a thread (the send blocks while the client does not read),
// then waits for delivery; the result arrives through the future.
std::future<bool> SendAndWait(TSocketTransport& server, size_t size, std::chrono::milliseconds deadline) {
  return std::async(std::launch::async, [&server, size, deadline] {
    try {
      const std::string reply(size, 'x');
      server.Send(reply.data(), reply.size());
    } catch (const std::exception&) {
      return false;  // the client went away mid-reply
    }
    return server.WaitDelivered(Clock::now() + deadline);
  });
}

size_t ReadSome(int fd, size_t count) {
  std::vector<char> buffer(65536);
  size_t got = 0;
  while (got < count) {
    ssize_t n = ::recv(fd, buffer.data(), std::min(buffer.size(), count - got), 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

constexpr size_t kReply = 2 * 1024 * 1024;

TEST(WaitDelivered, AClientThatReadsItAllAndClosesHasIt) {
  Pair p;
    Connect(p, 0);
  auto result = SendAndWait(*p.server, kReply, 10s);
  EXPECT_EQ(ReadSome(p.client, kReply + 1), kReply);  // the reply, then our end-of-data
  ::close(p.client);
  p.client = -1;
  EXPECT_TRUE(result.get());
}

TEST(WaitDelivered, AClientThatLeavesPartUnreadDoesNot) {
  for (const size_t read : {size_t{0}, size_t{100 * 1024}, kReply - 1}) {
    SCOPED_TRACE(read);
    Pair p;
    Connect(p, 4096);
    auto result = SendAndWait(*p.server, kReply, 10s);
    EXPECT_EQ(ReadSome(p.client, read), read);
    ::close(p.client);  // with bytes unread: a reset
    p.client = -1;
    EXPECT_FALSE(result.get());
  }
}

TEST(WaitDelivered, TheDeadlineCountsOnlyWhatWasAcknowledged) {
  {
    Pair p;
    Connect(p, 4096);  // never reads: most of the reply stays unacknowledged
    auto result = SendAndWait(*p.server, 64 * 1024, 300ms);
    // The reply fits the server's send buffer, so the wait itself meets the deadline.
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(result.get());
  }
  {
    Pair p;
    Connect(p, 0);  // reads it all but keeps the connection open
    auto result = SendAndWait(*p.server, 64 * 1024, 300ms);
    EXPECT_EQ(ReadSome(p.client, 64 * 1024), 64 * 1024u);
    EXPECT_TRUE(result.get());
  }
}

TEST(WaitDelivered, AnAbortEndsTheWaitAtOnceCountingWhatWasAcknowledged) {
  // (client receive buffer, reply size, delivered): a client that never reads nor closes.
  const std::vector<std::tuple<int, size_t, bool>> cases = {
      {4096, 64 * 1024, false},  // most of the reply unacknowledged when the stop comes
      {0, 1024, true},           // all of it in the client's buffer already
  };
  for (const auto& [rcvbuf, size, delivered] : cases) {
    SCOPED_TRACE(size);
    Pair p;
    Connect(p, rcvbuf);
    auto result = SendAndWait(*p.server, size, 30s);
    std::this_thread::sleep_for(200ms);
    const auto start = Clock::now();
    p.server->Abort();  // what stopping the server does to every live connection
    EXPECT_EQ(result.get(), delivered);
    EXPECT_LT(Clock::now() - start, 5s);
  }
}

}  // namespace
}  // namespace ostrivan::http

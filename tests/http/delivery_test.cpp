// A reply's fate: the server tells the response's delivery event once, true only when
// every byte of the reply went to the socket without a failed send, the client's TCP
// acknowledged it and the client closed in order; a reset (before, during or after the
// send, even one whose error someone absorbed), a client that reads nothing, a stalled
// send, a deadline, an abort or a reply that was never written give false.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "http/http_exceptions.h"
#include "http/http_server.h"
#include "http/io_handler.h"
#include "http/transport.h"
#include "http_support.h"
#include "support/wait_for.h"

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
  int server_fd = -1;  // owned by server
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
  pair.server_fd = ::accept(listener, nullptr, nullptr);
  pair.server = std::make_unique<TSocketTransport>(pair.server_fd);
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

// The TCP state of a socket (TCP_ESTABLISHED, TCP_FIN_WAIT1, ...).
int TcpState(int fd) {
  tcp_info info{};
  socklen_t len = sizeof info;
  return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 ? info.tcpi_state : -1;
}

// A send that can take nothing more: the socket's buffer is full.
bool SendBlocked(int fd) {
  pollfd writable{fd, POLLOUT, 0};
  return ::poll(&writable, 1, 0) == 0;
}

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
    // The wait has begun once the server half-closed after the reply; a client that has
    // acknowledged everything has acknowledged that end too.
    ASSERT_TRUE(test_support::WaitFor([&] { return TcpState(p.server_fd) != TCP_ESTABLISHED; }, 5s));
    if (delivered) {
      ASSERT_TRUE(test_support::WaitFor([&] { return TcpState(p.server_fd) == TCP_FIN_WAIT2; }, 5s));
    }
    const auto start = Clock::now();
    p.server->Abort();  // what stopping the server does to every live connection
    EXPECT_EQ(result.get(), delivered);
    EXPECT_LT(Clock::now() - start, 5s);
  }
}

}  // namespace
}  // namespace ostrivan::http

namespace ostrivan::http {
namespace {

// ----------------------------------------------------------- a send that fails on the way

// The reply as the MVC layer sends it: the handler writes it itself, absorbs a failure
// (its response flushes in a destructor) and lets go of the content, so the server has
// nothing left to write and only its own check can tell.
struct Absorbing {
  Recorder recorder;
  std::string content;
  void operator()(TIOHandler&, THTTPRequestInfo&, THTTPResponseInfo& response) {
    response.SetContentText(content);
    response.SetOnDelivered(recorder.Event());
    try {
      response.WriteContent();
    } catch (const ESocketError&) {
    }
    response.SetContentText("");
  }
};

// A web module's reply sent the same way.
void SendAndLetGo(TWebResponse& response, const std::string& content, TDeliveryEvent event) {
  response.SetContent(content);
  response.SetOnDelivered(std::move(event));
  try {
    response.SendResponse();
  } catch (const ESocketError&) {
  }
  response.SetContent("");
  response.SetContentStream(nullptr);
}

TEST(DeliveryProof, ASendThatFailedIsNotDeliveredWhoeverAbsorbedIt) {
  // Bodies below and above the one-piece limit; the client takes nothing, part of the
  // head, all but the last byte, or all of the reply.
  for (const size_t body : {size_t{100}, size_t{300 * 1024}}) {
    auto run = [body](size_t taken, TMemoryTransport** out, std::unique_ptr<TIOHandler>& io, Absorbing& handler) {
      handler.content.assign(body, 'j');
      TCustomHTTPServer server;
      server.SetOnCommandGet(std::ref(handler));
      auto transport = std::make_unique<TMemoryTransport>(kGet);
      *out = transport.get();
      transport->FailSendAfter(taken);
      io = std::make_unique<TIOHandler>(std::move(transport));
      server.ProcessConnection(*io);
    };
    size_t whole = 0;
    {
      Absorbing handler;
      TMemoryTransport* raw = nullptr;
      std::unique_ptr<TIOHandler> io;
      run(static_cast<size_t>(-1) / 2, &raw, io, handler);
      whole = raw->Output().size();
      ASSERT_GT(whole, body);
      EXPECT_EQ(handler.recorder.calls, std::vector<bool>{true});
    }
    for (const size_t taken : {size_t{0}, size_t{40}, whole - 1, whole}) {
      SCOPED_TRACE(std::to_string(body) + " byte body, " + std::to_string(taken) + " bytes taken");
      Absorbing handler;
      TMemoryTransport* raw = nullptr;
      std::unique_ptr<TIOHandler> io;
      run(taken, &raw, io, handler);
      const bool all_taken = taken == whole;
      EXPECT_EQ(raw->SendFailed(), !all_taken);
      EXPECT_EQ(raw->BytesSent(), taken);
      EXPECT_EQ(handler.recorder.calls, std::vector<bool>{all_taken});
    }
  }
}

TEST(DeliveryProof, NothingFollowsAFailedSend) {
  TMemoryTransport transport("");
  transport.FailSendAfter(10);
  EXPECT_THROW(transport.Send("0123456789abcdef", 16), ESocketError);
  EXPECT_EQ(transport.Output(), "0123456789");
  // Even with room again, a later piece would follow a gap: it is refused.
  transport.FailSendAfter(1000);
  EXPECT_THROW(transport.Send("xyz", 3), ESocketError);
  EXPECT_EQ(transport.Output(), "0123456789");
  EXPECT_EQ(transport.BytesSent(), 10u);
  EXPECT_TRUE(transport.SendFailed());
  EXPECT_FALSE(transport.WaitDelivered(Clock::now()));
}

TEST(DeliveryProof, AReplyShorterThanItsHeaderSaysIsNotDelivered) {
  // No failure at all, and the transport would say delivered: the body announced never
  // went out.
  Recorder recorder;
  TCustomHTTPServer server;
  std::string body(5000, 'b');
  TMemoryStream stream;
  stream.Write(body.data(), static_cast<int64_t>(body.size()));
  server.SetOnCommandGet([&](TIOHandler&, THTTPRequestInfo&, THTTPResponseInfo& response) {
    response.SetContentStreamRef(&stream);
    response.SetOnDelivered(recorder.Event());
    response.WriteHeader();                 // announces 5000 bytes
    response.SetContentStreamRef(nullptr);  // and nothing follows
  });
  const auto result = testing::RunInMemory(server, kGet);
  EXPECT_NE(result.output.find("Content-Length: 5000"), std::string::npos);
  EXPECT_EQ(recorder.calls, std::vector<bool>{false});
}

TEST(DeliveryProof, TheWebBridgesAbsorbedFailureIsNotDelivered) {
  for (const size_t taken : {size_t{0}, size_t{100}, size_t{70 * 1024}}) {
    SCOPED_TRACE(taken);
    Recorder recorder;
    testing::BridgeFixture b([&](TWebRequest&, TWebResponse& response, bool& handled) {
      SendAndLetGo(response, std::string(200 * 1024, 'z'), recorder.Event());
      handled = true;
    });
    auto transport = std::make_unique<TMemoryTransport>(kGet);
    transport->FailSendAfter(taken);
    TIOHandler io(std::move(transport));
    b.bridge.ProcessConnection(io);
    EXPECT_EQ(recorder.calls, std::vector<bool>{false});
  }
  // The same reply taken whole is delivered: the check above can tell the two apart.
  Recorder recorder;
  testing::BridgeFixture b([&](TWebRequest&, TWebResponse& response, bool& handled) {
    SendAndLetGo(response, std::string(200 * 1024, 'z'), recorder.Event());
    handled = true;
  });
  testing::RunInMemory(b.bridge, kGet);
  EXPECT_EQ(recorder.calls, std::vector<bool>{true});
}

// ----------------------------------------------------------- resets and stalls on loopback

void ResetClient(Pair& p) {
  linger reset{1, 0};
  ::setsockopt(p.client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(p.client);
  p.client = -1;
}

// Until the server's end has seen the reset (its next send would fail).
void AwaitReset(TSocketTransport& server) { (void)server.WaitReadable(5000); }

TEST(SendFailure, AResetBeforeTheReplyIsNeverADelivery) {
  // Nothing queued and the peer gone: the socket alone would show nothing unacknowledged
  // and an end of data.
  Pair p;
  Connect(p, 0);
  ResetClient(p);
  AwaitReset(*p.server);
  const std::string reply(1000, 'r');
  EXPECT_THROW(p.server->Send(reply.data(), reply.size()), ESocketError);
  EXPECT_TRUE(p.server->SendFailed());
  EXPECT_EQ(p.server->BytesSent(), 0u);
  EXPECT_FALSE(p.server->WaitDelivered(Clock::now() + 2s));
}

TEST(SendFailure, AResetWhileTheReplyIsSentFailsTheSendAndTheDelivery) {
  for (const size_t read : {size_t{0}, size_t{200 * 1024}}) {
    SCOPED_TRACE(read);
    Pair p;
    Connect(p, 4096);
    auto sent = std::async(std::launch::async, [&] {
      const std::string reply(4 * 1024 * 1024, 'x');
      try {
        p.server->Send(reply.data(), reply.size());
      } catch (const ESocketError&) {
      }
      return p.server->WaitDelivered(Clock::now() + 5s);
    });
    EXPECT_EQ(ReadSome(p.client, read), read);
    std::this_thread::sleep_for(100ms);
    ResetClient(p);
    EXPECT_FALSE(sent.get());
    EXPECT_TRUE(p.server->SendFailed());
    EXPECT_LT(p.server->BytesSent(), 4u * 1024 * 1024);
  }
}

TEST(SendFailure, AClientThatTakesNoByteEndsTheSendAfterTheLimit) {
  Pair p;
  Connect(p, 4096);  // never reads, never closes
  const std::string reply(4 * 1024 * 1024, 'x');
  EXPECT_THROW(p.server->Send(reply.data(), reply.size(), 300), EWriteTimeout);
  EXPECT_EQ(p.server->SendError(), ETIMEDOUT);
  EXPECT_GT(p.server->BytesSent(), 0u);
  EXPECT_LT(p.server->BytesSent(), reply.size());
  // The client reads now: the bytes after the gap still never go.
  const uint64_t before_gap = p.server->BytesSent();
  EXPECT_EQ(ReadSome(p.client, 1000), 1000u);
  EXPECT_THROW(p.server->Send("late", 4, 300), EWriteTimeout);
  EXPECT_EQ(p.server->BytesSent(), before_gap);
  EXPECT_FALSE(p.server->WaitDelivered(Clock::now() + 5s));
}

TEST(SendFailure, OurOwnBufferTakingMoreIsNoProgressOfTheClient) {
  // The kernel may take more of the reply into the service's own send buffer long after
  // the client stopped reading (here: the buffer grows); only the client's
  // acknowledgements restart the clock.
  Pair p;
  Connect(p, 4096);  // never reads, never closes
  int small = 64 * 1024;
  ASSERT_EQ(::setsockopt(p.server_fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  constexpr auto kLimit = 1500ms;
  const auto start = Clock::now();
  auto sent = std::async(std::launch::async, [&] {
    const std::string reply(8 * 1024 * 1024, 'x');
    try {
      p.server->Send(reply.data(), reply.size(), static_cast<int>(kLimit.count()));
    } catch (const EWriteTimeout&) {
      return Clock::now();
    }
    return Clock::time_point{};
  });
  // Stalled on the client: the buffer is full before it grows.
  ASSERT_TRUE(test_support::WaitFor([&] { return SendBlocked(p.server_fd); }, 5s));
  const uint64_t before = p.server->BytesSent();
  int large = 2 * 1024 * 1024;
  ASSERT_EQ(::setsockopt(p.server_fd, SOL_SOCKET, SO_SNDBUF, &large, sizeof large), 0);
  ASSERT_EQ(sent.wait_for(10s), std::future_status::ready);
  const Clock::time_point failed = sent.get();
  ASSERT_NE(failed, Clock::time_point{}) << "the send went through";
  EXPECT_GT(p.server->BytesSent(), before) << "the buffer took nothing more: the case is not made";
  EXPECT_GE(failed - start, kLimit - 100ms);
  EXPECT_LT(failed - start, kLimit + 700ms);
  EXPECT_EQ(p.server->SendError(), ETIMEDOUT);
}

TEST(SendFailure, ASlowButLiveReaderIsNotCutOff) {
  // The limit counts from the last byte taken, not from the start of the reply.
  Pair p;
  Connect(p, 4096);
  constexpr size_t kSize = 1024 * 1024;
  auto sent = std::async(std::launch::async, [&] {
    const std::string reply(kSize, 'x');
    p.server->Send(reply.data(), reply.size(), 400);
    return p.server->WaitDelivered(Clock::now() + 10s);
  });
  // Far longer in all than the limit, with short pauses.
  const auto start = Clock::now();
  size_t got = 0;
  while (got < kSize) {
    got += ReadSome(p.client, std::min<size_t>(64 * 1024, kSize - got));
    if (Clock::now() - start < 1500ms) std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(ReadSome(p.client, 1), 0u);  // our end of data
  ::close(p.client);
  p.client = -1;
  EXPECT_TRUE(sent.get());
  EXPECT_FALSE(p.server->SendFailed());
  EXPECT_EQ(p.server->BytesSent(), kSize);
}

TEST(SendFailure, AStopWakesASendBlockedOnAStalledClient) {
  for (const int limit_ms : {-1, 60000}) {
    SCOPED_TRACE(limit_ms);
    Pair p;
    Connect(p, 4096);
    std::atomic<bool> returned{false};
    auto sent = std::async(std::launch::async, [&] {
      const std::string reply(4 * 1024 * 1024, 'x');
      bool failed = false;
      try {
        p.server->Send(reply.data(), reply.size(), limit_ms);
      } catch (const ESocketError&) {
        failed = true;
      }
      returned = true;
      return failed;
    });
    ASSERT_TRUE(test_support::WaitFor([&] { return SendBlocked(p.server_fd); }, 5s));
    EXPECT_FALSE(returned.load());  // blocked on the client
    const auto start = Clock::now();
    p.server->Abort();
    ASSERT_EQ(sent.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(sent.get());
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_TRUE(p.server->SendFailed());
    EXPECT_FALSE(p.server->WaitDelivered(Clock::now() + 1s));
  }
}

TEST(SendFailure, ACutReplyEndsInAResetNotAnOrderlyEnd) {
  Pair p;
  Connect(p, 4096);
  const std::string reply(4 * 1024 * 1024, 'x');
  EXPECT_THROW(p.server->Send(reply.data(), reply.size(), 200), EWriteTimeout);
  p.server->Close();
  // The client reads what arrived; then a reset, never the end of data of a whole reply.
  std::vector<char> buffer(65536);
  ssize_t n;
  int error = 0;
  for (;;) {
    pollfd poll_client{p.client, POLLIN, 0};
    ASSERT_GT(::poll(&poll_client, 1, 5000), 0);
    n = ::recv(p.client, buffer.data(), buffer.size(), 0);
    if (n <= 0) {
      error = n < 0 ? errno : 0;
      break;
    }
  }
  EXPECT_EQ(error, ECONNRESET);
}

// ----------------------------------------------------------- through the server on a socket

TEST(DeliveryProof, AClientThatResetsWhileTheReplyIsPreparedDoesNotHaveIt) {
  std::mutex lock;
  std::vector<bool> calls;
  std::atomic<bool> preparing{false};
  std::atomic<bool> client_gone{false};
  testing::BridgeFixture b([&](TWebRequest&, TWebResponse& response, bool& handled) {
    // The job takes a while; meanwhile the client resets (its socket is gone by then, so
    // whatever is sent after meets a reset).
    preparing = true;
    test_support::WaitFor([&] { return client_gone.load(); }, 5s);
    SendAndLetGo(response, std::string(300 * 1024, 'q'), [&](bool delivered) {
      std::lock_guard<std::mutex> guard(lock);
      calls.push_back(delivered);
    });
    handled = true;
  });
  TSocketHandle h;
  h.address = "127.0.0.1";
  h.family = AF_INET;
  b.bridge.Bindings().push_back(h);
  b.bridge.SetActive(true);
  const int fd = testing::ConnectLoopback(AF_INET, b.bridge.Bindings()[0].bound_port);
  ASSERT_GE(fd, 0);
  const std::string request = kGet;
  ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
  ASSERT_TRUE(test_support::WaitFor([&] { return preparing.load(); }, 10s));
  linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(fd);
  client_gone = true;
  test_support::WaitFor([&] {
    std::lock_guard<std::mutex> guard(lock);
    return !calls.empty();
  });
  b.bridge.SetActive(false);
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(calls, std::vector<bool>{false});
}

TEST(DeliveryProof, AClientThatNeverReadsIsGivenUpAfterTheSendLimit) {
  std::mutex lock;
  std::vector<bool> calls;
  testing::BridgeFixture b([&](TWebRequest&, TWebResponse& response, bool& handled) {
    SendAndLetGo(response, std::string(4 * 1024 * 1024, 's'), [&](bool delivered) {
      std::lock_guard<std::mutex> guard(lock);
      calls.push_back(delivered);
    });
    handled = true;
  });
  EXPECT_EQ(b.bridge.SendIdleTimeout(), TCustomHTTPServer::kDefaultSendIdleTimeout);
  b.bridge.SetSendIdleTimeout(300ms);
  TSocketHandle h;
  h.address = "127.0.0.1";
  h.family = AF_INET;
  b.bridge.Bindings().push_back(h);
  b.bridge.SetActive(true);
  // A small window, never read, never closed.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int small = 4096;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(b.bridge.Bindings()[0].bound_port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const std::string request = kGet;
  ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
  test_support::WaitFor([&] {
    std::lock_guard<std::mutex> guard(lock);
    return !calls.empty();
  });
  {
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(calls, std::vector<bool>{false});
  }
  ::close(fd);
  b.bridge.SetActive(false);
}

}  // namespace
}  // namespace ostrivan::http

// Connections on loopback bounded in time and memory, an orderly stop that answers
// what it has begun and nothing else, and worker threads that are reused.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/http_exceptions.h"
#include "http/transport.h"
#include "http_support.h"
#include "support/wait_for.h"

namespace ostrivan::http {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::BridgeFixture;
using testing::ConnectLoopback;
using testing::Exchange;
using testing::ReadUntilClose;

const char* kRequest = "GET /x HTTP/1.1\r\nHost: a\r\n\r\n";

using test_support::WaitFor;

uint16_t Start(BridgeFixture& b) {
  TSocketHandle h;
  h.address = "127.0.0.1";
  h.family = AF_INET;
  b.bridge.Bindings().push_back(h);
  b.bridge.SetActive(true);
  return b.bridge.Bindings()[0].bound_port;
}

void Send(int fd, const std::string& bytes) { send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

// True when the server closes fd within timeout_ms without sending a byte (a timeout,
// or any byte, is false).
bool ClosedUnanswered(int fd, int timeout_ms = 5000) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char c;
  ssize_t n = recv(fd, &c, 1, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

// A gate a handler waits on, opened by the test.
struct Gate {
  std::mutex lock;
  std::condition_variable changed;
  bool open = false;
  int waiting = 0;
  void Wait() {
    std::unique_lock<std::mutex> guard(lock);
    ++waiting;
    changed.notify_all();
    changed.wait(guard, [&] { return open; });
  }
  void Open() {
    std::lock_guard<std::mutex> guard(lock);
    open = true;
    changed.notify_all();
  }
  bool WaitForWaiters(int n) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, 10s, [&] { return waiting >= n; });
  }
};

TEST(ConnectionLimits, ReadTimeoutOnASocketRaisesAfterSilenceOnly) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  TSocketTransport transport(pair[0]);
  char buffer[16];
  Send(pair[1], "ab");
  EXPECT_EQ(transport.Receive(buffer, sizeof buffer, 100), 2u);  // bytes waiting: no wait
  auto start = Clock::now();
  EXPECT_THROW(transport.Receive(buffer, sizeof buffer, 150), EReadTimeout);
  EXPECT_GE(Clock::now() - start, 140ms);
  std::thread late([&] {
    std::this_thread::sleep_for(50ms);
    Send(pair[1], "c");
  });
  EXPECT_EQ(transport.Receive(buffer, sizeof buffer, 2000), 1u);
  late.join();
  close(pair[1]);
  EXPECT_EQ(transport.Receive(buffer, sizeof buffer, 2000), 0u);  // peer closed
}

// Stalled clients are closed without a reply after their limit, while a normal client
// is served meanwhile and a slow but live upload finishes.
TEST(ConnectionLimits, StalledClientsAreClosedAndLiveOnesServed) {
  BridgeFixture b([](TWebRequest& r, TWebResponse& resp, bool& handled) {
    resp.SetContent("got " + std::to_string(r.RawContent().size()));
    handled = true;
  });
  b.bridge.SetRequestHeadTimeout(400ms);
  b.bridge.SetBodyIdleTimeout(400ms);
  uint16_t port = Start(b);

  int silent = ConnectLoopback(AF_INET, port);
  int half_head = ConnectLoopback(AF_INET, port);
  Send(half_head, "POST / HTTP/1.1\r\nHost: a\r\n");
  int trickle_head = ConnectLoopback(AF_INET, port);  // live, but never completes its head
  int half_body = ConnectLoopback(AF_INET, port);
  Send(half_body, "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 10\r\n\r\nabc");
  // The slow upload sends a byte every 100 ms, a quarter of the idle limit, for at least
  // twelve bytes (three times the limit) and then for as long as the stalled clients are
  // not yet seen closed: they are closed while it is live, however late any thread runs.
  constexpr int kBody = 600;  // a minute of bytes: the upload outlasts every wait below
  int slow_body = ConnectLoopback(AF_INET, port);
  Send(slow_body, "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: " + std::to_string(kBody) + "\r\n\r\n");
  std::atomic<bool> stalled_closed{false};
  std::atomic<bool> upload_ran_out{false};
  std::thread slow([&] {
    int sent = 0;
    for (; sent < kBody - 1 && (sent < 12 || !stalled_closed); ++sent) {
      std::this_thread::sleep_for(100ms);
      Send(slow_body, "x");
      Send(trickle_head, "X-A: b\r\n");
    }
    upload_ran_out = !stalled_closed;
    Send(slow_body, std::string(static_cast<std::size_t>(kBody - sent), 'x'));
  });
  EXPECT_EQ(Exchange(AF_INET, port, kRequest).rfind("HTTP/1.1 200 OK", 0), 0u);  // served meanwhile
  // Long deadlines below only guard against a hang; the claim is the order of events.
  for (int fd : {silent, half_head, half_body}) {
    EXPECT_TRUE(ClosedUnanswered(fd, 30000));
    close(fd);
  }
  // The server let them go, the head that trickles past its deadline too: only the
  // upload is left.
  EXPECT_TRUE(WaitFor([&] { return b.bridge.LiveConnectionCount() == 1; }, 30s)) << b.bridge.LiveConnectionCount();
  stalled_closed = true;
  slow.join();
  EXPECT_FALSE(upload_ran_out.load()) << "the stalled clients were still open when the upload ended";
  EXPECT_TRUE(ClosedUnanswered(trickle_head, 30000));  // its head deadline has passed
  close(trickle_head);
  std::string reply = ReadUntilClose(slow_body, 30000);
  close(slow_body);
  EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK", 0), 0u) << reply;
  const std::string got = "got " + std::to_string(kBody);
  EXPECT_EQ(reply.substr(reply.size() - std::min(reply.size(), got.size())), got);
  EXPECT_TRUE(WaitFor([&] { return b.bridge.LiveConnectionCount() == 0; }));
}

// At the cap new connections wait in the listen queue, unanswered but not refused, and
// are served as soon as a live one ends.
TEST(ConnectionLimits, CapMakesNewConnectionsWaitInTheQueue) {
  BridgeFixture b;
  b.bridge.SetLiveConnectionCap(2);
  uint16_t port = Start(b);
  int held1 = ConnectLoopback(AF_INET, port);
  int held2 = ConnectLoopback(AF_INET, port);
  ASSERT_TRUE(WaitFor([&] { return b.bridge.LiveConnectionCount() == 2; }));
  int waiting = ConnectLoopback(AF_INET, port);  // completes in the kernel's queue
  ASSERT_GE(waiting, 0);
  Send(waiting, kRequest);
  pollfd p{waiting, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 300), 0);  // neither served nor closed yet
  EXPECT_EQ(b.bridge.LiveConnectionCount(), 2u);
  close(held1);
  std::string reply = ReadUntilClose(waiting, 5000);
  EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK", 0), 0u) << reply;
  close(waiting);
  close(held2);
}

// Sequential connections run on the same few reused threads (one serves while another
// waits in accept); a burst gets a thread per connection, which park afterwards, and
// deactivation ends every one of them.
TEST(ConnectionLimits, WorkersAreReusedAndEndWithTheServer) {
  int threads_before = testing::ThreadCount();
  {
    BridgeFixture b;
    uint16_t port = Start(b);
    for (int i = 0; i < 20; ++i) {
      ASSERT_EQ(Exchange(AF_INET, port, kRequest).rfind("HTTP/1.1 200 OK", 0), 0u);
      ASSERT_TRUE(WaitFor([&] { return b.bridge.ParkedWorkerCount() == b.bridge.WorkerCount(); }));
    }
    EXPECT_LE(b.bridge.WorkerCount(), 2u);
    std::vector<int> open;
    for (int i = 0; i < 5; ++i) open.push_back(ConnectLoopback(AF_INET, port));
    ASSERT_TRUE(WaitFor([&] { return b.bridge.LiveConnectionCount() == 5; }));
    ASSERT_TRUE(WaitFor([&] { return b.bridge.ParkedWorkerCount() == 1; }));
    EXPECT_EQ(b.bridge.WorkerCount(), 6u);  // a thread per live connection, one accepting
    for (int fd : open) {
      Send(fd, kRequest);
      EXPECT_EQ(ReadUntilClose(fd).rfind("HTTP/1.1 200 OK", 0), 0u);
      close(fd);
    }
    ASSERT_TRUE(WaitFor([&] { return b.bridge.ParkedWorkerCount() == 6; }));
    b.bridge.SetActive(false);
    EXPECT_EQ(b.bridge.WorkerCount(), 0u);
  }
  EXPECT_EQ(testing::ThreadCount(), threads_before);
}

// A stop: accepting ends at once; a request still being read is closed unanswered; a
// begun one finishes and its client gets the whole reply.
TEST(ConnectionLimits, StopAnswersBegunRequestsOnly) {
  Gate gate;
  std::atomic<int> carried_out{0};
  BridgeFixture b([&](TWebRequest&, TWebResponse& resp, bool& handled) {
    gate.Wait();
    ++carried_out;
    resp.SetContent(std::string(100000, 'r'));
    handled = true;
  });
  uint16_t port = Start(b);
  int begun = ConnectLoopback(AF_INET, port);
  Send(begun, kRequest);
  ASSERT_TRUE(gate.WaitForWaiters(1));
  int reading = ConnectLoopback(AF_INET, port);
  Send(reading, "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nab");
  ASSERT_TRUE(WaitFor([&] { return b.bridge.LiveConnectionCount() == 2; }));

  std::thread stopper([&] { b.bridge.SetActive(false); });
  ASSERT_TRUE(WaitFor([&] { return b.bridge.Stopping(); }));
  EXPECT_TRUE(ClosedUnanswered(reading, 5000));  // not begun: nothing
  close(reading);
  EXPECT_EQ(ConnectLoopback(AF_INET, port), -1);  // no longer accepting
  std::this_thread::sleep_for(200ms);
  gate.Open();
  std::string reply = ReadUntilClose(begun, 5000);
  close(begun);
  stopper.join();
  EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK", 0), 0u);
  EXPECT_EQ(reply.size() - reply.find("\r\n\r\n") - 4, 100000u);  // whole
  EXPECT_EQ(carried_out.load(), 1);
}

// A handler that outlives the grace period has its connection closed, which ends a
// wait on the client; the stop then returns once it is done.
TEST(ConnectionLimits, StopClosesWhatOutlivesTheGrace) {
  std::atomic<bool> saw_abort{false};
  BridgeFixture b([&](TWebRequest& req, TWebResponse& resp, bool& handled) {
    // Stands for a wait on the client (its acknowledgement of the reply, say).
    const auto end = Clock::now() + 20s;
    const auto left = [&] { return std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()); };
    WaitFor([&] { return req.StopToken().stop_requested(); }, left());
    WaitFor([&] { return !req.ClientConnected(); }, left());
    saw_abort = !req.ClientConnected();
    resp.SetContent("late");
    handled = true;
  });
  b.bridge.SetStopGrace(300ms);
  uint16_t port = Start(b);
  int fd = ConnectLoopback(AF_INET, port);
  Send(fd, kRequest);
  ASSERT_TRUE(WaitFor([&] { return b.bridge.LiveConnectionCount() == 1; }));
  std::this_thread::sleep_for(100ms);
  auto start = Clock::now();
  b.bridge.SetActive(false);
  auto took = Clock::now() - start;
  EXPECT_TRUE(saw_abort.load());
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 5s);
  EXPECT_TRUE(ClosedUnanswered(fd, 2000));
  close(fd);
}

// A request that learns of the stop before its work begins (it waited for a lock)
// abandons itself: its client gets no byte, in particular no error reply.
TEST(ConnectionLimits, RequestWaitingWhenTheStopComesIsNotBegun) {
  Gate gate;
  std::atomic<int> carried_out{0};
  std::atomic<int> stop_seen_before_wait{0};
  BridgeFixture b([&](TWebRequest& req, TWebResponse& resp, bool& handled) {
    if (req.StopToken().stop_requested()) ++stop_seen_before_wait;
    gate.Wait();  // stands for the directory's lock
    if (req.StopToken().stop_requested()) {
      resp.Abandon();
      return;
    }
    ++carried_out;
    resp.SetContent("done");
    handled = true;
  });
  uint16_t port = Start(b);
  int fd = ConnectLoopback(AF_INET, port);
  Send(fd, kRequest);
  ASSERT_TRUE(gate.WaitForWaiters(1));
  std::thread stopper([&] { b.bridge.SetActive(false); });
  ASSERT_TRUE(WaitFor([&] { return b.bridge.Stopping(); }));
  gate.Open();
  EXPECT_TRUE(ClosedUnanswered(fd, 5000));
  close(fd);
  stopper.join();
  EXPECT_EQ(carried_out.load(), 0);
  EXPECT_EQ(stop_seen_before_wait.load(), 0);
}

// The same request without a stop is carried out and answered: the token is the
// server's, not one that is always set.
TEST(ConnectionLimits, RequestWaitingWithoutAStopIsAnswered) {
  Gate gate;
  BridgeFixture b([&](TWebRequest& req, TWebResponse& resp, bool& handled) {
    gate.Wait();
    if (req.StopToken().stop_requested()) {
      resp.Abandon();
      return;
    }
    resp.SetContent("done");
    handled = true;
  });
  uint16_t port = Start(b);
  int fd = ConnectLoopback(AF_INET, port);
  Send(fd, kRequest);
  ASSERT_TRUE(gate.WaitForWaiters(1));
  gate.Open();
  std::string reply = ReadUntilClose(fd, 5000);
  close(fd);
  EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK", 0), 0u);
  EXPECT_EQ(reply.substr(reply.find("\r\n\r\n") + 4), "done");
  b.bridge.SetActive(false);
}

// Bodies share one memory budget: a body that does not fit waits unread until the one
// holding the budget is done, and its wait is not counted as the client's silence.
TEST(ConnectionLimits, BodyThatDoesNotFitWaitsForTheBudget) {
  Gate gate;
  std::atomic<int> calls{0};
  BridgeFixture b([&](TWebRequest& r, TWebResponse& resp, bool& handled) {
    if (++calls == 1) gate.Wait();
    resp.SetContent("got " + r.RawContent());
    handled = true;
  });
  b.bridge.BodyMemoryBudget().SetCapacity(100);
  b.bridge.SetBodyIdleTimeout(300ms);
  uint16_t port = Start(b);
  std::string body(80, 'a');
  int first = ConnectLoopback(AF_INET, port);
  Send(first, "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 80\r\n\r\n" + body);
  ASSERT_TRUE(gate.WaitForWaiters(1));
  EXPECT_EQ(b.bridge.BodyMemoryBudget().InUse(), 80);
  int second = ConnectLoopback(AF_INET, port);
  Send(second, "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 80\r\n\r\n" + std::string(80, 'b'));
  std::this_thread::sleep_for(800ms);  // well past the idle limit
  EXPECT_EQ(calls.load(), 1);          // still waiting, unread
  EXPECT_EQ(b.bridge.BodyMemoryBudget().InUse(), 80);
  gate.Open();
  std::string r1 = ReadUntilClose(first, 5000);
  std::string r2 = ReadUntilClose(second, 5000);
  close(first);
  close(second);
  EXPECT_EQ(r1.substr(r1.size() - 84), "got " + body);
  EXPECT_EQ(r2.substr(r2.size() - 84), "got " + std::string(80, 'b'));
  EXPECT_TRUE(WaitFor([&] { return b.bridge.BodyMemoryBudget().InUse() == 0; }));

  // A chunked body takes the most a body may be while it is read, then keeps its size.
  b.bridge.BodyMemoryBudget().SetCapacity(64 * 1024 * 1024);
  std::string chunked = Exchange(AF_INET, port,
                                 "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n"
                                 "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n");
  EXPECT_EQ(chunked.substr(chunked.size() - 9), "got abcde");
  EXPECT_TRUE(WaitFor([&] { return b.bridge.BodyMemoryBudget().InUse() == 0; }));
}

// A stop while a body waits for the budget: that request has not begun, so it is closed
// unanswered, and the stop does not wait for the budget to free up.
TEST(ConnectionLimits, StopEndsAWaitForTheBudget) {
  Gate gate;
  BridgeFixture b([&](TWebRequest&, TWebResponse& resp, bool& handled) {
    gate.Wait();
    resp.SetContent("first");
    handled = true;
  });
  b.bridge.BodyMemoryBudget().SetCapacity(100);
  uint16_t port = Start(b);
  int first = ConnectLoopback(AF_INET, port);
  Send(first, "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 90\r\n\r\n" + std::string(90, 'a'));
  ASSERT_TRUE(gate.WaitForWaiters(1));
  int second = ConnectLoopback(AF_INET, port);
  Send(second, "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 90\r\n\r\n" + std::string(90, 'b'));
  ASSERT_TRUE(WaitFor([&] { return b.bridge.LiveConnectionCount() == 2; }));
  std::thread stopper([&] { b.bridge.SetActive(false); });
  EXPECT_TRUE(ClosedUnanswered(second, 5000));
  gate.Open();
  std::string reply = ReadUntilClose(first, 5000);
  stopper.join();
  close(first);
  close(second);
  EXPECT_EQ(reply.substr(reply.size() - 5), "first");
}

}  // namespace
}  // namespace ostrivan::http

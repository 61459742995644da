#pragma once
// Multi-threaded TCP server: one listener thread per endpoint, one worker thread per
// accepted connection for that connection's whole life. Workers that are done park and
// take the next accepted connection, so threads are reused rather than made per
// connection. Deactivation stops accepting at once, closes connections whose request
// has not begun, gives begun ones a grace period, then closes the rest and waits for
// every worker.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "http/io_handler.h"
#include "platform/net.h"
#include "platform/process.h"
namespace ostrivan::http {

class TCustomTCPServer;

// A listening endpoint: empty address = the any-address of its family.
struct TSocketHandle {
  std::string address;
  uint16_t port = 0;
  int family = 0;  // the system's AF_INET or AF_INET6 (platform::FamilyNumber)
  platform::TSocket fd = platform::kNoSocket;
  uint16_t bound_port = 0;  // the port in force once bound (differs when port is 0)
  bool made_at_activation = false;
};

enum class TReuseSocket { rsOSDependent, rsTrue, rsFalse };

// One accepted connection and the server serving it.
class TServerContext {
 public:
  TServerContext(TCustomTCPServer& server, std::unique_ptr<TIOHandler> connection)
      : server_(server), connection_(std::move(connection)) {}
  TIOHandler& Connection() { return *connection_; }
  TCustomTCPServer& Server() { return server_; }

  // The request read on this connection is about to be carried out. false when a stop
  // is under way: the request has not begun and must not, so the caller closes the
  // connection without a reply.
  bool BeginRequest();
  // The request is answered; the connection is back to reading (a kept-alive one).
  void EndRequest();
  // A stop of the server is under way.
  bool StopRequested() const;
  // Requested when a stop of the server begins; handed to the request being served.
  std::stop_token StopToken() const;

 private:
  friend class TCustomTCPServer;
  TCustomTCPServer& server_;
  std::unique_ptr<TIOHandler> connection_;
  bool working_ = false;  // guarded by the server's live lock
};

class TCustomTCPServer {
 public:
  // Stack of each connection thread: the request handling does not recurse deeply, and
  // hundreds of connections must not reserve the default 8 MiB each.
  static constexpr size_t kWorkerStackSize = 512 * 1024;
  // The limit on live connections in force: beyond it new connections wait in the
  // listen queue, so stalled clients cannot use up the process's descriptors and threads.
  static constexpr int kDefaultLiveConnectionCap = 1000;
  // When accept fails for lack of descriptors, the listener pauses this long instead of
  // retrying at once (a retry would fail the same way and spin).
  static constexpr std::chrono::milliseconds kAcceptBackoff{100};
  // How often the main log says so while it lasts.
  static constexpr std::chrono::seconds kAcceptWarningInterval{60};
  // A parked worker that gets no connection for this long ends, so a burst does not
  // keep its threads for ever.
  static constexpr std::chrono::seconds kParkedWorkerLifetime{60};
  // On a stop, requests already begun get this long to finish and deliver their reply
  // before their connections are closed.
  static constexpr std::chrono::milliseconds kDefaultStopGrace{10000};

  TCustomTCPServer();
  virtual ~TCustomTCPServer();
  TCustomTCPServer(const TCustomTCPServer&) = delete;
  TCustomTCPServer& operator=(const TCustomTCPServer&) = delete;

  uint16_t DefaultPort() const { return default_port_; }
  void SetDefaultPort(uint16_t port) { default_port_ = port; }
  // Backlog of listen(); read at activation.
  int ListenQueue() const { return listen_queue_; }
  void SetListenQueue(int value) { listen_queue_ = value; }
  // The server's documented MaxConnections, kept with its name and meaning: over it a new
  // connection is closed at once, read at every accept; 0 or less = none. The host writes
  // 0, so it bounds nothing here: LiveConnectionCap is the limit in force.
  int MaxConnections() const { return max_connections_.load(); }
  void SetMaxConnections(int value) { max_connections_.store(value); }
  // The cap on live connections in force: at it accepting waits and new connections stay
  // in the listen queue, unanswered but not refused. 0 or less = none; set for tests.
  int LiveConnectionCap() const { return live_connection_cap_.load(); }
  void SetLiveConnectionCap(int value);
  std::chrono::milliseconds StopGrace() const { return stop_grace_; }
  void SetStopGrace(std::chrono::milliseconds value) { stop_grace_ = value; }
  bool UseNagle() const { return use_nagle_; }
  void SetUseNagle(bool value) { use_nagle_ = value; }
  TReuseSocket ReuseSocket() const { return reuse_socket_; }
  void SetReuseSocket(TReuseSocket value) { reuse_socket_ = value; }
  std::vector<TSocketHandle>& Bindings() { return bindings_; }

  bool Active() const { return active_; }
  // true: binds and listens (raises ECouldNotBindSocket and stays inactive on failure);
  // false: stops accepting, closes connections whose request has not begun, waits up
  // to StopGrace for the begun ones, closes what is left and waits for every worker.
  void SetActive(bool value);
  // A stop is under way (from its start until the server is active again).
  bool Stopping() const { return stopping_.load(); }

  size_t LiveConnectionCount() const;
  // Worker threads, parked ones included.
  size_t WorkerCount() const;
  // Workers parked in accept, waiting for the next connection.
  size_t ParkedWorkerCount() const;
  // Active, not stopping, and each endpoint has a worker parked in accept or about to
  // be (or the live connections are at the cap, where new ones wait by design). Takes
  // the live lock: a server stuck on it makes the caller wait too, which a watchdog
  // reads as not alive. Call between activation and deactivation, from any thread.
  bool Accepting() const;

 protected:
  // Run callback, once per connection on its worker thread. The connection is closed
  // afterwards in any case.
  virtual void DoExecute(TServerContext& context);
  // Called once a stop has begun, before the grace period (wakes waits of subclasses).
  virtual void StopBegun() {}

 private:
  struct Worker;
  struct Listener;

  void Activate();
  // The steps of activation: default endpoints when none are given, a bound socket for
  // each, listening on each, and a first worker parked on each.
  void AddDefaultBindings();
  void BindEndpoint(TSocketHandle& binding);
  void ListenOnEndpoints();
  void StartFirstWorkers();
  void Deactivate();
  // Starts a worker that accepts on listener; false when no thread could be made.
  bool StartWorker(Listener& listener);
  friend class TServerContext;
  bool BeginRequest(TServerContext& context);
  static void WorkerMain(void* arg);
  void RunWorker(Worker& worker);
  void ServeContext(std::unique_ptr<TServerContext> context);
  // Joins the threads of workers that have ended (their handles wait in ended_).
  void JoinEndedWorkers();

  uint16_t default_port_ = 80;
  int listen_queue_ = 15;
  std::atomic<int> max_connections_{0};
  std::atomic<int> live_connection_cap_{kDefaultLiveConnectionCap};
  std::chrono::milliseconds stop_grace_ = kDefaultStopGrace;
  bool use_nagle_ = true;
  TReuseSocket reuse_socket_ = TReuseSocket::rsOSDependent;
  std::vector<TSocketHandle> bindings_;
  bool active_ = false;

  std::vector<std::unique_ptr<Listener>> listeners_;
  std::atomic<bool> stopping_{false};
  // Requested together with stopping_; a new one at every activation.
  std::stop_source stop_source_;
  // Guards the live list, the parked workers and the thread count.
  mutable std::mutex live_lock_;
  // Signalled when a connection ends, a worker ends, or a stop begins.
  std::condition_variable live_changed_;
  std::chrono::steady_clock::time_point last_accept_warning_{};  // guarded by the live lock
  std::list<TServerContext*> live_;
  size_t accepting_ = 0;         // workers parked in accept, all endpoints together
  size_t waiting_for_room_ = 0;  // workers waiting below the cap to accept
  size_t threads_ = 0;
  std::vector<platform::TThread> ended_;
  std::atomic<bool> has_ended_workers_{false};
};

}  // namespace ostrivan::http

#pragma once
// Multi-threaded TCP server: one listener thread per endpoint, one worker thread per
// accepted connection, no pooling. Deactivation closes live connections and waits for
// every worker.
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/io_handler.h"

namespace ostrivan::http {

class TCustomTCPServer;

// A listening endpoint: empty address = the any-address of its family.
struct TSocketHandle {
  std::string address;
  uint16_t port = 0;
  int family = 0;  // AF_INET or AF_INET6
  int fd = -1;
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

 private:
  TCustomTCPServer& server_;
  std::unique_ptr<TIOHandler> connection_;
};

class TCustomTCPServer {
 public:
  // Stack of each connection thread: the request handling does not recurse deeply, and
  // hundreds of connections must not reserve the default 8 MiB each.
  static constexpr size_t kWorkerStackSize = 512 * 1024;
  // A listener checks for a stop request at this interval.
  static constexpr int kAcceptPollMilliseconds = 250;

  TCustomTCPServer();
  virtual ~TCustomTCPServer();
  TCustomTCPServer(const TCustomTCPServer&) = delete;
  TCustomTCPServer& operator=(const TCustomTCPServer&) = delete;

  uint16_t DefaultPort() const { return default_port_; }
  void SetDefaultPort(uint16_t port) { default_port_ = port; }
  // Backlog of listen(); read at activation.
  int ListenQueue() const { return listen_queue_; }
  void SetListenQueue(int value) { listen_queue_ = value; }
  // Limit on live connections, read at every accept; 0 or less = none.
  int MaxConnections() const { return max_connections_.load(); }
  void SetMaxConnections(int value) { max_connections_.store(value); }
  bool UseNagle() const { return use_nagle_; }
  void SetUseNagle(bool value) { use_nagle_ = value; }
  TReuseSocket ReuseSocket() const { return reuse_socket_; }
  void SetReuseSocket(TReuseSocket value) { reuse_socket_ = value; }
  std::vector<TSocketHandle>& Bindings() { return bindings_; }

  bool Active() const { return active_; }
  // true: binds and listens (raises ECouldNotBindSocket and stays inactive on failure);
  // false: stops listening, closes live connections, waits for every worker.
  void SetActive(bool value);

  size_t LiveConnectionCount() const;
  size_t WorkerCount() const;

 protected:
  // Run callback, once per connection on its worker thread. The connection is closed
  // afterwards in any case.
  virtual void DoExecute(TServerContext& context);

 private:
  struct Worker;
  struct Listener;

  void Activate();
  void Deactivate();
  void ListenerLoop(Listener& listener);
  void StartWorker(std::unique_ptr<TIOHandler> connection);
  static void* WorkerMain(void* arg);
  void RunWorker(Worker& worker);
  void ReapFinishedWorkers();

  uint16_t default_port_ = 80;
  int listen_queue_ = 15;
  std::atomic<int> max_connections_{0};
  bool use_nagle_ = true;
  TReuseSocket reuse_socket_ = TReuseSocket::rsOSDependent;
  std::vector<TSocketHandle> bindings_;
  bool active_ = false;

  std::vector<std::unique_ptr<Listener>> listeners_;
  mutable std::mutex live_lock_;
  std::list<TServerContext*> live_;
  mutable std::mutex workers_lock_;
  std::list<std::unique_ptr<Worker>> workers_;
};

}  // namespace ostrivan::http

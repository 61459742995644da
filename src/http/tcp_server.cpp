#include "http/tcp_server.h"

#include <cerrno>
#include <cstring>

#include "common/error.h"
#include "http/http_exceptions.h"
#include "http/http_metrics.h"
#include "logging/framework_log.h"
#include "platform/service.h"

namespace ostrivan::http {

struct TCustomTCPServer::Worker {
  TCustomTCPServer* server = nullptr;
  Listener* listener = nullptr;  // the endpoint this worker accepts on next
  platform::TThread thread{};
  bool starting = true;  // counted in its listener's starting until it first runs
};

struct TCustomTCPServer::Listener {
  platform::TSocket fd = platform::kNoSocket;
  uint16_t port = 0;
  int accepting = 0;  // workers parked in accept on it; guarded by the live lock
  int starting = 0;   // workers started for it that have not run yet; same lock
};

bool TServerContext::BeginRequest() { return server_.BeginRequest(*this); }

void TServerContext::EndRequest() {
  std::lock_guard<std::mutex> guard(server_.live_lock_);
  working_ = false;
}

bool TServerContext::StopRequested() const { return server_.Stopping(); }

std::stop_token TServerContext::StopToken() const { return server_.stop_source_.get_token(); }

namespace {

void CloseAllLastFirst(std::vector<TSocketHandle>& bindings) {
  for (auto it = bindings.rbegin(); it != bindings.rend(); ++it) {
    if (it->fd != platform::kNoSocket) {
      platform::CloseSocket(it->fd);
      it->fd = platform::kNoSocket;
    }
  }
}

}  // namespace

TCustomTCPServer::TCustomTCPServer() = default;

TCustomTCPServer::~TCustomTCPServer() { SetActive(false); }

void TCustomTCPServer::DoExecute(TServerContext& context) { context.Connection().Close(); }

void TCustomTCPServer::SetActive(bool value) {
  if (value == active_) return;
  if (value) Activate();
  else Deactivate();
}

void TCustomTCPServer::SetLiveConnectionCap(int value) {
  std::lock_guard<std::mutex> guard(live_lock_);
  live_connection_cap_.store(value);
  live_changed_.notify_all();
}

size_t TCustomTCPServer::LiveConnectionCount() const {
  std::lock_guard<std::mutex> guard(live_lock_);
  return live_.size();
}

size_t TCustomTCPServer::WorkerCount() const {
  std::lock_guard<std::mutex> guard(live_lock_);
  return threads_;
}

size_t TCustomTCPServer::ParkedWorkerCount() const {
  std::lock_guard<std::mutex> guard(live_lock_);
  return accepting_;
}

bool TCustomTCPServer::Accepting() const {
  std::lock_guard<std::mutex> guard(live_lock_);
  if (!active_ || stopping_.load() || listeners_.empty()) return false;
  // At the cap new connections wait in the queue by design; below it, every endpoint
  // needs a worker in accept or on its way there.
  const int cap = live_connection_cap_.load();
  if (cap > 0 && live_.size() + accepting_ >= static_cast<size_t>(cap)) return true;
  for (const auto& listener : listeners_)
    if (listener->accepting == 0 && listener->starting == 0) return false;
  return true;
}

bool TCustomTCPServer::BeginRequest(TServerContext& context) {
  std::lock_guard<std::mutex> guard(live_lock_);
  if (stopping_.load()) return false;
  context.working_ = true;
  return true;
}

void TCustomTCPServer::Activate() {
  // A write to a closed pipe or socket must fail the write, never end the process.
  platform::IgnoreBrokenPipeSignal(platform::TIgnoreBrokenPipe::kUnlessHandled);
  stopping_ = false;
  stop_source_ = std::stop_source();
  AddDefaultBindings();
  active_ = true;
  try {
    for (auto& b : bindings_) BindEndpoint(b);
    ListenOnEndpoints();
    StartFirstWorkers();
  } catch (...) {
    Deactivate();
    throw;
  }
}

void TCustomTCPServer::AddDefaultBindings() {
  if (!bindings_.empty()) return;
  TSocketHandle v4;
  v4.family = platform::FamilyNumber(platform::TFamily::kIPv4);
  v4.port = default_port_;
  v4.made_at_activation = true;
  bindings_.push_back(v4);
  if (platform::IPv6Available()) {
    TSocketHandle v6 = v4;
    v6.family = platform::FamilyNumber(platform::TFamily::kIPv6);
    bindings_.push_back(v6);
  }
}

// On failure every socket made so far is closed, last first, before the error is raised.
void TCustomTCPServer::BindEndpoint(TSocketHandle& b) {
  const platform::TFamily family = platform::FamilyFromNumber(b.family);
  if (const TStatus opened = platform::TryOpenTcpSocket(family, b.fd); !opened) {
    CloseAllLastFirst(bindings_);
    RaiseSocketError(opened.Code());
  }
  // SO_REUSEADDR keeps restarts from failing on connections in TIME_WAIT.
  if (!platform::TryBindTcp(b.fd, family, b.address, b.port, reuse_socket_ != TReuseSocket::rsFalse)) {
    CloseAllLastFirst(bindings_);
    throw ECouldNotBindSocket(kCouldNotBindSocket);
  }
  if (!use_nagle_) (void)platform::TrySetNoDelay(b.fd);
  if (uint16_t bound = 0; platform::TryLocalPort(b.fd, bound)) b.bound_port = bound;
}

void TCustomTCPServer::ListenOnEndpoints() {
  for (auto& b : bindings_) {
    // A parked worker gives up after its lifetime without a connection.
    if (const TStatus listening = platform::TryListen(b.fd, listen_queue_, kParkedWorkerLifetime); !listening)
      RaiseSocketError(listening.Code());
    auto listener = std::make_unique<Listener>();
    listener->fd = b.fd;
    listener->port = b.bound_port;
    listeners_.push_back(std::move(listener));
  }
}

void TCustomTCPServer::StartFirstWorkers() {
  std::lock_guard<std::mutex> guard(live_lock_);
  for (auto& listener : listeners_)
    if (!StartWorker(*listener)) RaiseSocketError(EAGAIN);
}

void TCustomTCPServer::Deactivate() {
  // Accepting stops at once: shutting a listening socket down wakes every accept
  // blocked on it.
  {
    std::lock_guard<std::mutex> guard(live_lock_);
    stopping_ = true;
    stop_source_.request_stop();
    for (auto& listener : listeners_) platform::ShutdownBoth(listener->fd);
    live_changed_.notify_all();  // workers waiting for room below the cap
    // A request still being read has not begun: its client gets no reply, so it knows
    // nothing was done.
    for (TServerContext* context : live_)
      if (!context->working_) context->Connection().Abort();
  }
  StopBegun();
  {
    std::unique_lock<std::mutex> guard(live_lock_);
    // Begun requests finish and deliver their replies within the grace period; then
    // the rest are closed, which ends any wait on their clients.
    live_changed_.wait_until(guard, std::chrono::steady_clock::now() + stop_grace_, [&] { return live_.empty(); });
    for (TServerContext* context : live_) context->Connection().Abort();
    // No time limit here: work a request has begun is never cut off half-done.
    live_changed_.wait(guard, [&] { return threads_ == 0; });
  }
  JoinEndedWorkers();
  listeners_.clear();
  CloseAllLastFirst(bindings_);
  std::erase_if(bindings_, [](const TSocketHandle& b) { return b.made_at_activation; });
  stopping_ = false;
  active_ = false;
}

void TCustomTCPServer::JoinEndedWorkers() {
  std::vector<platform::TThread> ended;
  {
    std::lock_guard<std::mutex> guard(live_lock_);
    ended.swap(ended_);
    has_ended_workers_ = false;
  }
  for (const platform::TThread& thread : ended) platform::JoinThread(thread);
}

bool TCustomTCPServer::StartWorker(Listener& listener) {
  auto worker = std::make_unique<Worker>();
  worker->server = this;
  worker->listener = &listener;
  if (!platform::TryStartThread(kWorkerStackSize, &TCustomTCPServer::WorkerMain, worker.get(), worker->thread))
    return false;
  ++threads_;
  ++listener.starting;
  (void)worker.release();  // the thread owns it now
  return true;
}

void TCustomTCPServer::WorkerMain(void* arg) {
  std::unique_ptr<Worker> worker(static_cast<Worker*>(arg));
  worker->server->RunWorker(*worker);
}

// Each worker accepts its own connection and serves it, then parks in accept again:
// threads are reused, and a connection costs one wake-up, with no hand-over between
// threads. Every endpoint keeps at least one worker parked in accept; a worker that
// takes the last one's place starts another.
void TCustomTCPServer::RunWorker(Worker& worker) {
  std::unique_lock<std::mutex> guard(live_lock_);
  if (worker.starting) {
    --worker.listener->starting;
    worker.starting = false;
  }
  for (;;) {
    // At the cap, new connections wait in the listen queue instead of taking
    // descriptors and threads.
    ++waiting_for_room_;
    live_changed_.wait(guard, [&] {
      int cap = live_connection_cap_.load();
      return stopping_.load() || cap <= 0 || live_.size() + accepting_ < static_cast<size_t>(cap);
    });
    --waiting_for_room_;
    if (stopping_) break;
    Listener* listener = worker.listener;
    for (auto& l : listeners_)
      if (l->accepting < listener->accepting) listener = l.get();
    worker.listener = listener;
    ++listener->accepting;
    ++accepting_;
    guard.unlock();
    if (has_ended_workers_.load(std::memory_order_relaxed)) JoinEndedWorkers();
    platform::TSocket fd = platform::kNoSocket;
    std::string peer;
    const TStatus accepted = platform::TryAccept(listener->fd, fd, peer);
    const int error = accepted.Code();
    std::unique_ptr<TServerContext> context;
    if (accepted) {
      try {
        context = std::make_unique<TServerContext>(
            *this, std::make_unique<TIOHandler>(std::make_unique<TSocketTransport>(fd, peer, listener->port)));
      } catch (const std::exception& e) {
        platform::CloseSocket(fd);  // out of memory for its context: accepting goes on
        logging::FrameworkLogError(std::string("Connection accepted and closed at once: ") + e.what());
      }
    }
    guard.lock();
    --listener->accepting;
    --accepting_;
    if (stopping_) break;  // a connection accepted just now closes with its context
    if (!context) {
      if (!accepted && error == EAGAIN) {
        // No connection for the worker's lifetime: it ends, unless it is the last one
        // parked on its endpoint.
        if (listener->accepting > 0) break;
      } else if (!accepted && (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM)) {
        // Out of descriptors or memory: retrying at once would fail the same way and
        // spin. The pending clients wait in the queue; a connection that ends frees one.
        const auto now = std::chrono::steady_clock::now();
        if (now - last_accept_warning_ >= kAcceptWarningInterval) {
          last_accept_warning_ = now;
          logging::FrameworkLogWarn("Connections wait unaccepted: " + SysErrorMessageText(error) + " (" +
                                    std::to_string(live_.size()) + " connections open); said at most once a minute");
        }
        live_changed_.wait_for(guard, kAcceptBackoff, [&] { return stopping_.load(); });
      }
      continue;  // other failures are reported nowhere; accepting goes on
    }
    int limit = max_connections_.load();
    if (limit > 0 && live_.size() >= static_cast<size_t>(limit)) {
      guard.unlock();
      context.reset();  // closed at once, nothing written
      guard.lock();
      continue;
    }
    live_.push_back(context.get());
    CountConnectionOpened();
    // A worker already waiting for room takes the endpoint over; on failure to start one,
    // the queue waits for the next worker that is done.
    if (listener->accepting == 0 && waiting_for_room_ == 0) StartWorker(*listener);
    guard.unlock();
    ServeContext(std::move(context));
    guard.lock();
  }
  --threads_;
  ended_.push_back(worker.thread);
  has_ended_workers_ = true;
  live_changed_.notify_all();
}

void TCustomTCPServer::ServeContext(std::unique_ptr<TServerContext> context) {
  try {
    DoExecute(*context);
  } catch (const std::exception&) {
    // A malformed request (an over-long line, a request line without a space, ...):
    // ends this connection only; not written, not logged.
  } catch (...) {
    // Nothing the request handling throws: said once, since no other trace of it exists.
    logging::FrameworkLogError("Connection from " + context->Connection().PeerIP() +
                               " ended by a failure that is no exception");
  }
  {
    std::lock_guard<std::mutex> guard(live_lock_);
    live_.remove(context.get());
    CountConnectionClosed();
    live_changed_.notify_all();
  }
  try {
    context->Connection().Close();
  } catch (const std::exception&) {
    // Closing a connection that has failed may fail again: it is closed all the same.
  } catch (...) {
    logging::FrameworkLogError("Connection from " + context->Connection().PeerIP() +
                               " not closed cleanly: a failure that is no exception");
  }
}

}  // namespace ostrivan::http

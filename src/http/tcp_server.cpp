#include "http/tcp_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "http/http_exceptions.h"

namespace ostrivan::http {

struct TCustomTCPServer::Worker {
  TCustomTCPServer* server = nullptr;
  // The connection handed to this worker; guarded by the server's live lock.
  std::unique_ptr<TServerContext> next;
  std::condition_variable wake;
  pthread_t thread{};
};

struct TCustomTCPServer::Listener {
  int fd = -1;
  uint16_t port = 0;
  std::thread thread;
  std::atomic<bool> stop{false};
};

namespace {
thread_local TServerContext* t_current_context = nullptr;
}  // namespace

TServerContext* CurrentServerContext() { return t_current_context; }

bool StopUnderWay() {
  TServerContext* context = t_current_context;
  return context != nullptr && context->StopRequested();
}

void AbandonRequest() {
  if (TServerContext* context = t_current_context) context->Connection().Abort();
  throw TRequestAbandoned{};
}

bool TServerContext::BeginRequest() { return server_.BeginRequest(*this); }

void TServerContext::EndRequest() {
  std::lock_guard<std::mutex> guard(server_.live_lock_);
  working_ = false;
}

bool TServerContext::StopRequested() const { return server_.Stopping(); }

namespace {

bool IPv6Available() {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// A write to a closed pipe or socket must fail the write, never end the process.
void IgnoreSigPipe() {
  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
  }
}

std::string AddressText(const sockaddr_storage& addr) {
  char text[INET6_ADDRSTRLEN] = {0};
  if (addr.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, text, sizeof text);
  } else if (addr.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr, text, sizeof text);
  }
  return text;
}

[[noreturn]] void RaiseSocketError(int code) {
  throw ESocketError("Socket Error # " + std::to_string(code) + "\r\n" + std::strerror(code));
}

void CloseAllLastFirst(std::vector<TSocketHandle>& bindings) {
  for (auto it = bindings.rbegin(); it != bindings.rend(); ++it) {
    if (it->fd >= 0) {
      ::close(it->fd);
      it->fd = -1;
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

void TCustomTCPServer::SetMaxLiveConnections(int value) {
  std::lock_guard<std::mutex> guard(live_lock_);
  max_live_connections_.store(value);
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
  return parked_.size();
}

bool TCustomTCPServer::BeginRequest(TServerContext& context) {
  std::lock_guard<std::mutex> guard(live_lock_);
  if (stopping_.load()) return false;
  context.working_ = true;
  return true;
}

void TCustomTCPServer::Activate() {
  IgnoreSigPipe();
  stopping_ = false;
  if (bindings_.empty()) {
    TSocketHandle v4;
    v4.family = AF_INET;
    v4.port = default_port_;
    v4.made_at_activation = true;
    bindings_.push_back(v4);
    if (IPv6Available()) {
      TSocketHandle v6 = v4;
      v6.family = AF_INET6;
      bindings_.push_back(v6);
    }
  }
  active_ = true;
  try {
    for (auto& b : bindings_) {
      b.fd = socket(b.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (b.fd < 0) {
        int code = errno;
        CloseAllLastFirst(bindings_);
        RaiseSocketError(code);
      }
      int one = 1;
      if (b.family == AF_INET6) setsockopt(b.fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
      // On Linux SO_REUSEADDR never lets a second process bind a listening port, and
      // it keeps restarts from failing on connections in TIME_WAIT.
      int reuse = reuse_socket_ == TReuseSocket::rsFalse ? 0 : 1;
      setsockopt(b.fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
      sockaddr_storage addr{};
      socklen_t len;
      bool address_ok = true;
      if (b.family == AF_INET6) {
        auto& a6 = reinterpret_cast<sockaddr_in6&>(addr);
        a6.sin6_family = AF_INET6;
        a6.sin6_port = htons(b.port);
        a6.sin6_addr = in6addr_any;
        if (!b.address.empty()) address_ok = inet_pton(AF_INET6, b.address.c_str(), &a6.sin6_addr) == 1;
        len = sizeof a6;
      } else {
        auto& a4 = reinterpret_cast<sockaddr_in&>(addr);
        a4.sin_family = AF_INET;
        a4.sin_port = htons(b.port);
        a4.sin_addr.s_addr = htonl(INADDR_ANY);
        if (!b.address.empty()) address_ok = inet_pton(AF_INET, b.address.c_str(), &a4.sin_addr) == 1;
        len = sizeof a4;
      }
      if (!address_ok || bind(b.fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        CloseAllLastFirst(bindings_);
        throw ECouldNotBindSocket(kCouldNotBindSocket);
      }
      if (!use_nagle_) setsockopt(b.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      len = sizeof addr;
      if (getsockname(b.fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        b.bound_port = b.family == AF_INET6
                           ? ntohs(reinterpret_cast<sockaddr_in6&>(addr).sin6_port)
                           : ntohs(reinterpret_cast<sockaddr_in&>(addr).sin_port);
      }
    }
    for (auto& b : bindings_) {
      if (listen(b.fd, listen_queue_) != 0) RaiseSocketError(errno);
      auto listener = std::make_unique<Listener>();
      listener->fd = b.fd;
      listener->port = b.bound_port;
      Listener& ref = *listener;
      listeners_.push_back(std::move(listener));
      ref.thread = std::thread([this, &ref] { ListenerLoop(ref); });
    }
  } catch (...) {
    Deactivate();
    throw;
  }
}

void TCustomTCPServer::Deactivate() {
  // Accepting stops at once: shutting a listening socket down wakes its blocked accept.
  stopping_ = true;
  for (auto& listener : listeners_) {
    listener->stop = true;
    shutdown(listener->fd, SHUT_RDWR);
  }
  {
    std::lock_guard<std::mutex> guard(live_lock_);
    live_changed_.notify_all();  // a listener waiting below the cap or backing off
  }
  for (auto& listener : listeners_)
    if (listener->thread.joinable()) listener->thread.join();
  listeners_.clear();
  CloseAllLastFirst(bindings_);
  std::erase_if(bindings_, [](const TSocketHandle& b) { return b.made_at_activation; });
  {
    // A request still being read has not begun: its client gets no reply, so it knows
    // nothing was done.
    std::lock_guard<std::mutex> guard(live_lock_);
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
    pool_closed_ = true;
    for (Worker* worker : parked_) worker->wake.notify_one();
    // No time limit here: work a request has begun is never cut off half-done.
    live_changed_.wait(guard, [&] { return threads_ == 0; });
    pool_closed_ = false;
  }
  JoinEndedWorkers();
  stopping_ = false;
  active_ = false;
}

void TCustomTCPServer::ListenerLoop(Listener& listener) {
  while (!listener.stop) {
    {
      // At the cap, new connections wait in the listen queue instead of taking
      // descriptors and threads.
      std::unique_lock<std::mutex> guard(live_lock_);
      live_changed_.wait(guard, [&] {
        int cap = max_live_connections_.load();
        return listener.stop.load() || cap <= 0 || live_.size() < static_cast<size_t>(cap);
      });
    }
    if (listener.stop) break;
    if (has_ended_workers_.load(std::memory_order_relaxed)) JoinEndedWorkers();
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    int fd = accept4(listener.fd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors or memory: retrying at once would fail the same way and
        // spin. The pending clients wait in the queue; a connection that ends frees one.
        std::unique_lock<std::mutex> guard(live_lock_);
        live_changed_.wait_for(guard, kAcceptBackoff, [&] { return listener.stop.load(); });
      }
      continue;  // reported nowhere; the listener goes on
    }
    try {
      auto connection = std::make_unique<TIOHandler>(
          std::make_unique<TSocketTransport>(fd, AddressText(addr), listener.port));
      int limit = max_connections_.load();
      if (limit > 0 && LiveConnectionCount() >= static_cast<size_t>(limit)) continue;  // closed by its destructor
      Dispatch(std::move(connection));
    } catch (...) {
      // The connection (if made) closed with its owner; nothing is reported.
    }
  }
}

void TCustomTCPServer::JoinEndedWorkers() {
  std::vector<pthread_t> ended;
  {
    std::lock_guard<std::mutex> guard(live_lock_);
    ended.swap(ended_);
    has_ended_workers_ = false;
  }
  for (pthread_t thread : ended) pthread_join(thread, nullptr);
}

void TCustomTCPServer::Dispatch(std::unique_ptr<TIOHandler> connection) {
  auto context = std::make_unique<TServerContext>(*this, std::move(connection));
  std::lock_guard<std::mutex> guard(live_lock_);
  live_.push_back(context.get());
  if (!parked_.empty()) {
    // The most recently parked worker: its stack is the one most likely still cached.
    Worker* worker = parked_.back();
    parked_.pop_back();
    worker->next = std::move(context);
    worker->wake.notify_one();
    return;
  }
  auto worker = std::make_unique<Worker>();
  worker->server = this;
  worker->next = std::move(context);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kWorkerStackSize);
  int rc = pthread_create(&worker->thread, &attr, &TCustomTCPServer::WorkerMain, worker.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    live_.remove(worker->next.get());
    return;  // the worker and its connection are discarded here
  }
  ++threads_;
  (void)worker.release();  // the thread owns it now
}

void* TCustomTCPServer::WorkerMain(void* arg) {
  std::unique_ptr<Worker> worker(static_cast<Worker*>(arg));
  worker->server->RunWorker(*worker);
  return nullptr;
}

void TCustomTCPServer::RunWorker(Worker& worker) {
  std::unique_lock<std::mutex> guard(live_lock_);
  for (;;) {
    std::unique_ptr<TServerContext> context = std::move(worker.next);
    guard.unlock();
    ServeContext(std::move(context));
    guard.lock();
    if (pool_closed_) break;
    // Parked until the listener hands over the next connection.
    parked_.push_back(&worker);
    worker.wake.wait_for(guard, kParkedWorkerLifetime, [&] { return worker.next || pool_closed_; });
    if (worker.next) continue;
    std::erase(parked_, &worker);
    break;
  }
  --threads_;
  ended_.push_back(worker.thread);
  has_ended_workers_ = true;
  live_changed_.notify_all();
}

void TCustomTCPServer::ServeContext(std::unique_ptr<TServerContext> context) {
  t_current_context = context.get();
  try {
    DoExecute(*context);
  } catch (...) {
    // Ends this connection only; not written, not logged.
  }
  t_current_context = nullptr;
  {
    std::lock_guard<std::mutex> guard(live_lock_);
    live_.remove(context.get());
    live_changed_.notify_all();
  }
  try {
    context->Connection().Close();
  } catch (...) {
  }
}

}  // namespace ostrivan::http

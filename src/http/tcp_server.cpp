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
  std::unique_ptr<TServerContext> context;
  pthread_t thread{};
  bool started = false;
  std::atomic<bool> finished{false};
};

struct TCustomTCPServer::Listener {
  int fd = -1;
  std::thread thread;
  std::atomic<bool> stop{false};
};

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

size_t TCustomTCPServer::LiveConnectionCount() const {
  std::lock_guard<std::mutex> guard(live_lock_);
  return live_.size();
}

size_t TCustomTCPServer::WorkerCount() const {
  std::lock_guard<std::mutex> guard(workers_lock_);
  return workers_.size();
}

void TCustomTCPServer::Activate() {
  IgnoreSigPipe();
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
  // Listeners first, so no new worker starts while the others are being stopped.
  for (auto& listener : listeners_) {
    listener->stop = true;
    if (listener->thread.joinable()) listener->thread.join();
  }
  listeners_.clear();
  CloseAllLastFirst(bindings_);
  std::erase_if(bindings_, [](const TSocketHandle& b) { return b.made_at_activation; });
  {
    std::lock_guard<std::mutex> guard(live_lock_);
    for (TServerContext* context : live_) context->Connection().Abort();
  }
  std::list<std::unique_ptr<Worker>> workers;
  {
    std::lock_guard<std::mutex> guard(workers_lock_);
    workers.swap(workers_);
  }
  // No time limit: a request handler that never returns keeps deactivation waiting.
  for (auto& worker : workers)
    if (worker->started) pthread_join(worker->thread, nullptr);
  active_ = false;
}

void TCustomTCPServer::ListenerLoop(Listener& listener) {
  while (!listener.stop) {
    ReapFinishedWorkers();
    pollfd p{listener.fd, POLLIN, 0};
    int r = poll(&p, 1, kAcceptPollMilliseconds);
    if (r <= 0 || listener.stop) continue;
    int fd = accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;  // reported nowhere; the listener goes on
    try {
      auto connection = std::make_unique<TIOHandler>(std::make_unique<TSocketTransport>(fd));
      int limit = max_connections_.load();
      if (limit > 0 && LiveConnectionCount() >= static_cast<size_t>(limit)) continue;  // closed by its destructor
      StartWorker(std::move(connection));
    } catch (...) {
      // The connection (if made) closed with its owner; nothing is reported.
    }
  }
}

void TCustomTCPServer::StartWorker(std::unique_ptr<TIOHandler> connection) {
  auto worker = std::make_unique<Worker>();
  worker->server = this;
  worker->context = std::make_unique<TServerContext>(*this, std::move(connection));
  Worker* raw = worker.get();
  {
    std::lock_guard<std::mutex> guard(live_lock_);
    live_.push_back(raw->context.get());
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kWorkerStackSize);
  std::lock_guard<std::mutex> guard(workers_lock_);
  int rc = pthread_create(&raw->thread, &attr, &TCustomTCPServer::WorkerMain, raw);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    std::lock_guard<std::mutex> live_guard(live_lock_);
    live_.remove(raw->context.get());
    return;  // the worker and its connection are discarded here
  }
  raw->started = true;
  workers_.push_back(std::move(worker));
}

void* TCustomTCPServer::WorkerMain(void* arg) {
  auto* worker = static_cast<Worker*>(arg);
  worker->server->RunWorker(*worker);
  return nullptr;
}

void TCustomTCPServer::RunWorker(Worker& worker) {
  TServerContext& context = *worker.context;
  try {
    DoExecute(context);
  } catch (...) {
    // Ends this connection only; not written, not logged.
  }
  {
    std::lock_guard<std::mutex> guard(live_lock_);
    live_.remove(&context);
  }
  try {
    context.Connection().Close();
  } catch (...) {
  }
  worker.finished = true;
}

void TCustomTCPServer::ReapFinishedWorkers() {
  std::list<std::unique_ptr<Worker>> done;
  {
    std::lock_guard<std::mutex> guard(workers_lock_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      if ((*it)->finished) {
        done.push_back(std::move(*it));
        it = workers_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& worker : done) pthread_join(worker->thread, nullptr);
}

}  // namespace ostrivan::http

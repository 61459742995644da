#pragma once
// The process-wide pool of web modules behind every bridged request. A module (with
// its engine) serves one request at a time; idle ones are reused first in, first out.
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "http/web_module.h"

namespace ostrivan::http {

class THTTPRequestInfo;
class THTTPResponseInfo;
class TIOHandler;

class THTTPWebBridgeRequestHandler {
 public:
  THTTPWebBridgeRequestHandler() = default;
  ~THTTPWebBridgeRequestHandler();
  THTTPWebBridgeRequestHandler(const THTTPWebBridgeRequestHandler&) = delete;
  THTTPWebBridgeRequestHandler& operator=(const THTTPWebBridgeRequestHandler&) = delete;

  void SetWebModuleClass(TWebModuleClass factory);
  bool HasWebModuleClass() const;

  // Limit on modules in use at once, that is on requests being dispatched (the name is
  // the documented one; connections are bounded by the TCP server's LiveConnectionCap).
  // 0 or less = none. Plain field, no lock.
  int MaxConnections() const { return max_connections_.load(); }
  void SetMaxConnections(int value) { max_connections_.store(value); }
  bool CacheConnections() const { return cache_connections_.load(); }
  // false also destroys every kept module.
  void SetCacheConnections(bool value);

  int ActiveCount() const;
  int InactiveCount() const;
  void FreeModules();

  // Raises EWebBridgeException when the limit is reached or no module class is set.
  TWebModule& CheckOutWebModule();
  void ReturnWebModule(TWebModule& module);
  // Serves one request through a pooled module; true when handled. An abandoned
  // response is never sent.
  bool ServeWebRequest(TWebRequest& request, TWebResponse& response);

  // Entry from the HTTP server: wraps the records and serves the request. kAbandoned:
  // the application gave the request up without a reply, nothing was sent, and the
  // server is to end the connection.
  enum class TOutcome { kAnswered, kAbandoned };
  TOutcome Run(TIOHandler& connection, THTTPRequestInfo& request_info, THTTPResponseInfo& response_info);

 private:
  mutable std::mutex lock_;
  TWebModuleClass factory_;
  std::atomic<int> max_connections_{32};
  std::atomic<bool> cache_connections_{true};
  std::atomic<int> adding_count_{0};
  std::vector<std::unique_ptr<TWebModule>> active_;
  std::deque<std::unique_ptr<TWebModule>> inactive_;
};

// The process-wide handler, created on first use, destroyed at program exit.
THTTPWebBridgeRequestHandler& TWebRequestHandler();

}  // namespace ostrivan::http

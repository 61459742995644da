#pragma once
// The service's server object: TCP listener, HTTP request handling, and every request
// handed to a web request handler (the process-wide one unless a test gives another).
#include "http/http_server.h"
#include "http/web_request_handler.h"

namespace ostrivan::http {

class THTTPWebBridge : public TCustomHTTPServer {
 public:
  THTTPWebBridge() = default;
  // Deactivates: listeners stop, live connections close, every worker is waited for.
  ~THTTPWebBridge() override;

  // null = the process-wide TWebRequestHandler(). Set before activation.
  void SetRequestHandler(THTTPWebBridgeRequestHandler* handler) { handler_ = handler; }

 protected:
  void DoCommandGet(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response) override;
  void DoCommandOther(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response) override;

 private:
  THTTPWebBridgeRequestHandler& Handler() { return handler_ ? *handler_ : TWebRequestHandler(); }
  THTTPWebBridgeRequestHandler* handler_ = nullptr;
};

}  // namespace ostrivan::http

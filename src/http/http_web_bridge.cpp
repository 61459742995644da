#include "http/http_web_bridge.h"

namespace ostrivan::http {

THTTPWebBridge::~THTTPWebBridge() { SetActive(false); }

void THTTPWebBridge::DoCommandGet(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response) {
  if (Handler().Run(connection, request, response) == THTTPWebBridgeRequestHandler::TOutcome::kAbandoned)
    response.Abandon();
}

void THTTPWebBridge::DoCommandOther(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response) {
  if (Handler().Run(connection, request, response) == THTTPWebBridgeRequestHandler::TOutcome::kAbandoned)
    response.Abandon();
}

}  // namespace ostrivan::http

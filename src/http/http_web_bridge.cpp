#include "http/http_web_bridge.h"

namespace ostrivan::http {

THTTPWebBridge::~THTTPWebBridge() { SetActive(false); }

void THTTPWebBridge::DoCommandGet(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response) {
  Handler().Run(connection, request, response);
}

void THTTPWebBridge::DoCommandOther(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response) {
  Handler().Run(connection, request, response);
}

}  // namespace ostrivan::http

#pragma once
// The little HTTP/1.1 the command-line client needs: one POST per connection to a
// plain-http server, the reply read to its end.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.h"

namespace ostrivan::client {

// Failures of the client itself: a bad URL, an unreachable server, a reply that is not
// HTTP.
OSTRIVAN_DECLARE_EXCEPTION(EClientError, Exception);
// SIGINT or SIGTERM arrived while the client waited on the network.
OSTRIVAN_DECLARE_EXCEPTION(EClientInterrupted, EClientError);

// From here on SIGINT and SIGTERM no longer end the process: they are noted, and the
// network wait under way (or the next one) ends with EClientInterrupted, so that the
// caller can remove what it made before it exits.
void CatchInterrupts();
// The signal that arrived (SIGINT, SIGTERM), or 0.
int InterruptSignal();
// Raises EClientInterrupted when a signal has arrived.
void ThrowIfInterrupted();

struct TServerUrl {
  std::string Host;  // "localhost", "192.0.2.7", "::1" (no brackets)
  uint16_t Port = 80;
  std::string PathPrefix;  // "" or "/base" (no trailing '/')
};

// "http://host[:port][/prefix]"; also "host[:port]" without the scheme, and IPv6
// literals in brackets ("http://[::1]:8080"). Raises EClientError otherwise.
TServerUrl ParseServerUrl(std::string_view url);

struct THttpReply {
  int Status = 0;
  std::string Reason;
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Body;

  // The first header of that name, compared without regard to case; "" when absent.
  std::string Header(std::string_view name) const;
};

// A whole reply as received up to the close of the connection: status line, headers,
// body cut at Content-Length or decoded from chunks. Raises EClientError when the text
// is not an HTTP reply or the body is shorter than announced.
THttpReply ParseHttpReply(std::string_view raw);

// Sends POST path with a JSON body ("Accept" and "Content-Type" application/json) and
// returns the reply. Tries every address the host name resolves to; the whole exchange
// (connecting, sending, the reply to its end) takes at most timeout_seconds.
// extra_headers: more header lines, each ending in CR LF.
THttpReply PostJson(const TServerUrl& url, const std::string& path, const std::string& body, int timeout_seconds = 120,
                    const std::string& extra_headers = "");

// Sends GET path with the given Accept header and returns the reply, as PostJson does.
THttpReply GetPath(const TServerUrl& url, const std::string& path, const std::string& accept = "application/json",
                   int timeout_seconds = 30);

}  // namespace ostrivan::client

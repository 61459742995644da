#include "client/http_client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/numbers.h"
#include "common/text.h"
#include "platform/net.h"
#include "platform/service.h"

namespace ostrivan::client {
namespace {

// Turns readable at a stop request, so that a wait under way wakes up at once.
platform::TWaitHandle g_wake = platform::kNoWaitHandle;

using Clock = std::chrono::steady_clock;

// Chunked transfer coding: hex size line, data, CR LF, ... up to a zero-size chunk.
std::string DecodeChunked(std::string_view body) {
  std::string out;
  for (;;) {
    const auto eol = body.find('\n');
    if (eol == std::string_view::npos) throw EClientError("incomplete chunked reply");
    const std::string line = Trim(body.substr(0, eol));
    std::size_t size = 0;
    if (!ParseNumber(Trim(std::string_view(line).substr(0, line.find(';'))), size, 16))
      throw EClientError("malformed chunk size in the reply");
    body.remove_prefix(eol + 1);
    if (size == 0) return out;
    if (body.size() < size) throw EClientError("incomplete chunked reply");
    out.append(body.substr(0, size));
    body.remove_prefix(size);
    if (body.starts_with("\r\n")) body.remove_prefix(2);
    else if (body.starts_with("\n")) body.remove_prefix(1);
  }
}

// Waits until fd is ready for events or the deadline passes (false). A signal noted by
// CatchInterrupts ends the wait with EClientInterrupted.
bool WaitFor(platform::TSocket fd, platform::TWaitFor events, Clock::time_point deadline) {
  for (;;) {
    ThrowIfInterrupted();
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    bool ready = false;
    const TStatus waited =
        platform::TryWait(fd, events, static_cast<int>(std::min<long long>(left, 1000 * 60)), ready, g_wake);
    if (!waited && waited.Code() == EINTR) continue;
    if (!waited) return false;
    if (ready) {
      ThrowIfInterrupted();
      return true;
    }
  }
}

std::string Describe(const TServerUrl& url) {
  const bool v6 = url.Host.find(':') != std::string::npos;
  return (v6 ? "[" + url.Host + "]" : url.Host) + ":" + std::to_string(url.Port);
}

platform::TSocket Connect(const TServerUrl& url, Clock::time_point deadline, int timeout_seconds) {
  std::vector<platform::TEndpoint> found;
  std::string reason;
  if (!platform::TryResolve(url.Host, url.Port, found, reason))
    throw EClientError("cannot resolve " + url.Host + ": " + reason);
  std::string last_error = "no address";
  platform::TOwnedSocket connected;
  for (const platform::TEndpoint& endpoint : found) {
    platform::TOwnedSocket socket;
    {
      platform::TSocket made = platform::kNoSocket;
      if (const TStatus opened = platform::TryOpenTcpSocket(endpoint.Family, made, true); !opened) {
        last_error = std::strerror(opened.Code());
        continue;
      }
      socket.Reset(made);
    }
    const TStatus started = platform::TryConnect(socket.Get(), endpoint);
    int err = started.Code();
    if (err == EINPROGRESS) {
      // An interruption closes the socket on its way out.
      if (!WaitFor(socket.Get(), platform::TWaitFor::kWritable, deadline)) {
        err = ETIMEDOUT;
      } else {
        (void)platform::TryPendingError(socket.Get(), err);
      }
    }
    if (err == 0) {
      connected = std::move(socket);
      break;
    }
    last_error = err == ETIMEDOUT ? "no answer within " + std::to_string(timeout_seconds) + " s" : std::strerror(err);
  }
  if (connected.Get() == platform::kNoSocket)
    throw EClientError("cannot connect to " + Describe(url) + ": " + last_error);
  return connected.Release();
}

}  // namespace

void CatchInterrupts() {
  // Without a wake-up the requests are still noted, and waits see them within a minute.
  (void)platform::TryCatchStopRequests(g_wake);
}

int InterruptSignal() { return platform::StopRequestSignal(); }

void ThrowIfInterrupted() {
  if (platform::StopRequestSignal() != 0) throw EClientInterrupted("interrupted");
}

TServerUrl ParseServerUrl(std::string_view url) {
  const std::string original(url);
  if (const auto scheme = url.find("://"); scheme != std::string_view::npos) {
    if (!SameText(url.substr(0, scheme), "http")) {
      throw EClientError("unsupported URL " + original + ": only http:// is served");
    }
    url.remove_prefix(scheme + 3);
  }
  TServerUrl result;
  const auto slash = url.find('/');
  std::string_view authority = url.substr(0, slash);
  if (slash != std::string_view::npos) {
    std::string_view prefix = url.substr(slash);
    while (prefix.ends_with('/')) prefix.remove_suffix(1);
    result.PathPrefix = std::string(prefix);
  }
  std::string_view port_text;
  if (authority.starts_with('[')) {
    const auto close = authority.find(']');
    if (close == std::string_view::npos) throw EClientError("malformed URL " + original);
    result.Host = std::string(authority.substr(1, close - 1));
    const std::string_view rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (!rest.starts_with(':')) throw EClientError("malformed URL " + original);
      port_text = rest.substr(1);
      if (port_text.empty()) throw EClientError("malformed URL " + original);
    }
  } else {
    const auto colon = authority.find(':');
    result.Host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) {
      port_text = authority.substr(colon + 1);
      if (port_text.empty()) throw EClientError("malformed URL " + original);
    }
  }
  if (result.Host.empty() || result.Host.find('@') != std::string::npos) {
    throw EClientError("malformed URL " + original);
  }
  if (!port_text.empty()) {
    unsigned port = 0;
    if (!ParseNumber(port_text, port) || port == 0 || port > 65535) {
      throw EClientError("bad port in URL " + original);
    }
    result.Port = static_cast<uint16_t>(port);
  }
  return result;
}

std::string THttpReply::Header(std::string_view name) const {
  for (const auto& [key, value] : Headers) {
    if (SameText(key, name)) return value;
  }
  return {};
}

THttpReply ParseHttpReply(std::string_view raw) {
  auto head_end = raw.find("\r\n\r\n");
  std::size_t body_start = head_end + 4;
  if (head_end == std::string_view::npos) {
    head_end = raw.find("\n\n");
    if (head_end == std::string_view::npos) {
      throw EClientError(raw.empty() ? "the server closed the connection without a reply"
                                     : "incomplete reply from the server");
    }
    body_start = head_end + 2;
  }
  std::string_view head = raw.substr(0, head_end);
  THttpReply reply;
  bool first = true;
  while (!head.empty() || first) {
    const auto eol = head.find('\n');
    const std::string line = Trim(head.substr(0, eol));
    head = eol == std::string_view::npos ? std::string_view() : head.substr(eol + 1);
    if (first) {
      first = false;
      // "HTTP/1.1 200 OK"
      if (!line.starts_with("HTTP/1.")) throw EClientError("the server's reply is not HTTP");
      const auto sp = line.find(' ');
      const std::string_view rest =
          sp == std::string::npos ? std::string_view() : std::string_view(line).substr(sp + 1);
      if (rest.size() < 3 || !ParseNumber(rest.substr(0, 3), reply.Status)) {
        throw EClientError("the server's reply has no status code");
      }
      reply.Reason = Trim(rest.substr(3));
      continue;
    }
    if (line.empty()) continue;
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    reply.Headers.emplace_back(Trim(std::string_view(line).substr(0, colon)),
                               Trim(std::string_view(line).substr(colon + 1)));
  }
  std::string_view body = raw.substr(body_start);
  if (SameText(reply.Header("Transfer-Encoding"), "chunked")) {
    reply.Body = DecodeChunked(body);
    return reply;
  }
  const std::string length_text = reply.Header("Content-Length");
  if (!length_text.empty()) {
    std::size_t length = 0;
    if (!ParseNumber(std::string_view(length_text), length))
      throw EClientError("malformed Content-Length in the reply");
    if (body.size() < length) {
      throw EClientError("the reply ended after " + std::to_string(body.size()) + " of " + length_text + " bytes");
    }
    body = body.substr(0, length);
  }
  reply.Body = std::string(body);
  return reply;
}

namespace {

// One request on a new connection and its whole reply, all within timeout_seconds. A
// request refused early (413) still gets its reply read.
THttpReply Exchange(const TServerUrl& url, const std::string& head_line, const std::string& headers,
                    const std::string& body, int timeout_seconds) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeout_seconds);
  const std::string after = " after " + std::to_string(timeout_seconds) + " s";
  platform::TOwnedSocket sock(Connect(url, deadline, timeout_seconds));
  const bool v6 = url.Host.find(':') != std::string::npos;
  std::string request = head_line + "\r\n";
  request += "Host: " + (v6 ? "[" + url.Host + "]" : url.Host) + ":" + std::to_string(url.Port) + "\r\n";
  request += headers;
  request += "Connection: close\r\n\r\n";
  request += body;

  std::size_t sent = 0;
  while (sent < request.size()) {
    if (!WaitFor(sock.Get(), platform::TWaitFor::kWritable, deadline))
      throw EClientError("timed out" + after + " sending to " + Describe(url));
    std::size_t n = 0;
    if (const TStatus done = platform::TrySend(sock.Get(), request.data() + sent, request.size() - sent, n); !done) {
      if (done.Code() == EINTR || done.Code() == EAGAIN) continue;
      // The server may refuse a request early (413) and close; its reply is still there.
      if (done.Code() == EPIPE || done.Code() == ECONNRESET) break;
      throw EClientError("sending to " + Describe(url) + " failed: " + std::strerror(done.Code()));
    }
    sent += n;
  }

  std::string raw;
  char buffer[65536];
  for (;;) {
    if (!WaitFor(sock.Get(), platform::TWaitFor::kReadable, deadline)) {
      throw EClientError("timed out" + after + " waiting for the reply of " + Describe(url));
    }
    std::size_t n = 0;
    if (const TStatus done = platform::TryReceive(sock.Get(), buffer, sizeof buffer, true, n); !done) {
      if (done.Code() == EINTR || done.Code() == EAGAIN) continue;
      if (done.Code() == ECONNRESET && !raw.empty()) break;
      throw EClientError("receiving from " + Describe(url) + " failed: " + std::strerror(done.Code()));
    }
    if (n == 0) break;
    raw.append(buffer, n);
  }
  return ParseHttpReply(raw);
}

}  // namespace

THttpReply PostJson(const TServerUrl& url, const std::string& path, const std::string& body, int timeout_seconds,
                    const std::string& extra_headers) {
  return Exchange(url, "POST " + url.PathPrefix + path + " HTTP/1.1",
                  "Accept: application/json\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n" + extra_headers,
                  body, timeout_seconds);
}

THttpReply GetPath(const TServerUrl& url, const std::string& path, const std::string& accept, int timeout_seconds) {
  return Exchange(url, "GET " + url.PathPrefix + path + " HTTP/1.1", "Accept: " + accept + "\r\n", "", timeout_seconds);
}

}  // namespace ostrivan::client

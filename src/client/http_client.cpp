#include "client/http_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include "common/file_descriptor.h"
#include "common/numbers.h"
#include "common/text.h"

namespace ostrivan::client {
namespace {

volatile std::sig_atomic_t g_interrupt = 0;
// Written by the signal handler so that a poll under way wakes up at once.
int g_wake_pipe[2] = {-1, -1};

extern "C" void NoteInterrupt(int signal_number) {
  g_interrupt = signal_number;
  if (g_wake_pipe[1] >= 0) {
    const int saved = errno;
    [[maybe_unused]] const ssize_t n = write(g_wake_pipe[1], "x", 1);
    errno = saved;
  }
}

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
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    ThrowIfInterrupted();
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p[2] = {{fd, events, 0}, {g_wake_pipe[0], POLLIN, 0}};
    const int n = poll(p, g_wake_pipe[0] >= 0 ? 2 : 1, static_cast<int>(std::min<long long>(left, 1000 * 60)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (p[0].revents != 0) {
      ThrowIfInterrupted();
      return true;
    }
  }
}

std::string Describe(const TServerUrl& url) {
  const bool v6 = url.Host.find(':') != std::string::npos;
  return (v6 ? "[" + url.Host + "]" : url.Host) + ":" + std::to_string(url.Port);
}

int Connect(const TServerUrl& url, Clock::time_point deadline, int timeout_seconds) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(url.Port);
  const int rc = getaddrinfo(url.Host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) throw EClientError("cannot resolve " + url.Host + ": " + gai_strerror(rc));
  std::string last_error = "no address";
  int connected = -1;
  for (addrinfo* a = found; a != nullptr && connected < 0; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) {
      last_error = std::strerror(errno);
      continue;
    }
    int err = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
      bool ready = false;
      try {
        ready = WaitFor(fd, POLLOUT, deadline);
      } catch (const EClientInterrupted&) {
        close(fd);
        freeaddrinfo(found);
        throw;
      }
      if (!ready) {
        err = ETIMEDOUT;
      } else {
        socklen_t len = sizeof err;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      }
    }
    if (err == 0) {
      connected = fd;
    } else {
      last_error = err == ETIMEDOUT ? "no answer within " + std::to_string(timeout_seconds) + " s" : std::strerror(err);
      close(fd);
    }
  }
  freeaddrinfo(found);
  if (connected < 0) throw EClientError("cannot connect to " + Describe(url) + ": " + last_error);
  return connected;
}

}  // namespace

void CatchInterrupts() {
  if (g_wake_pipe[0] < 0 && pipe2(g_wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) g_wake_pipe[0] = g_wake_pipe[1] = -1;
  struct sigaction action {};
  action.sa_handler = NoteInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocking call returns with EINTR
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int InterruptSignal() { return g_interrupt; }

void ThrowIfInterrupted() {
  if (g_interrupt != 0) throw EClientInterrupted("interrupted");
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
  TFileDescriptor sock(Connect(url, deadline, timeout_seconds));
  const bool v6 = url.Host.find(':') != std::string::npos;
  std::string request = head_line + "\r\n";
  request += "Host: " + (v6 ? "[" + url.Host + "]" : url.Host) + ":" + std::to_string(url.Port) + "\r\n";
  request += headers;
  request += "Connection: close\r\n\r\n";
  request += body;

  std::size_t sent = 0;
  while (sent < request.size()) {
    if (!WaitFor(sock.get(), POLLOUT, deadline))
      throw EClientError("timed out" + after + " sending to " + Describe(url));
    const ssize_t n = send(sock.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      // The server may refuse a request early (413) and close; its reply is still there.
      if (errno == EPIPE || errno == ECONNRESET) break;
      throw EClientError("sending to " + Describe(url) + " failed: " + std::strerror(errno));
    }
    sent += static_cast<std::size_t>(n);
  }

  std::string raw;
  char buffer[65536];
  for (;;) {
    if (!WaitFor(sock.get(), POLLIN, deadline)) {
      throw EClientError("timed out" + after + " waiting for the reply of " + Describe(url));
    }
    const ssize_t n = recv(sock.get(), buffer, sizeof buffer, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      if (errno == ECONNRESET && !raw.empty()) break;
      throw EClientError("receiving from " + Describe(url) + " failed: " + std::strerror(errno));
    }
    if (n == 0) break;
    raw.append(buffer, static_cast<std::size_t>(n));
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

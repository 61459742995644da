#include "http_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <regex>

#include "common/request_size.h"
#include "http/http_exceptions.h"

namespace ostrivan::http::testing {

int TTestWebModule::created = 0;

TTestWebModule::TTestWebModule(DispatchFn fn) {
  ++created;
  SetBeforeDispatch([fn](TCustomWebDispatcher&, TWebRequest& request, TWebResponse& response, bool& handled) {
    if (fn) fn(request, response, handled);
  });
}

BridgeFixture::BridgeFixture(DispatchFn fn) : dispatch(std::move(fn)) {
  handler.SetMaxConnections(0);
  handler.SetWebModuleClass([this] { return std::make_unique<TTestWebModule>(dispatch); });
  bridge.SetRequestHandler(&handler);
  ApplyServiceRequestLimits(bridge);
}

void ApplyServiceRequestLimits(TCustomHTTPServer& server) {
  server.SetMaxRequestBodySize(kDefaultMaxRequestSize);
  server.SetBodyRefusal([](int64_t limit) {
    const std::string text =
        "Request size exceeded the max allowed size [" + std::to_string(limit / 1024) + " KiB] (1)";
    return TBodyRefusal{413, text, "[EMVCException] " + text};
  });
}

MemoryResult RunInMemory(TCustomHTTPServer& server, const std::string& input, size_t chunk) {
  auto transport = std::make_unique<TMemoryTransport>(input, chunk);
  TMemoryTransport* raw = transport.get();
  TIOHandler io(std::move(transport));
  MemoryResult result;
  try {
    server.ProcessConnection(io);
  } catch (const ostrivan::Exception& e) {
    result.error = e.ClassName();
  }
  result.output = raw->Output();
  result.sends = raw->SendCount();
  return result;
}

std::string MaskDate(const std::string& reply) {
  static const std::regex kDate("\r\nDate: [^\r]*\r\n");
  return std::regex_replace(reply, kDate, "\r\nDate: *\r\n", std::regex_constants::format_first_only);
}

int ConnectLoopback(int family, uint16_t port) {
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int rc;
  if (family == AF_INET6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_loopback;
    rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  if (rc != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string ReadUntilClose(int fd, int timeout_ms) {
  std::string out;
  char buffer[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) break;
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

std::string Exchange(int family, uint16_t port, const std::string& request, int timeout_ms) {
  int fd = ConnectLoopback(family, port);
  if (fd < 0) return "<connect failed>";
  if (!request.empty()) send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string reply = ReadUntilClose(fd, timeout_ms);
  close(fd);
  return reply;
}

int ThreadCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* e = readdir(dir))
      if (e->d_name[0] != '.') ++count;
    closedir(dir);
  }
  return count;
}

}  // namespace ostrivan::http::testing

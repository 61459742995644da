// The client's own parsing: server URLs, raw HTTP replies and the four reply shapes a
// job endpoint can give.
#include <gtest/gtest.h>

#include <string>

#include "client/http_client.h"
#include "client/job_client.h"
#include "client/jobs_client.h"

namespace ostrivan::client {
namespace {

TEST(ServerUrl, AcceptedForms) {
  struct Case {
    const char* url;
    const char* host;
    uint16_t port;
    const char* prefix;
  } cases[] = {
      {"http://localhost:8080", "localhost", 8080, ""},
      {"HTTP://10.0.0.7:9000/", "10.0.0.7", 9000, ""},
      {"http://machine-12", "machine-12", 80, ""},
      {"machine-12:8081", "machine-12", 8081, ""},
      {"http://[::1]:8080", "::1", 8080, ""},
      {"http://[fe80::1]", "fe80::1", 80, ""},
      {"http://proxy:80/ostrivan/", "proxy", 80, "/ostrivan"},
  };
  for (const auto& c : cases) {
    const TServerUrl url = ParseServerUrl(c.url);
    EXPECT_EQ(url.Host, c.host) << c.url;
    EXPECT_EQ(url.Port, c.port) << c.url;
    EXPECT_EQ(url.PathPrefix, c.prefix) << c.url;
  }
}

TEST(ServerUrl, RefusedForms) {
  for (const char* url :
       {"https://localhost:8080", "ftp://x", "", "http://", "http://:8080", "http://host:", "http://host:0",
        "http://host:65536", "http://host:80x", "http://[::1", "http://[::1]x", "http://user@host"}) {
    EXPECT_THROW(ParseServerUrl(url), EClientError) << url;
  }
}

TEST(HttpReply, StatusHeadersAndBody) {
  const THttpReply r = ParseHttpReply(
      "HTTP/1.1 200 OK\r\nConnection: close\r\ncontent-type: application/json; charset=utf-8\r\n"
      "Content-Length: 5\r\n\r\n{\"a\"}trailing bytes past the length");
  EXPECT_EQ(r.Status, 200);
  EXPECT_EQ(r.Reason, "OK");
  EXPECT_EQ(r.Header("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(r.Header("X-Missing"), "");
  EXPECT_EQ(r.Body, "{\"a\"}");

  // The reason phrase of an error reply may hold blanks and brackets.
  const THttpReply nf = ParseHttpReply("HTTP/1.1 404 [EMVCException] Not Found\r\n\r\nTornioMVC\r\nHTTP 404");
  EXPECT_EQ(nf.Status, 404);
  EXPECT_EQ(nf.Reason, "[EMVCException] Not Found");
  EXPECT_EQ(nf.Body, "TornioMVC\r\nHTTP 404");  // no length: the body runs to the close

  const THttpReply chunked =
      ParseHttpReply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nWiki\r\n6;x=y\r\npedia \r\n0\r\n\r\n");
  EXPECT_EQ(chunked.Body, "Wikipedia ");
}

TEST(HttpReply, BrokenRepliesAreErrors) {
  for (const char* raw :
       {"", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n", "SSH-2.0-OpenSSH\r\n\r\n", "HTTP/1.1 2x OK\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", "HTTP/1.1 200 OK\r\nContent-Length: ten\r\n\r\n",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab"}) {
    EXPECT_THROW(ParseHttpReply(raw), EClientError) << raw;
  }
}

THttpReply Reply(int status, const std::string& reason, const std::string& body) {
  THttpReply r;
  r.Status = status;
  r.Reason = reason;
  r.Body = body;
  return r;
}

THttpReply WithHeader(THttpReply r, const std::string& name, const std::string& value) {
  r.Headers.emplace_back(name, value);
  return r;
}

TEST(JobResult, EveryReplyShape) {
  struct Case {
    THttpReply reply;
    bool ok;
    std::string failure;
    bool job_json;
    bool foreign = false;  // none of the service's four shapes
  } cases[] = {
      {Reply(200, "OK", R"({"Errore":false,"Messaggio":""})"), true, "", true},
      {Reply(
           200, "OK",
           R"({"Errore":true,"Messaggio":"Directory ExportLavoroDir non specificata","NomeFile":"","Stream":"","NrMacchina":0})"),
       false, "Directory ExportLavoroDir non specificata", true},
      {Reply(200, "OK", R"({"Errore":true,"Messaggio":""})"), false, "the service reported a failure without a message",
       true},
      {Reply(200, "OK", "<html>a proxy page</html>"), false, "not a reply of an Ostrivan service: HTTP 200 OK", false,
       true},
      {Reply(200, "OK", R"({"Errore":"no"})"), false,
       R"(not a reply of an Ostrivan service: HTTP 200 OK: {"Errore":"no"})", false, true},
      {Reply(200, "OK", R"({"ok":true})"), false, R"(not a reply of an Ostrivan service: HTTP 200 OK: {"ok":true})",
       false, true},
      // The engine's JSON error object.
      {Reply(
           400, "Bad Request",
           R"({"classname":"EMVCException","detailedmessage":"","apperrorcode":0,"items":[],"statuscode":400,"reasonstring":"error","message":"Invalid body","data":null})"),
       false, "HTTP 400 Bad Request: Invalid body (EMVCException)", false},
      {Reply(
           404, "[EMVCException] Not Found",
           R"({"classname":"EMVCException","detailedmessage":"","apperrorcode":0,"items":[],"statuscode":404,"reasonstring":"","message":"[EMVCException] Not Found","data":null})"),
       false, "HTTP 404 [EMVCException] Not Found: [EMVCException] Not Found", false},
      // Plain-text pages.
      {Reply(404, "[EMVCException] Not Found", "TornioMVC\r\nHTTP 404: [EMVCException] Not Found"), false,
       "HTTP 404 [EMVCException] Not Found: TornioMVC HTTP 404: [EMVCException] Not Found", false},
      {Reply(413, "Request Entity Too Long", "Request size exceeded the max allowed size [5120 KiB] (1)"), false,
       "HTTP 413 Request Entity Too Long: Request size exceeded the max allowed size [5120 KiB] (1)", false},
      {WithHeader(Reply(401, "Unauthorized", "Unsupported authorization scheme."), "WWW-Authenticate", "Basic"), false,
       "HTTP 401 Unauthorized: Unsupported authorization scheme.", false},
      // ClientAmmessi's refusal: the service's own 403 page, not another server.
      {Reply(403, "Forbidden", "<HTML><BODY><B>403 Forbidden</B></BODY></HTML>"), false,
       "HTTP 403 Forbidden: refused by the service (not on ClientAmmessi)", false},
      {Reply(403, "Forbidden", "<html><head><title>403 Forbidden</title></head></html>"), false,
       "not a reply of an Ostrivan service: HTTP 403 Forbidden", false, true},
      // Another server's pages; an HTML page is not repeated in a terminal.
      {Reply(500, "Internal Server Error", "<!DOCTYPE html><html>...</html>"), false,
       "not a reply of an Ostrivan service: HTTP 500 Internal Server Error", false, true},
      {Reply(404, "Not Found", "<html><h1>404 Not Found</h1></html>"), false,
       "not a reply of an Ostrivan service: HTTP 404 Not Found", false, true},
      {Reply(413, "Payload Too Large", "too large"), false,
       "not a reply of an Ostrivan service: HTTP 413 Payload Too Large: too large", false, true},
      {Reply(401, "Unauthorized", "Unsupported authorization scheme."), false,
       "not a reply of an Ostrivan service: HTTP 401 Unauthorized: Unsupported authorization scheme.", false, true},
      // An error object whose status is not the reply's is not the engine's.
      {Reply(
           500, "Internal Server Error",
           R"({"classname":"EMVCException","detailedmessage":"","apperrorcode":0,"items":[],"statuscode":400,"reasonstring":"error","message":"Invalid body","data":null})"),
       false, "", false, true},
  };
  for (const auto& c : cases) {
    const TJobResult result = ReadJobResult(c.reply);
    EXPECT_EQ(result.Ok, c.ok) << c.reply.Body;
    EXPECT_EQ(result.Foreign, c.foreign) << c.reply.Body;
    if (!c.failure.empty() || !c.foreign) {
      EXPECT_EQ(result.Failure, c.failure) << c.reply.Body;
    }
    EXPECT_EQ(result.Json != nullptr, c.job_json) << c.reply.Body;
  }
}

TEST(JobResult, LongPagesAreCutToOneLine) {
  const TJobResult result = ReadJobResult(Reply(502, "Bad Gateway", std::string(1000, 'x') + "\n" + "tail"));
  EXPECT_FALSE(result.Ok);
  EXPECT_LT(result.Failure.size(), 400u);
  EXPECT_EQ(result.Failure.find('\n'), std::string::npos);
}

TEST(JobPath, EachPartIsOnePathSegment) {
  const struct {
    const char* kind;
    std::string name;
    const char* path;
  } cases[] = {
      {"sent", "20261211-081455.301-P1001.zip", "/ostrivan/jobs/sent/20261211-081455.301-P1001.zip"},
      {"sent", "P 1 \xC3\xA8%41.zip", "/ostrivan/jobs/sent/P%201%20%C3%A8%2541.zip"},
      {"unsent", "a/../b", "/ostrivan/jobs/unsent/a%2F..%2Fb"},
      {"sent", std::string("a\0b?#", 5), "/ostrivan/jobs/sent/a%00b%3F%23"},
  };
  for (const auto& c : cases) EXPECT_EQ(JobPath(c.kind, c.name), c.path) << c.name;
}

}  // namespace
}  // namespace ostrivan::client

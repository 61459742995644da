// The connection loop fed from memory: request bytes in, reply bytes out.
#include <gtest/gtest.h>

#include <vector>

#include "http/http_app_request.h"
#include "http_support.h"

namespace ostrivan::http {
namespace {

using testing::BridgeFixture;
using testing::MaskDate;
using testing::RunInMemory;
using namespace std::string_literals;

std::string DefaultPage(int code, const std::string& text) {
  return "<HTML><BODY><B>" + std::to_string(code) + " " + text + "</B></BODY></HTML>";
}

// The header block the server writes for a reply with its default page.
std::string DefaultHead(int code, const std::string& text) {
  return "HTTP/1.1 " + std::to_string(code) + " " + text +
         "\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
         std::to_string(DefaultPage(code, text).size()) + "\r\nDate: *\r\n\r\n";
}

// What the test module saw of the last dispatched request.
struct Seen {
  int calls = 0;
  std::string method, path, query, version, host, body, content_type, auth_user, auth_password;
  THTTPCommandType command_type = hcUnknown;
  bool has_body = false;
};

struct RecordingBridge : BridgeFixture {
  RecordingBridge()
      : BridgeFixture([this](TWebRequest& request, TWebResponse&, bool&) {
          auto& app = static_cast<THTTPAppRequest&>(request);
          THTTPRequestInfo& info = app.RequestInfo();
          ++seen.calls;
          seen.method = request.Method();
          seen.command_type = info.command_type;
          seen.path = request.PathInfo();
          seen.query = request.Query();
          seen.version = request.ProtocolVersion();
          seen.host = info.host;
          seen.has_body = info.post_stream != nullptr;
          seen.body = request.RawContent();
          seen.content_type = request.ContentType();
          seen.auth_user = info.auth_username;
          seen.auth_password = info.auth_password;
        }) {}
  Seen seen;
  std::string Run(const std::string& input, size_t chunk = 32768) {
    return MaskDate(RunInMemory(bridge, input, chunk).output);
  }
};

TEST(HttpRequest, UnhandledRequestGetsTheDefaultPageAndClose) {
  RecordingBridge b;
  EXPECT_EQ(b.Run("GET /x HTTP/1.1\r\nHost: a\r\n\r\n"), DefaultHead(200, "OK") + DefaultPage(200, "OK"));
  EXPECT_EQ(b.seen.calls, 1);
  EXPECT_EQ(b.seen.path, "/x");
}

TEST(HttpRequest, HostRequiredFromVersion11Only) {
  struct Case {
    std::string version;
    bool dispatched;
  };
  for (const Case& c : {Case{"HTTP/1.0", true}, Case{"HTTP/0.9", true}, Case{"HTTP/1", true}, Case{"XYZ", true},
                        Case{"HTTP/1.1", false}, Case{"HTTP/2.0", false}, Case{"HTTP/1.32", false}}) {
    SCOPED_TRACE(c.version);
    RecordingBridge b;
    std::string reply = b.Run("GET /x " + c.version + "\r\n\r\n");
    EXPECT_EQ(b.seen.calls, c.dispatched ? 1 : 0);
    if (c.dispatched) {
      EXPECT_EQ(reply, DefaultHead(200, "OK") + DefaultPage(200, "OK"));
    } else {
      EXPECT_EQ(reply, DefaultHead(400, "Bad Request") + DefaultPage(400, "Bad Request"));
    }
  }
}

TEST(HttpRequest, OneRequestPerConnectionEvenWhenKeepAliveIsAsked) {
  RecordingBridge b;
  std::string reply =
      b.Run("GET /1 HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\nGET /2 HTTP/1.1\r\nHost: a\r\n\r\n");
  EXPECT_EQ(b.seen.calls, 1);
  EXPECT_EQ(b.seen.path, "/1");
  EXPECT_EQ(reply.find("HTTP/1.1", 1), std::string::npos);
  EXPECT_NE(reply.find("Connection: close\r\n"), std::string::npos);
}

TEST(HttpRequest, MethodsAreUpperCasedAndPostMayBeOverridden) {
  struct Case {
    std::string request;
    std::string method;
    THTTPCommandType type;
  };
  const Case cases[] = {
      {"get / HTTP/1.0\r\n\r\n", "GET", hcGET},
      {"PATCH / HTTP/1.0\r\n\r\n", "PATCH", hcUnknown},
      {"options / HTTP/1.0\r\n\r\n", "OPTIONS", hcOPTION},
      {"POST / HTTP/1.0\r\nX-HTTP-Method-Override: delete\r\nContent-Length: 0\r\n\r\n", "DELETE", hcDELETE},
      {"POST / HTTP/1.0\r\nX-HTTP-Method: put\r\nX-METHOD-OVERRIDE: get\r\nContent-Length: 0\r\n\r\n", "PUT", hcPUT},
      {"POST / HTTP/1.0\r\nX-HTTP-Method-Override:\r\nX-METHOD-OVERRIDE: head\r\nContent-Length: 0\r\n\r\n", "HEAD",
       hcHEAD},
      {"GET / HTTP/1.0\r\nX-HTTP-Method-Override: delete\r\n\r\n", "GET", hcGET},  // POST only
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    RecordingBridge b;
    b.Run(c.request);
    EXPECT_EQ(b.seen.calls, 1);
    EXPECT_EQ(b.seen.method, c.method);
    EXPECT_EQ(b.seen.command_type, c.type);
  }
}

TEST(HttpRequest, TargetSplitAndDocumentDecoding) {
  struct Case {
    std::string target;
    std::string document;
    std::string query;
  };
  const Case cases[] = {
      {"/a%20b/c%zz?q=1+2", "/a b/c", "q=1+2"},
      {"/a\\b/c", "/a/b/c", ""},
      {"/p#frag", "/p", ""},
      {"/x%u00e9y", "/x\xC3\xA9y", ""},
      {"/x%C3%A9", "/x\xC3\xA9", ""},
      {"/plus+stays", "/plus+stays", ""},
      {"/bad%2", "/bad", ""},
      {"/bad%u12", "/bad", ""},
      {"/bad%ff", "/bad\xEF\xBF\xBD", ""},  // lone byte is not UTF-8
      {"*", "*", ""},
      {"http://user:pw@h:81/p/q?z", "/p/q", "z"},
      {"//h/p", "/p", ""},
      {"/a b c?x y", "/a b c", "x y"},  // the target may contain spaces
      {"", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    RecordingBridge b;
    b.Run("GET " + c.target + " HTTP/1.0\r\n\r\n");
    ASSERT_EQ(b.seen.calls, 1);
    EXPECT_EQ(b.seen.path, c.document);
    EXPECT_EQ(b.seen.query, c.query);
  }
}

TEST(HttpRequest, AbsoluteTargetFillsMissingHostButNeverSatisfiesVersion11) {
  RecordingBridge b10;
  b10.Run("GET http://h:81/p/q HTTP/1.0\r\n\r\n");
  EXPECT_EQ(b10.seen.host, "h");
  EXPECT_EQ(b10.seen.path, "/p/q");
  RecordingBridge with_header;
  with_header.Run("GET http://h:81/p HTTP/1.0\r\nHost: real\r\n\r\n");
  EXPECT_EQ(with_header.seen.host, "real");
  RecordingBridge b11;
  EXPECT_EQ(b11.Run("GET http://h:81/p/q HTTP/1.1\r\n\r\n"),
            DefaultHead(400, "Bad Request") + DefaultPage(400, "Bad Request"));
  EXPECT_EQ(b11.seen.calls, 0);
}

TEST(HttpRequest, Bodies) {
  struct Case {
    std::string request;
    bool has_body;
    std::string body;
  };
  const Case cases[] = {
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n", true, ""},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabcdef", true, "abc"},
      {"POST / HTTP/1.1\r\nHost: a\r\n\r\n", false, ""},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n3;ext=1\r\nabc\r\n0\r\nT: x\r\n\r\n", true,
       "abc"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n2\r\nab\r\n1\r\nc\r\n0\r\n\r\n", true,
       "abc"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: identity\r\nContent-Length: 2\r\n\r\nxy", true, "xy"},
      // Transfer-Encoding wins over Content-Length.
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 99\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nz\r\n0\r\n\r\n",
       true, "z"},
      // A chunk size that is no hexadecimal number ends the body; trailer lines follow.
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nq\r\nZ\r\nignored\r\n\r\n", true, "q"},
      // Leading zeros do not count towards the length of a chunk size.
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n00000000000000003\r\nabc\r\n"
       "000000000000000000000000000000001\r\nd\r\n0000\r\n\r\n",
       true, "abcd"},
      // Seventeen significant digits are past 63 bits: the body ends there.
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nq\r\n010000000000000000\r\n\r\n", true,
       "q"},
      // The first Content-Length counts.
      {"POST / HTTP/1.0\r\nContent-Length: 2\r\nContent-Length: 5\r\n\r\nabcde", true, "ab"},
      // A length may carry a '+'; a chunk size may not, and a signed one ends the body.
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: +3\r\n\r\nabcdef", true, "abc"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nq\r\n+1\r\nz\r\n0\r\n\r\n", true, "q"},
      // Without a length a GET has no body, whatever follows.
      {"GET / HTTP/1.0\r\n\r\nextra", false, "ignored"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    RecordingBridge b;
    b.Run(c.request);
    ASSERT_EQ(b.seen.calls, 1);
    EXPECT_EQ(b.seen.has_body, c.has_body);
    if (c.has_body) {
      EXPECT_EQ(b.seen.body, c.body);
    }
  }
}

// A Content-Length that is no number in range is as good as none: the same reply.
TEST(HttpRequest, LengthOutOfRangeCountsAsNone) {
  RecordingBridge none;
  const std::string without = MaskDate(none.Run("POST / HTTP/1.1\r\nHost: a\r\n\r\n"));
  for (const char* length : {"-9223372036854775808", "9223372036854775808", "+-3", "3x", "0x3", ""}) {
    SCOPED_TRACE(length);
    RecordingBridge b;
    EXPECT_EQ(MaskDate(b.Run("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: " + std::string(length) + "\r\n\r\n")),
              without);
    EXPECT_EQ(b.seen.calls, none.seen.calls);
  }
}

TEST(HttpRequest, ServerAnswersMalformedHeadersItself) {
  struct Case {
    std::string request;
    int code;
    std::string text;
  };
  const Case cases[] = {
      {"POST / HTTP/1.1\r\nHost: a\r\n\r\npending", 411, "Length Required"},
      {"PUT / HTTP/1.1\r\nHost: a\r\n\r\npending", 411, "Length Required"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip\r\n\r\n", 400, "Bad Request"},
      {"GET / HTTP/1.1\r\nHost: a\r\nExpect: something\r\n\r\n", 417, "Expectation Failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    RecordingBridge b;
    EXPECT_EQ(b.Run(c.request, 4096), DefaultHead(c.code, c.text) + DefaultPage(c.code, c.text));
    EXPECT_EQ(b.seen.calls, 0);
  }
}

TEST(HttpRequest, ExpectWithBodyAlreadyBufferedSendsNoInterimReply) {
  RecordingBridge b;
  std::string reply = b.Run("POST / HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\nhi");
  EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_EQ(b.seen.body, "hi");
}

TEST(HttpRequest, InterimReplyRepeatsTheVersionWithoutItsControlCharacters) {
  const std::string head =
      "POST / HTTP\rSet-Cookie:a=b/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n";
  RecordingBridge b;
  const std::string reply = b.Run(head + "hi", head.size());  // the body arrives after the interim reply
  EXPECT_EQ(reply.rfind("HTTP Set-Cookie:a=b/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n", 0), 0u) << reply;
  EXPECT_EQ(b.seen.body, "hi");
}

TEST(HttpRequest, AuthorizationSchemes) {
  RecordingBridge basic;
  basic.Run("GET / HTTP/1.0\r\nAuthorization: Basic dXNlcjpwYTpzcw==\r\n\r\n");  // user:pa:ss
  EXPECT_EQ(basic.seen.calls, 1);
  EXPECT_EQ(basic.seen.auth_user, "user");
  EXPECT_EQ(basic.seen.auth_password, "pa:ss");

  RecordingBridge bearer;
  const std::string body = "Unsupported authorization scheme.";
  EXPECT_EQ(bearer.Run("GET / HTTP/1.0\r\nAuthorization: Bearer abc\r\n\r\n"),
            "HTTP/1.1 401 Unauthorized\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n"
            "Content-Length: " +
                std::to_string(body.size()) + "\r\nDate: *\r\nWWW-Authenticate: Basic\r\n\r\n" + body);
  EXPECT_EQ(bearer.seen.calls, 0);
}

TEST(HttpRequest, HandlerErrorBecomes500WithItsMessage) {
  BridgeFixture b([](TWebRequest&, TWebResponse&, bool&) { throw std::runtime_error("boom"); });
  // The module's own error handling answers with the error page; an error outside the
  // module (no module class) reaches the server's guard.
  std::string page = MaskDate(RunInMemory(b.bridge, "GET /p HTTP/1.0\r\n\r\n").output);
  EXPECT_EQ(page.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u);

  struct Throwing : TCustomHTTPServer {
    void DoCommandGet(TIOHandler&, THTTPRequestInfo&, THTTPResponseInfo&) override { throw std::runtime_error("boom"); }
  } server;
  EXPECT_EQ(MaskDate(RunInMemory(server, "GET /x HTTP/1.0\r\n\r\n").output),
            "HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n"
            "Content-Length: 4\r\nDate: *\r\n\r\nboom");
}

TEST(HttpRequest, HeaderLineCountLimit) {
  auto request = [](int lines) {
    std::string s = "GET / HTTP/1.0\r\n";
    for (int i = 0; i < lines; ++i) s += "X-" + std::to_string(i) + ": v\r\n";
    return s + "\r\n";
  };
  RecordingBridge ok;
  ok.Run(request(1025));
  EXPECT_EQ(ok.seen.calls, 1);
  RecordingBridge too_many;
  auto result = RunInMemory(too_many.bridge, request(1026));
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.error, "EMaxCaptureLineExceeded");
  EXPECT_EQ(too_many.seen.calls, 0);
}

TEST(HttpRequest, OversizedBodyIsRefusedWithoutBuffering) {
  const std::string message = "Request size exceeded the max allowed size [5120 KiB] (1)";
  const std::string expected =
      "HTTP/1.1 413 Request Entity Too Long\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n"
      "Content-Length: " +
      std::to_string(message.size()) + "\r\nDate: *\r\n\r\n" + message;
  RecordingBridge b;
  EXPECT_EQ(b.Run("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5242881\r\n\r\nxyz"), expected);
  EXPECT_EQ(b.Run("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 99999999999999999\r\n\r\n"), expected);
  EXPECT_EQ(b.Run("POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n7fffffffffffffff\r\n"), expected);
  EXPECT_EQ(b.seen.calls, 0);

  // Chunks that add up past the limit.
  RecordingBridge small;
  small.bridge.SetMaxRequestBodySize(2048);
  std::string chunked = "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 3; ++i) chunked += "400\r\n" + std::string(1024, 'x') + "\r\n";
  std::string reply = small.Run(chunked + "0\r\n\r\n");
  EXPECT_NE(reply.find("413 Request Entity Too Long"), std::string::npos);
  EXPECT_NE(reply.find("[2 KiB] (1)"), std::string::npos);
  EXPECT_EQ(small.seen.calls, 0);

  // Exactly at the limit passes.
  std::string at_limit = "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 2048\r\n\r\n" + std::string(2048, 'y');
  small.Run(at_limit);
  EXPECT_EQ(small.seen.calls, 1);
  EXPECT_EQ(small.seen.body.size(), 2048u);
}

TEST(HttpRequest, OversizedBodyRefusalIsTheOneTheServerWasGiven) {
  // A server without a refusal of its own answers with the bare 413 page.
  RecordingBridge bare;
  bare.bridge.SetMaxRequestBodySize(10);
  bare.bridge.SetBodyRefusal(nullptr);
  EXPECT_EQ(bare.Run("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 11\r\n\r\n"),
            DefaultHead(413, "Request Entity Too Long") + DefaultPage(413, "Request Entity Too Long"));

  // A given refusal is built for the limit in force when the body arrives.
  RecordingBridge worded;
  std::vector<int64_t> limits;
  worded.bridge.SetBodyRefusal([&](int64_t limit) {
    limits.push_back(limit);
    return TBodyRefusal{413, "over " + std::to_string(limit), ""};
  });
  worded.bridge.SetMaxRequestBodySize(10);
  EXPECT_NE(worded.Run("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 11\r\n\r\n").find("\r\n\r\nover 10"),
            std::string::npos);
  worded.bridge.SetMaxRequestBodySize(20);
  EXPECT_NE(worded.Run("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 21\r\n\r\n").find("\r\n\r\nover 20"),
            std::string::npos);
  EXPECT_EQ(limits, (std::vector<int64_t>{10, 20}));
  // Bodies within the limit never ask for it.
  worded.Run("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 20\r\n\r\n" + std::string(20, 'b'));
  EXPECT_EQ(limits.size(), 2u);
  EXPECT_EQ(bare.seen.calls + worded.seen.calls, 1);
}

TEST(HttpRequest, SilentCloses) {
  struct Case {
    std::string request;
    std::string error;
  };
  const Case cases[] = {
      {"\r\n", "EHTTPErrorParsingCommand"},
      {"GARBAGE\r\n\r\n", "EHTTPErrorParsingCommand"},
      {"GET / HTTP/1.1\r\n" + std::string(16385, 'a') + "\r\n\r\n", "EReadLnMaxLineLengthExceeded"},
      {"GET /" + std::string(16380, 'a') + " HTTP/1.0\r\n\r\n", "EReadLnMaxLineLengthExceeded"},
      {"", ""},                                                  // connect and close
      {"GET / HTTP/1.0\r\nHost: a\r\n", ""},                     // cut in the header block
      {"POST / HTTP/1.0\r\nContent-Length: 10\r\n\r\nabc", ""},  // cut mid-body
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request.substr(0, 40));
    RecordingBridge b;
    auto result = RunInMemory(b.bridge, c.request);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(b.seen.calls, 0);
  }
}

TEST(HttpRequest, LongestRequestLinesAreAccepted) {
  // 16384 bytes before the LF with a CR counted: 16383 of text with CR LF.
  std::string target = "/" + std::string(16383 - 4 - 9 - 1, 'a');
  std::string line = "GET " + target + " HTTP/1.0";
  ASSERT_EQ(line.size(), 16383u);
  RecordingBridge b;
  b.Run(line + "\r\n\r\n");
  EXPECT_EQ(b.seen.calls, 1);
  RecordingBridge bare;
  bare.Run(line + "a\n\n");  // bare LF: 16384 of text
  EXPECT_EQ(bare.seen.calls, 1);
}

// Hostile requests: each ends with a defined reply or a silent close.
TEST(HttpRequest, HostileRequestTable) {
  struct Case {
    std::string request;
    std::string status;
  };  // status "" = silent close
  const std::string base = "POST / HTTP/1.1\r\nHost: a\r\n";
  const Case cases[] = {
      {base + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", "HTTP/1.1 200"},
      {base + "Content-Length: 3, 4\r\n\r\nabcd", "HTTP/1.1 411"},
      {base + "Content-Length: -5\r\n\r\nabcd", "HTTP/1.1 411"},
      {base + "Content-Length: 18446744073709551616\r\n\r\nabcd", "HTTP/1.1 411"},
      {base + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "HTTP/1.1 200"},
      {base + "Content-Length : 2\r\n\r\nab", "HTTP/1.1 411"},  // name with a space is another name
      {base + "Content\tLength: 2\r\n\r\nab", "HTTP/1.1 411"},
      {base + "Content-Length: 2\x00\r\n\r\nab"s, "HTTP/1.1 200"},  // control bytes trim like blanks
      {base + "X\0Y: v\r\nContent-Length: 0\r\n\r\n"s, "HTTP/1.1 200"},
      {base + "Content-Length: 0\r\nX-\tTab:\tv\0w\r\n\r\n"s, "HTTP/1.1 200"},
      {base + "Transfer-Encoding: chunked\r\n\r\n0_2e\r\n\r\n", "HTTP/1.1 200"},
      {base + "Transfer-Encoding: chunked\r\n\r\nZ\r\n\r\n", "HTTP/1.1 200"},
      {base + "Transfer-Encoding: chunked\r\n\r\n10000000000000000\r\n\r\n", "HTTP/1.1 200"},  // 17 digits
      {base + "Transfer-Encoding: chunked\r\n\r\n-5\r\n\r\n", "HTTP/1.1 200"},
      {base + "Transfer-Encoding: chunked\r\n\r\nffffffffffffffff\r\n\r\n", "HTTP/1.1 200"},
      {base + "Transfer-Encoding: chunked\r\n\r\n5\r\nab", ""},  // cut inside a chunk
      {"GET / HTTP/1.1\nHost: a\n\n", "HTTP/1.1 200"},           // bare LF line ends
      {"GET / HTTP/1.32\r\nHost: a\r\n\r\n", "HTTP/1.1 200"},
      {"GET / HTTP/1.32\r\n\r\n", "HTTP/1.1 400"},
      {"GET / HTTP/x.y\r\n\r\n", "HTTP/1.1 200"},
      {"GET / \xFF\xFE\r\n\r\n", "HTTP/1.1 200"},
      {std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), ""},  // a TLS hello
      {"GET /\x01\x02\x7f HTTP/1.0\r\n\r\n", "HTTP/1.1 200"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.request));
    RecordingBridge b;
    std::string reply = b.Run(c.request);
    if (c.status.empty()) {
      EXPECT_EQ(reply, "");
    } else {
      EXPECT_EQ(reply.substr(0, c.status.size()), c.status);
    }
  }
}

TEST(HttpRequest, RequestsCutOffAtEveryByteCloseSilently) {
  const std::string requests[] = {
      "POST /p?q=1 HTTP/1.1\r\nHost: a\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello",
      "POST /p HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n5;x=y\r\nhello\r\n0\r\nT: 1\r\n\r\n",
  };
  for (const std::string& full : requests) {
    for (size_t cut = 0; cut < full.size(); ++cut) {
      SCOPED_TRACE(cut);
      RecordingBridge b;
      std::string reply = b.Run(full.substr(0, cut), 1 + cut % 5);
      EXPECT_EQ(reply, "");
      EXPECT_EQ(b.seen.calls, 0);
    }
    RecordingBridge whole;
    EXPECT_EQ(whole.Run(full, 3).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(whole.seen.body, "hello");
  }
}

}  // namespace
}  // namespace ostrivan::http

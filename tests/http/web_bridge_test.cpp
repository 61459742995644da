// The bridge from HTTP records to web requests and responses, the module pool and the
// module dispatch, through a small test module.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "http/http_exceptions.h"
#include "http_support.h"

namespace ostrivan::http {
namespace {

using testing::BridgeFixture;
using testing::MaskDate;
using testing::RunInMemory;
using testing::TTestWebModule;

std::string Reply(BridgeFixture& b, const std::string& request) {
  return MaskDate(RunInMemory(b.bridge, request).output);
}

std::string BodyOf(const std::string& reply) { return reply.substr(reply.find("\r\n\r\n") + 4); }

TEST(WebBridge, QueryStandsInForMissingBody) {
  std::string query, content, fields;
  int64_t length = 0;
  BridgeFixture b([&](TWebRequest& r, TWebResponse&, bool&) {
    query = r.Query();
    content = r.Content();
    length = r.ContentLength();
    for (size_t i = 0; i < r.QueryFields().Count(); ++i) fields += r.QueryFields()[i] + ";";
  });
  Reply(b, "GET /x?a=1&b=%41&c=x+y&d=\"p&q\" HTTP/1.0\r\n\r\n");
  EXPECT_EQ(query, "a=1&b=%41&c=x+y&d=\"p&q\"");
  EXPECT_EQ(fields, "a=1;b=A;c=x y;d=\"p&q\";");
  EXPECT_EQ(content, query);
  EXPECT_EQ(length, static_cast<int64_t>(query.size()));
}

TEST(WebBridge, MalformedFieldEscapesRaiseConvertErrors) {
  struct Case {
    std::string query;
    std::string message;
  };
  const Case cases[] = {
      {"a=%zz", "Invalid URL encoded character (%zz) at position 3"},
      {"ab=1&c=%4", "Error decoding URL style (%XX) encoded string at position 3"},
      {"x=%", "Error decoding URL style (%XX) encoded string at position 3"},
  };
  for (const Case& c : cases) {
    TNameValueList list;
    try {
      ExtractHTTPFields(c.query, list);
      ADD_FAILURE() << c.query;
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
  }
  TNameValueList ok;
  ExtractHTTPFields("p=100%%&u=%C3%A9", ok);
  EXPECT_EQ(ok.Values("p"), "100%");
  EXPECT_EQ(ok.Values("u"), "\xC3\xA9");
}

TEST(WebBridge, JsonBodyFieldsAndFormBodies) {
  std::string type, header, raw, content;
  int64_t length = 0;
  TMethodType method = TMethodType::mtAny;
  BridgeFixture b([&](TWebRequest& r, TWebResponse&, bool&) {
    type = r.ContentType();
    header = r.GetFieldByName("content-type");
    raw = r.RawContent();
    content = r.Content();
    length = r.ContentLength();
    method = r.MethodType();
  });
  Reply(b, "POST /j HTTP/1.0\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: 7\r\n\r\n{\"a\":1}");
  EXPECT_EQ(type, "application/json");
  EXPECT_EQ(header, "application/json; charset=utf-8");
  EXPECT_EQ(raw, "{\"a\":1}");
  EXPECT_EQ(length, 7);
  EXPECT_EQ(method, TMethodType::mtPost);

  Reply(b, "POST /f?q=2 HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 3\r\n\r\nx=1");
  EXPECT_EQ(raw, "x=1");
  EXPECT_EQ(content, "x=1");
  Reply(b, "PATCH /f HTTP/1.0\r\n\r\n");
  EXPECT_EQ(method, TMethodType::mtPatch);
}

TEST(WebBridge, FieldsFromHeadersHostAndPort) {
  std::string host, remote, cookie_fields;
  int64_t port = 0, bad_int = 0;
  BridgeFixture b([&](TWebRequest& r, TWebResponse&, bool&) {
    host = r.Host();
    port = r.ServerPort();
    remote = r.RemoteAddr();
    bad_int = r.GetIntegerVariable(kReqUserAgent);
    for (size_t i = 0; i < r.CookieFields().Count(); ++i) cookie_fields += r.CookieFields()[i] + ";";
  });
  Reply(b, "GET / HTTP/1.1\r\nHost: example:8123\r\nUser-Agent: x\r\nCookie: a=1; b=2\r\nCookie: c=3\r\n\r\n");
  EXPECT_EQ(host, "example");
  EXPECT_EQ(port, 8123);
  EXPECT_EQ(remote, "127.0.0.1");
  EXPECT_EQ(bad_int, -1);
  EXPECT_EQ(cookie_fields, "a=1;b=2;c=3;");
  Reply(b, "GET / HTTP/1.1\r\nHost: example\r\n\r\n");
  EXPECT_EQ(port, 80);  // the memory connection's local port
}

TEST(WebBridge, SendResponseDefaultsToHtmlUtf8AndCopiesCustomHeaders) {
  BridgeFixture b([](TWebRequest&, TWebResponse& r, bool& handled) {
    r.SetContent("caf\xC3\xA9");
    r.SetCustomHeader("X-One", "1");
    r.SetCustomHeader("X-Empty", "");
    r.SetCustomHeader("Server", "TornioMVC");
    handled = true;
  });
  EXPECT_EQ(Reply(b, "GET / HTTP/1.0\r\n\r\n"),
            "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n"
            "Content-Length: 5\r\nDate: *\r\nX-One: 1\r\nServer: TornioMVC\r\n\r\ncaf\xC3\xA9");
}

TEST(WebBridge, ReasonStringFollowsTheLastWrite) {
  auto status_line = [](bool reason_last) {
    BridgeFixture b([reason_last](TWebRequest&, TWebResponse& r, bool& handled) {
      if (reason_last) {
        r.SetStatusCode(404);
        r.SetReasonString("Missing");
      } else {
        r.SetReasonString("Missing");
        r.SetStatusCode(404);
      }
      handled = true;
    });
    std::string reply = Reply(b, "GET / HTTP/1.0\r\n\r\n");
    return reply.substr(0, reply.find("\r\n"));
  };
  EXPECT_EQ(status_line(true), "HTTP/1.1 404 Missing");
  EXPECT_EQ(status_line(false), "HTTP/1.1 404 Not Found");
}

TEST(WebBridge, UnhandledUnsentReplyComesFromTheRecordWithoutCustomHeaders) {
  BridgeFixture b([](TWebRequest&, TWebResponse& r, bool&) {
    r.SetStatusCode(202);
    r.SetContentType("application/json;charset=utf-8");
    r.SetContent("{}");
    r.SetCustomHeader("X-Lost", "1");
  });
  EXPECT_EQ(Reply(b, "GET / HTTP/1.0\r\n\r\n"),
            "HTTP/1.1 202 Accepted\r\nConnection: close\r\nContent-Type: application/json; charset=utf-8\r\n"
            "Content-Length: 2\r\nDate: *\r\n\r\n{}");
}

TEST(WebBridge, UnsentStreamOutlivesTheWebResponse) {
  BridgeFixture b([](TWebRequest&, TWebResponse& r, bool&) {
    r.SetContentType("application/octet-stream");
    r.SetContentStream(std::make_unique<TMemoryStream>("bytes"));
  });
  std::string reply = Reply(b, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_NE(reply.find("Content-Length: 5\r\n"), std::string::npos);
  EXPECT_EQ(BodyOf(reply), "bytes");
}

TEST(WebBridge, RedirectIsWrittenByTheServerWithItsDefaultPage) {
  BridgeFixture b([](TWebRequest&, TWebResponse& r, bool& handled) {
    r.SendRedirect("/elsewhere");
    handled = true;
  });
  std::string reply = Reply(b, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(reply.rfind("HTTP/1.1 302 Moved Temporarily\r\n", 0), 0u);
  EXPECT_NE(reply.find("\r\nLocation: /elsewhere\r\n"), std::string::npos);
  EXPECT_EQ(BodyOf(reply), "<HTML><BODY><B>302 Moved Temporarily</B></BODY></HTML>");
}

TEST(WebBridge, ErrorInDispatchGivesTheEscapedErrorPage) {
  BridgeFixture b([](TWebRequest&, TWebResponse&, bool&) { throw EConvertError("m <b>&\"'"); });
  std::string reply = Reply(b, "GET /p%3Cscript%3E HTTP/1.0\r\n\r\n");
  EXPECT_EQ(reply.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u);
  EXPECT_NE(reply.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
  EXPECT_EQ(BodyOf(reply),
            "<html><body><h1>Internal Application Error</h1>\r\n<p>m &lt;b&gt;&amp;&quot;'\r\n"
            "<p><hr width=\"100%\"><i>/p&lt;script&gt;</i></body></html>");
  EXPECT_EQ(b.handler.InactiveCount(), 1);  // the module went back to the pool
}

TEST(WebBridge, ModuleCreationFailureIsReportedAndTheModuleStillServes) {
  struct Failing : TWebModule {
    void DoCreate() override { throw EConvertError("no engine"); }
  };
  BridgeFixture b;
  b.handler.SetWebModuleClass([] { return std::make_unique<Failing>(); });
  ::testing::internal::CaptureStderr();
  std::string reply = Reply(b, "GET / HTTP/1.0\r\n\r\n");
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Exception EConvertError in module "), std::string::npos);
  EXPECT_NE(err.find(".\r\nno engine.\r\n\r\n"), std::string::npos);
  EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_EQ(b.handler.InactiveCount(), 1);
}

TEST(WebBridge, PoolErrorsAre500FromTheServer) {
  BridgeFixture none;
  none.handler.SetWebModuleClass(nullptr);
  const std::string message = kNoDataModulesRegistered;
  EXPECT_EQ(Reply(none, "GET / HTTP/1.0\r\n\r\n"),
            "HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n"
            "Content-Length: " +
                std::to_string(message.size()) + "\r\nDate: *\r\n\r\n" + message);
}

TEST(WebBridge, PoolReusesModulesAndEnforcesTheLimit) {
  std::mutex m;
  std::condition_variable cv;
  int inside = 0;
  bool release = false;
  BridgeFixture b([&](TWebRequest& r, TWebResponse&, bool&) {
    if (r.PathInfo() != "/wait") return;
    std::unique_lock<std::mutex> lock(m);
    ++inside;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  });
  TTestWebModule::created = 0;
  Reply(b, "GET / HTTP/1.0\r\n\r\n");
  Reply(b, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(TTestWebModule::created, 1);
  EXPECT_EQ(b.handler.InactiveCount(), 1);

  // Two at once need two modules; with a limit of 2 a third is refused meanwhile.
  b.handler.SetMaxConnections(2);
  std::thread t1([&] { Reply(b, "GET /wait HTTP/1.0\r\n\r\n"); });
  std::thread t2([&] { Reply(b, "GET /wait HTTP/1.0\r\n\r\n"); });
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return inside == 2; });
  }
  EXPECT_EQ(b.handler.ActiveCount(), 2);
  std::string refused = Reply(b, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(refused.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u);
  EXPECT_EQ(BodyOf(refused), "Maximum number of concurrent connections exceeded.  Please try again later");
  {
    std::lock_guard<std::mutex> lock(m);
    release = true;
  }
  cv.notify_all();
  t1.join();
  t2.join();
  EXPECT_EQ(TTestWebModule::created, 2);
  EXPECT_EQ(b.handler.ActiveCount(), 0);
  EXPECT_EQ(b.handler.InactiveCount(), 2);
  EXPECT_EQ(Reply(b, "GET / HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 200 OK", 0), 0u);

  b.handler.SetCacheConnections(false);  // drops the kept modules
  EXPECT_EQ(b.handler.InactiveCount(), 0);
  Reply(b, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(b.handler.InactiveCount(), 0);
}

TEST(WebBridge, ModuleActionsAndAfterDispatch) {
  struct WithActions : TWebModule {
    WithActions() {
      TWebActionItem item;
      item.PathInfo = "/act*";
      item.MethodType = TMethodType::mtGet;
      item.OnAction = [](TCustomWebDispatcher&, TWebRequest&, TWebResponse& r, bool&) { r.SetContent("action"); };
      Actions().push_back(item);
      TWebActionItem fallback;
      fallback.Default = true;
      fallback.OnAction = [](TCustomWebDispatcher&, TWebRequest&, TWebResponse& r, bool&) { r.SetContent("default"); };
      Actions().push_back(fallback);
      SetAfterDispatch(
          [](TCustomWebDispatcher&, TWebRequest&, TWebResponse& r, bool&) { r.SetCustomHeader("X-After", "1"); });
    }
  };
  BridgeFixture b;
  b.handler.SetWebModuleClass([] { return std::make_unique<WithActions>(); });
  std::string hit = Reply(b, "GET /ACTION HTTP/1.0\r\n\r\n");
  EXPECT_EQ(BodyOf(hit), "action");
  EXPECT_NE(hit.find("X-After: 1\r\n"), std::string::npos);
  EXPECT_EQ(BodyOf(Reply(b, "POST /action HTTP/1.0\r\nContent-Length: 0\r\n\r\n")), "default");
}

TEST(WebBridge, ProcessWideHandlerIsOneObject) {
  EXPECT_EQ(&TWebRequestHandler(), &TWebRequestHandler());
  EXPECT_EQ(TWebRequestHandler().MaxConnections(), 32);
  EXPECT_TRUE(TWebRequestHandler().CacheConnections());
}

}  // namespace
}  // namespace ostrivan::http

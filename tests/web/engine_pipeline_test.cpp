#include <gtest/gtest.h>

#include "engine_support.h"
#include "http/web_request_handler.h"
#include "web/engine.h"
#include "web/mvc_controller.h"
#include "web/mvc_exceptions.h"
#include "web/serializer_json.h"

namespace ostrivan::web {

using json::MVCProperty;
using json::TMVCClassInfo;
using json::TObject;
namespace {

using testing::FakeModule;
using testing::FakeWebRequest;
using testing::FakeWebResponse;
using testing::Serve;

// A mapped reply with one text member.
class TEcho : public TObject {
 public:
  std::string FText;
  static const TMVCClassInfo& StaticClassInfo() {
    static const TMVCClassInfo info =
        TMVCClassInfo::Make<TEcho>("TEcho", nullptr, {MVCProperty("Text", &TEcho::FText)});
    return info;
  }
  const TMVCClassInfo* ClassInfo() const override { return &StaticClassInfo(); }
};

// Records the hooks and what still exists when the reply goes out.
std::vector<std::string>& Events() {
  static std::vector<std::string> events;
  return events;
}
bool g_controller_alive = false;

class TProbeController : public TMVCController {
 public:
  TProbeController() { g_controller_alive = true; }
  ~TProbeController() override {
    g_controller_alive = false;
    Events().push_back("destroyed");
  }
  void ControllerCreated() override { Events().push_back("created:" + ContentType()); }
  void ControllerReleasing() override { Events().push_back("releasing"); }
  void ActionStarting(TWebContext& context, const std::string& name, bool& handled) override {
    TMVCController::ActionStarting(context, name, handled);
    Events().push_back("starting:" + name);
    handled = context.Request().GetHeader("X-Skip") == "1";
  }
  void ActionFinished(TWebContext&, const std::string& name) override { Events().push_back("finished:" + name); }

  void Echo() {
    Events().push_back("action");
    auto in = GetContext().Request().ReadBodyObject<TEcho>();
    auto out = std::make_unique<TEcho>();
    out->FText = in->FText + "!";
    Render(std::move(out));
  }
  void Fail() {
    Events().push_back("action");
    throw EMVCException(409, "busy");
  }
  void Crash() { throw std::runtime_error("boom"); }
  void Text() { Render(std::string("caff\xC3\xA8")); }
  // Stands for a job that waited for its directory: a stop by then abandons it.
  void Waited() {
    Events().push_back("action");
    if (GetContext().StopToken().stop_requested()) {
      GetContext().Abandon();
      return;
    }
    Render(std::string("done"));
  }

  static const TMVCControllerClass& ClassInfo() {
    static const TMVCControllerClass info{
        "Test.Probe",
        "TProbeController",
        {MVCPath("/probe")},
        {
            {"Echo",
             {MVCPath("/echo"), MVCHTTPMethods({httpPOST}), MVCProduces("application/json")},
             [](TMVCController& c) { static_cast<TProbeController&>(c).Echo(); }},
            {"Fail", {MVCPath("/fail")}, [](TMVCController& c) { static_cast<TProbeController&>(c).Fail(); }},
            {"Crash", {MVCPath("/crash")}, [](TMVCController& c) { static_cast<TProbeController&>(c).Crash(); }},
            {"Text",
             {MVCPath("/text"), MVCProduces("text/plain", "UTF-8")},
             [](TMVCController& c) { static_cast<TProbeController&>(c).Text(); }},
            {"Waited",
             {MVCPath("/waited"), MVCProduces("text/plain", "UTF-8")},
             [](TMVCController& c) { static_cast<TProbeController&>(c).Waited(); }},
        },
        nullptr,
        [] { return std::unique_ptr<TMVCController>(std::make_unique<TProbeController>()); }};
    return info;
  }
};

class EnginePipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    Events().clear();
    engine_ = std::make_unique<TMVCEngine>(
        module_, [](TMVCConfig& config) { config.SetValue(config_keys::kSessionTimeout, "0"); });
    engine_->AddController(&TProbeController::ClassInfo());
    engine_->AddSerializer("application/json", std::make_shared<TMVCJsonSerializer>());
  }

  struct Result {
    bool handled;
    testing::SentReply reply;
    int send_count;
  };
  Result Run(FakeWebRequest& request) {
    FakeWebResponse response(&request);
    bool handled = Serve(module_, request, response);
    return {handled, response.sent, response.send_count};
  }
  static std::string HeaderValue(const testing::SentReply& reply, const std::string& name) {
    for (const auto& [n, v] : reply.custom_headers) {
      if (n == name) return v;
    }
    return "<absent>";
  }

  FakeModule module_;
  std::unique_ptr<TMVCEngine> engine_;
};

TEST_F(EnginePipeline, CreationDefaultsCustomValuesAndRegistrations) {
  const std::vector<std::string> expected_keys = {"sessiontimeout",
                                                  "default_content_type",
                                                  "default_content_charset",
                                                  "default_view_file_extension",
                                                  "view_path",
                                                  "pathprefix",
                                                  "allow_unhandled_action",
                                                  "server_name",
                                                  "server_signature",
                                                  "xpoweredby",
                                                  "session_type",
                                                  "max_entities_record_count",
                                                  "max_request_size",
                                                  "hateos",
                                                  "load_system_controllers"};
  EXPECT_EQ(engine_->Config().Keys(), expected_keys);
  EXPECT_EQ(engine_->Config().GetValue("sessiontimeout"), "0");
  EXPECT_EQ(engine_->Config().GetValue("server_name"), "TornioMVC");
  EXPECT_EQ(engine_->Config().GetValue("max_request_size"), "5242880");
  EXPECT_TRUE(engine_->Config().Frozen());
  ASSERT_EQ(engine_->Controllers().size(), 2u);
  EXPECT_EQ(engine_->Controllers()[0]->Clazz->QualifiedClassName(), "TornioMVC.SysControllers.TMVCSystemController");
  EXPECT_EQ(engine_->Serializers().size(), 2u);
  EXPECT_TRUE(engine_->Serializers().contains("text/html"));
  EXPECT_NE(dynamic_cast<TMVCJsonSerializer*>(engine_->Serializers().at("application/json").get()), nullptr);
}

// The engine writes nothing process-wide: the pool limit is the host's business.
TEST(EngineCreation, LeavesThePoolLimitAndReadsRequestSize) {
  http::TWebRequestHandler().SetMaxConnections(1024);
  struct Case {
    const char* text;
    std::int64_t expected;
  };
  const Case cases[] = {{"5242880", 5242880},
                        {"100", 100},
                        {"abc", 5242880},
                        {"", 5242880},
                        {"12x", 5242880},
                        {"-1", -1},
                        {"9223372036854775807", INT64_MAX},
                        {"9223372036854775808", 5242880}};
  for (const auto& c : cases) {
    FakeModule module;
    TMVCEngine engine(module, [&](TMVCConfig& config) { config.SetValue("max_request_size", c.text); });
    EXPECT_EQ(engine.MaxRequestSize(), c.expected) << c.text;
    EXPECT_EQ(http::TWebRequestHandler().MaxConnections(), 1024);
  }
  FakeModule module;
  TMVCEngine no_system(module, [](TMVCConfig& config) { config.SetValue("load_system_controllers", "True"); });
  EXPECT_TRUE(no_system.Controllers().empty());  // only exactly "true" loads them
  EXPECT_THROW(TMVCEngine(module, [](TMVCConfig& config) { config.GetValue("nope"); }), EMVCConfigException);
}

TEST_F(EnginePipeline, RoutedRequestRunsHooksInOrderAndSendsOnceAfterRelease) {
  FakeWebRequest request("POST", "/probe/echo", R"({"Text":"hi"})");
  request.Header("Accept", "application/json").Header("Content-Type", "application/json");
  FakeWebResponse response(&request);
  bool controller_alive_at_send = true;
  response.on_send = [&] { controller_alive_at_send = g_controller_alive; };
  Serve(module_, request, response);
  EXPECT_EQ(response.send_count, 1);
  EXPECT_FALSE(controller_alive_at_send);
  EXPECT_EQ(response.sent.status, 200);
  EXPECT_EQ(response.sent.content_type, "application/json;charset=utf-8");
  EXPECT_EQ(response.sent.body, R"({"Text":"hi!"})");
  EXPECT_EQ(HeaderValue(response.sent, "Server"), "TornioMVC");
  EXPECT_EQ(HeaderValue(response.sent, "X-Powered-By"), "TornioMVC 1.0.0");
  EXPECT_TRUE(response.sent.has_date);
  EXPECT_EQ(Events(), (std::vector<std::string>{"created:application/json", "starting:Echo", "action", "finished:Echo",
                                                "releasing", "destroyed"}));
}

// The stop reaches the action through its context; an action that abandons the request
// leaves it unanswered: the module's dispatch sends nothing and reports it abandoned,
// which the server turns into a closed connection. Without a stop the same action
// answers.
TEST_F(EnginePipeline, AbandonedActionSendsNothingAndSaysSo) {
  for (const bool stop : {true, false}) {
    Events().clear();
    std::stop_source source;
    if (stop) source.request_stop();
    FakeWebRequest request("GET", "/probe/waited");
    request.Header("Accept", "text/plain");
    request.stop_token = source.get_token();
    FakeWebResponse response(&request);
    const bool handled = module_.DispatchAction(request, response);
    EXPECT_EQ(response.Abandoned(), stop);
    EXPECT_EQ(response.send_count, stop ? 0 : 1);
    EXPECT_TRUE(handled);  // answered, or given up: either way no other action is tried
    EXPECT_EQ(response.sent.body, stop ? "" : "done");
    EXPECT_EQ(Events(), (std::vector<std::string>{"created:application/json", "starting:Waited", "action",
                                                  "finished:Waited", "releasing", "destroyed"}))
        << stop;
  }
}

TEST_F(EnginePipeline, HandledActionIsSkippedAndFailingActionStillFinishes) {
  FakeWebRequest skip("POST", "/probe/echo", "{}");
  skip.Header("Accept", "*/*").Header("X-Skip", "1");
  Result r = Run(skip);
  EXPECT_EQ(r.reply.status, 200);
  EXPECT_EQ(r.reply.body, "");
  EXPECT_EQ(Events(),
            (std::vector<std::string>{"created:application/json", "starting:Echo", "releasing", "destroyed"}));

  Events().clear();
  FakeWebRequest fail("GET", "/probe/fail");
  r = Run(fail);
  EXPECT_EQ(Events(), (std::vector<std::string>{"created:application/json", "starting:Fail", "action", "finished:Fail",
                                                "releasing", "destroyed"}));
  EXPECT_EQ(r.send_count, 1);
  EXPECT_EQ(r.reply.status, 409);
  EXPECT_EQ(r.reply.content_type, "application/json;charset=utf-8");
  EXPECT_EQ(r.reply.body,
            R"({"classname":"EMVCException","detailedmessage":"","apperrorcode":0,"items":[],"statuscode":409,)"
            R"("reasonstring":"error","message":"busy","data":null})");
}

TEST_F(EnginePipeline, ForeignFailureBecomes500WithItsClassName) {
  FakeWebRequest crash("GET", "/probe/crash");
  Result r = Run(crash);
  EXPECT_EQ(r.reply.status, 500);
  EXPECT_EQ(r.reply.reason, "Internal Server Error");
  EXPECT_NE(r.reply.body.find(R"("classname":"Exception")"), std::string::npos) << r.reply.body;
  EXPECT_NE(r.reply.body.find(R"("message":"boom")"), std::string::npos);
}

TEST_F(EnginePipeline, RenderedTextIsUtf8WithoutBomInTheRouteMediaType) {
  FakeWebRequest request("GET", "/probe/text");
  request.Header("Accept", "text/plain");
  Result r = Run(request);
  EXPECT_EQ(r.reply.content_type, "text/plain;charset=utf-8");
  EXPECT_EQ(r.reply.body, "caff\xC3\xA8");
}

TEST_F(EnginePipeline, SizeChecksAnswerBeforeTheContextExists) {
  struct Case {
    long long length;
    int status;
  };
  for (const Case c : {Case{5242880, 200}, Case{5242881, 413}}) {
    FakeWebRequest request("POST", "/nowhere/at/all", "");
    request.forced_content_length = c.length;
    request.Header("Accept", "*/*");
    Result r = Run(request);
    if (c.status == 413) {
      EXPECT_TRUE(r.handled);
      EXPECT_EQ(r.reply.status, 413);
      EXPECT_EQ(r.reply.body, "Request size exceeded the max allowed size [5120 KiB] (1)");
      EXPECT_EQ(r.reply.content_type, "");
      EXPECT_TRUE(r.reply.custom_headers.empty());
    } else {
      EXPECT_EQ(r.reply.status, 404);  // passed the size check, then found no route
      EXPECT_EQ(HeaderValue(r.reply, "Server"), "TornioMVC");
    }
    EXPECT_EQ(r.send_count, 1);
  }
}

TEST_F(EnginePipeline, ServerRefusalOfAnOversizedBodyIsTheEngines) {
  // What an HTTP server that refuses the body before reading it sends and logs.
  const http::TBodyRefusal refusal = OversizedBodyRefusal(kDefaultMaxRequestSize);
  EXPECT_EQ(refusal.status, 413);
  EXPECT_EQ(refusal.text, "Request size exceeded the max allowed size [5120 KiB] (1)");
  EXPECT_EQ(refusal.log_line, "[EMVCException] " + refusal.text);
  EXPECT_EQ(OversizedBodyRefusal(2048).text, "Request size exceeded the max allowed size [2 KiB] (1)");
  // The engine's own refusal of the same body reads the same.
  FakeWebRequest request("POST", "/nowhere", "");
  request.forced_content_length = kDefaultMaxRequestSize + 1;
  Result r = Run(request);
  EXPECT_EQ(r.reply.status, refusal.status);
  EXPECT_EQ(r.reply.body, refusal.text);
}

TEST_F(EnginePipeline, RawErrorRepliesFollowAccept) {
  struct Case {
    const char* method;
    const char* accept;
    const char* content_type;
    std::string body_start;
  };
  const std::string not_found = "[EMVCException] Not Found";
  const Case cases[] = {
      {"POST", "application/json", "application/json;charset=utf-8",
       R"({"classname":"EMVCException","detailedmessage":"","apperrorcode":0,"items":[],"statuscode":404,)"
       R"("reasonstring":"","message":"[EMVCException] Not Found","data":null})"},
      {"POST", "*/*", "text/plain;charset=utf-8", "TornioMVC\r\nHTTP 404: [EMVCException] Not Found"},
      {"POST", "", "text/plain;charset=utf-8", "TornioMVC\r\nHTTP 404: [EMVCException] Not Found"},
      {"POST", "text/html,application/xhtml+xml", "text/html;charset=utf-8",
       "<!DOCTYPE html><html><head><title>TornioMVC Exception</title>"},
  };
  for (const auto& c : cases) {
    FakeWebRequest request(c.method, "/RizOzudo/Unknown");
    if (*c.accept) request.Header("Accept", c.accept);
    Result r = Run(request);
    EXPECT_EQ(r.reply.status, 404) << c.accept;
    EXPECT_EQ(r.reply.reason, not_found) << c.accept;
    EXPECT_EQ(r.reply.content_type, c.content_type) << c.accept;
    EXPECT_EQ(r.reply.body.substr(0, c.body_start.size()), c.body_start) << c.accept;
    EXPECT_EQ(HeaderValue(r.reply, "Server"), "TornioMVC");
  }
  FakeWebRequest html("GET", "/x");
  html.Header("Accept", "text/html");
  std::string page = Run(html).reply.body;
  EXPECT_NE(page.find("<p>HTTP 404</p><p>[EMVCException] Not Found</p>"), std::string::npos);
  EXPECT_NE(page.find("Exception Class Name: EMVCException"), std::string::npos);

  FakeWebRequest propfind("PROPFIND", "/probe/echo");
  propfind.Header("Accept", "*/*");
  Result r = Run(propfind);
  EXPECT_EQ(r.reply.status, 500);
  EXPECT_EQ(r.reply.reason, "[EMVCException] Unknown HTTP method [PROPFIND]");
  EXPECT_EQ(r.reply.body, "TornioMVC\r\nHTTP 500: [EMVCException] Unknown HTTP method [PROPFIND]");
}

TEST_F(EnginePipeline, RequestBodyMediaTypeAndCharset) {
  struct Case {
    const char* content_type;
    std::string body;
    int status;
    std::string body_part;
  };
  static constexpr char kUtf16[] = "{\0\"\0T\0e\0x\0t\0\"\0:\0\"\0\xE8\0\"\0}\0";
  const std::string utf16_body(kUtf16, sizeof kUtf16 - 1);
  const Case cases[] = {
      {"", R"({"Text":"a"})", 200, R"({"Text":"a!"})"},
      {"application/json; charset=UTF-8", R"({"Text":"a"})", 200, R"({"Text":"a!"})"},
      {"application/json; charset=ISO-8859-1", "{\"Text\":\"\xE8\"}", 200, "{\"Text\":\"\xC3\xA8!\"}"},
      {"application/json; charset=utf-16", utf16_body, 200, "{\"Text\":\"\xC3\xA8!\"}"},
      {"application/json; charset=cp1252", "{\"Text\":\"\x80\"}", 200, "{\"Text\":\"\xE2\x82\xAC!\"}"},
      {"Application/JSON", "{}", 500,
       R"("classname":"EMVCDeserializationException")"
       R"(,"detailedmessage":"","apperrorcode":0,"items":[],"statuscode":500,"reasonstring":"error",)"
       R"("message":"Body ContentType \"application/json;charset=utf-8\" not supported")"},
      {"application/json ;charset=utf-8", "{}", 500,
       R"("message":"Body ContentType \"application/json;charset=utf-8\" not supported")"},
      {"text/plain", "{}", 500, R"("message":"Body ContentType \"text/plain;charset=utf-8\" not supported")"},
      {"text/html", "{}", 500, R"("classname":"EMVCException")"},
      {"application/json; charset=klingon", "{}", 500,
       R"("classname":"EEncodingError","detailedmessage":"","apperrorcode":0,"items":[],"statuscode":500,)"
       R"("reasonstring":"error","message":"Invalid encoding name")"},
  };
  for (const auto& c : cases) {
    FakeWebRequest request("POST", "/probe/echo", c.body);
    request.Header("Accept", "application/json");
    if (*c.content_type) request.Header("Content-Type", c.content_type);
    Result r = Run(request);
    EXPECT_EQ(r.reply.status, c.status) << c.content_type;
    EXPECT_NE(r.reply.body.find(c.body_part), std::string::npos) << c.content_type << " -> " << r.reply.body;
    if (c.status == 500) {
      EXPECT_EQ(r.reply.reason, "Internal Server Error") << c.content_type;
    }
  }
}

TEST_F(EnginePipeline, SystemEndpointsServeLocalCallersOnly) {
  struct Case {
    const char* remote;
    const char* client_ip_header;
    int status;
  };
  const Case cases[] = {{"127.0.0.1", "", 200},
                        {"::1", "", 200},
                        {"10.0.0.5", "", 403},
                        {"10.0.0.5", "127.0.0.1", 403},
                        {"::ffff:127.0.0.1", "", 403}};
  for (const auto& c : cases) {
    FakeWebRequest request("GET", "/system/serverconfig.info");
    request.remote_ip = c.remote;
    if (*c.client_ip_header) request.Header("HTTP_CLIENT_IP", c.client_ip_header);
    Result r = Run(request);
    EXPECT_EQ(r.reply.status, c.status) << c.remote;
    if (c.status == 200) {
      EXPECT_NE(r.reply.body.find(R"("sessiontimeout":"0")"), std::string::npos);
      EXPECT_NE(r.reply.body.find(R"("server_name":"TornioMVC")"), std::string::npos);
    } else {
      EXPECT_EQ(r.reply.body, "");
    }
  }
}

TEST(MVCWebRequest, ClientIpPrefersForwardingHeadersInOrder) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> headers;
    const char* remote;
    const char* expected;
  };
  const Case cases[] = {
      {{}, "192.0.2.1", "192.0.2.1"},
      {{{"HTTP_CLIENT_IP", "10.1.2.3"}, {"HTTP_X_FORWARDED_FOR", "10.9.9.9"}}, "192.0.2.1", "10.1.2.3"},
      {{{"HTTP_X_FORWARDED_FOR", " , ,  10.4.4.4 , 10.5.5.5"}}, "192.0.2.1", "10.4.4.4"},
      {{{"HTTP_X_FORWARDED_FOR", " , "}, {"HTTP_X_FORWARDED", "10.6.6.6"}}, "192.0.2.1", "10.6.6.6"},
      {{{"HTTP_FORWARDED", "10.7.7.7"}, {"HTTP_X_CLUSTER_CLIENT_IP", "10.8.8.8"}}, "192.0.2.1", "10.8.8.8"},
      {{{"REMOTE_ADDR", "10.3.3.3"}, {"HTTP_FORWARDED_FOR", "10.2.2.2"}}, "192.0.2.1", "10.2.2.2"},
      {{{"REMOTE_ADDR", "10.3.3.3"}}, "192.0.2.1", "10.3.3.3"},
      {{}, "", ""},
  };
  TMVCSerializers serializers;
  for (const auto& c : cases) {
    FakeWebRequest raw("GET", "/");
    raw.headers = c.headers;
    raw.remote_ip = c.remote;
    TMVCWebRequest request(raw, serializers);
    EXPECT_EQ(request.ClientIp(), c.expected);
  }
}

TEST(MVCWebRequest, ContentTypeAcceptAndSummary) {
  TMVCSerializers serializers;
  FakeWebRequest raw("POST", "/a/b");
  raw.query = "x=1";
  raw.Header("Content-Type", "Text/Plain; CHARSET=Latin1").Header("Accept", "Text/HTML, application/json");
  TMVCWebRequest request(raw, serializers);
  EXPECT_EQ(request.ContentMediaType(), "Text/Plain");
  EXPECT_EQ(request.ContentCharset(), "Latin1");
  EXPECT_EQ(request.ContentType(), "text/plain;charset=latin1");
  EXPECT_EQ(request.BestAccept(), "Text/HTML");
  EXPECT_TRUE(request.ClientPreferHTML());
  EXPECT_FALSE(request.ClientPrefer("application/json"));
  EXPECT_EQ(RequestSummary(request), "POST /a/b?x=1");

  FakeWebRequest bare("GET", "/");
  TMVCWebRequest plain(bare, serializers);
  EXPECT_EQ(plain.ContentType(), "application/json;charset=utf-8");
  EXPECT_EQ(RequestSummary(plain), "GET /");
  EXPECT_EQ(plain.BestAccept(), "");
}

}  // namespace
}  // namespace ostrivan::web

// The engine's error replies end to end in memory: the raw reply chosen by "Accept",
// the controller's reply for failures of an action, and the plain fallback when an
// error reply cannot be written.
#include <gtest/gtest.h>

#include <stdexcept>

#include "engine_support.h"
#include "web/engine.h"
#include "web/error_guard.h"
#include "web/mvc_controller.h"
#include "web/mvc_exceptions.h"
#include "web/serializer_json.h"

namespace ostrivan::web {

using json::TObject;
namespace {

using testing::FakeModule;
using testing::FakeWebRequest;
using testing::FakeWebResponse;
using testing::Serve;

class TFailingController : public TMVCController {
 public:
  void Detailed() { throw EMVCException("conflict \"x\"", "GET /probe/detailed", 42, 409, {{"one", "<two>"}}); }
  void InvalidOp() { throw EInvalidOp("Invalid floating point operation"); }
  void Foreign() { throw std::runtime_error("boom"); }
  // An action that answers a failure itself, adding its own items.
  void Extra() {
    if (GetContext().Request().GetHeader("X-Status") == "202") SetStatusCode(202);
    const std::vector<std::string> extra = {"extra 1", "extra 2"};
    Render(EMVCException("with items", "", 0, 400, {{"own"}}), &extra);
  }
  void ExtraForeign() {
    if (GetContext().Request().GetHeader("X-Status") == "202") SetStatusCode(202);
    Render(std::runtime_error("plain"));
  }
  void Ok() { Render(std::string("fine")); }

  static const TMVCControllerClass& ClassInfo() {
    static const TMVCControllerClass info{
        "Test.Failing",
        "TFailingController",
        {MVCPath("/probe")},
        {
            {"Detailed",
             {MVCPath("/detailed")},
             [](TMVCController& c) { static_cast<TFailingController&>(c).Detailed(); }},
            {"InvalidOp",
             {MVCPath("/invalidop")},
             [](TMVCController& c) { static_cast<TFailingController&>(c).InvalidOp(); }},
            {"HtmlFail",
             {MVCPath("/htmlfail"), MVCProduces("text/html")},
             [](TMVCController& c) { static_cast<TFailingController&>(c).Detailed(); }},
            {"PlainFail",
             {MVCPath("/plainfail"), MVCProduces("text/plain")},
             [](TMVCController& c) { static_cast<TFailingController&>(c).Foreign(); }},
            {"BrokenFail",
             {MVCPath("/brokenfail"), MVCProduces("application/x-broken")},
             [](TMVCController& c) { static_cast<TFailingController&>(c).Foreign(); }},
            {"Extra", {MVCPath("/extra")}, [](TMVCController& c) { static_cast<TFailingController&>(c).Extra(); }},
            {"ExtraForeign",
             {MVCPath("/extraforeign")},
             [](TMVCController& c) { static_cast<TFailingController&>(c).ExtraForeign(); }},
            {"Ok",
             {MVCPath("/ok"), MVCProduces("text/plain")},
             [](TMVCController& c) { static_cast<TFailingController&>(c).Ok(); }},
        },
        nullptr,
        [] { return std::unique_ptr<TMVCController>(std::make_unique<TFailingController>()); }};
    return info;
  }
};

// A serializer whose writing always fails, to break an error reply on purpose.
class TBrokenSerializer : public IMVCSerializer {
 public:
  std::string SerializeObject(const TObject*, TMVCSerializationType, const std::vector<std::string>&,
                              const TMVCSerializationAction&) override {
    throw std::runtime_error("writer broke");
  }
  void DeserializeObject(std::string_view, TObject*, TMVCSerializationType, const std::vector<std::string>&,
                         std::string_view) override {}
  void RegisterTypeSerializer(std::type_index, const std::string&, std::shared_ptr<IMVCTypeSerializer>) override {}
};

const char* const kStylePrefix = "<!DOCTYPE html><html><head><title>TornioMVC Exception</title><style>body{";

class ErrorReplies : public ::testing::Test {
 protected:
  void SetUp() override { Build(nullptr); }

  void Build(TMVCEngine::TConfigAction config_action) {
    engine_.reset();
    engine_ = std::make_unique<TMVCEngine>(module_, std::move(config_action));
    engine_->AddController(&TFailingController::ClassInfo());
    engine_->AddSerializer("application/json", std::make_shared<TMVCJsonSerializer>());
    engine_->AddSerializer("application/x-broken", std::make_shared<TBrokenSerializer>());
  }

  testing::SentReply Run(const std::string& method, const std::string& path, const std::string& accept,
                         std::vector<std::pair<std::string, std::string>> headers = {}) {
    FakeWebRequest request(method, path);
    if (!accept.empty()) request.Header("Accept", accept);
    for (auto& [name, value] : headers) request.Header(name, value);
    FakeWebResponse response(&request);
    Serve(module_, request, response);
    EXPECT_EQ(response.send_count, 1) << path;
    return response.sent;
  }

  FakeModule module_;
  std::unique_ptr<TMVCEngine> engine_;
};

TEST_F(ErrorReplies, RawReplyFormatFollowsAccept) {
  const std::string json_404 =
      R"({"classname":"EMVCException","detailedmessage":"","apperrorcode":0,"items":[],"statuscode":404,)"
      R"("reasonstring":"","message":"[EMVCException] Not Found","data":null})";
  const std::string text_404 = "TornioMVC\r\nHTTP 404: [EMVCException] Not Found";
  struct Case {
    const char* accept;
    const char* content_type;
    std::string body;  // exact, or the page's start for HTML
  };
  const Case cases[] = {
      {"application/json", "application/json;charset=utf-8", json_404},
      {"APPLICATION/JSON; q=0.1", "application/json;charset=utf-8", json_404},
      {"application/jsonx", "application/json;charset=utf-8", json_404},  // a prefix is enough
      {"", "text/plain;charset=utf-8", text_404},
      {"*/*", "text/plain;charset=utf-8", text_404},
      {"text/plain, application/json", "text/plain;charset=utf-8", text_404},
      {" application/json", "text/plain;charset=utf-8", text_404},  // must begin with it
      {"text/html,application/xhtml+xml", "text/html;charset=utf-8", kStylePrefix},
      {"Text/HTML", "text/html;charset=utf-8", kStylePrefix},
  };
  for (const auto& c : cases) {
    testing::SentReply r = Run("POST", "/RizOzudo/Unknown", c.accept);
    EXPECT_EQ(r.status, 404) << c.accept;
    EXPECT_EQ(r.reason, "[EMVCException] Not Found") << c.accept;
    EXPECT_EQ(r.content_type, c.content_type) << c.accept;
    if (std::string(c.content_type).starts_with("text/html")) {
      EXPECT_TRUE(r.body.starts_with(c.body)) << c.accept;
    } else {
      EXPECT_EQ(r.body, c.body) << c.accept;
    }
  }
}

TEST_F(ErrorReplies, RawHtmlPageIsExact) {
  testing::SentReply r = Run("PROPFIND", "/probe/ok", "text/html");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.reason, "[EMVCException] Unknown HTTP method [PROPFIND]");
  const std::string tail =
      "</style></head><body><div class=\"container\"><h1>TornioMVC</h1><div class=\"error\"><p>HTTP 500</p>"
      "<p>[EMVCException] Unknown HTTP method [PROPFIND]</p></div>\r\n"
      "<div class=\"warning\">Exception Class Name: EMVCException</div>\r\n"
      "<div class=\"info\"><p></p>\r\n<p>Application Error Code: 0</p>\r\n<p>Error Items: <ul>\r\n"
      "<ul></p></div></div></body></html>";
  ASSERT_GT(r.body.size(), tail.size());
  EXPECT_TRUE(r.body.starts_with(kStylePrefix));
  EXPECT_EQ(r.body.substr(r.body.size() - tail.size()), tail);
}

TEST_F(ErrorReplies, RawReplyWithoutSerializerForTheDefaultTypeIsPlainText) {
  Build([](TMVCConfig& config) { config.SetValue(config_keys::kDefaultContentType, "application/xml"); });
  testing::SentReply r = Run("GET", "/nowhere", "application/xml");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.content_type, "text/plain;charset=utf-8");
  EXPECT_EQ(r.body, "TornioMVC\r\nHTTP 404: [EMVCException] Not Found");
}

TEST_F(ErrorReplies, ControllerReplyCarriesEveryFieldOfTheFailure) {
  struct Case {
    const char* path;
    int status;
    const char* reason;
    std::string body;
  };
  const Case cases[] = {
      {"/probe/detailed", 409, "Unknown",  // the fake HTTP layer's phrase for a code it does not know
       R"({"classname":"EMVCException","detailedmessage":"GET /probe/detailed","apperrorcode":42,)"
       R"("items":[{"message":"one"},{"message":"<two>"}],"statuscode":409,"reasonstring":"error",)"
       R"("message":"conflict \"x\"","data":null})"},
      {"/probe/invalidop", 500, "Internal Server Error",
       R"({"classname":"EInvalidOp","detailedmessage":"","apperrorcode":0,"items":[],"statuscode":500,)"
       R"("reasonstring":"error","message":"Invalid floating point operation","data":null})"},
      // A route of a media type without serializer answers in the default type.
      {"/probe/plainfail", 500, "Internal Server Error",
       R"({"classname":"Exception","detailedmessage":"","apperrorcode":0,"items":[],"statuscode":500,)"
       R"("reasonstring":"error","message":"boom","data":null})"},
  };
  for (const auto& c : cases) {
    testing::SentReply r = Run("GET", c.path, "*/*");
    EXPECT_EQ(r.status, c.status) << c.path;
    EXPECT_EQ(r.reason, c.reason) << c.path;
    EXPECT_EQ(r.content_type, "application/json;charset=utf-8") << c.path;
    EXPECT_EQ(r.body, c.body) << c.path;
  }
}

TEST_F(ErrorReplies, ControllerReplyGoesThroughTheSerializerOfTheReplyType) {
  // A text/html route writes the error page; a route without serializer takes the
  // client's first accepted type when that has one.
  for (const char* path : {"/probe/htmlfail", "/probe/plainfail"}) {
    testing::SentReply r = Run("GET", path, "text/html, */*");
    EXPECT_EQ(r.content_type, "text/html;charset=utf-8") << path;
    EXPECT_TRUE(r.body.starts_with(kStylePrefix)) << path;
  }
  testing::SentReply r = Run("GET", "/probe/htmlfail", "text/html");
  EXPECT_EQ(r.status, 409);
  EXPECT_NE(r.body.find("<p>HTTP 409</p><p>conflict &quot;x&quot;</p>"), std::string::npos);
  EXPECT_NE(r.body.find("<p>GET /probe/detailed</p>\r\n<p>Application Error Code: 42</p>"), std::string::npos);
  EXPECT_NE(r.body.find("<li>one</li><li>&lt;two&gt;</li><ul></p></div>"), std::string::npos);
}

TEST_F(ErrorReplies, ActionRenderingAFailureItself) {
  struct Case {
    const char* path;
    const char* preset_status;
    int status;
    std::string body;
  };
  const Case cases[] = {
      {"/probe/extra", "", 400,
       R"({"classname":"EMVCException","detailedmessage":"","apperrorcode":0,"items":[{"message":"own"},)"
       R"({"message":"extra 1"},{"message":"extra 2"}],"statuscode":400,"reasonstring":"error",)"
       R"("message":"with items","data":null})"},
      // A foreign failure turns only a 200 into 500; a status the action set stays.
      {"/probe/extraforeign", "", 500,
       R"({"classname":"Exception","detailedmessage":"","apperrorcode":0,"items":[],"statuscode":500,)"
       R"("reasonstring":"error","message":"plain","data":null})"},
      {"/probe/extraforeign", "202", 202,
       R"({"classname":"Exception","detailedmessage":"","apperrorcode":0,"items":[],"statuscode":202,)"
       R"("reasonstring":"error","message":"plain","data":null})"},
  };
  for (const auto& c : cases) {
    testing::SentReply r = Run("GET", c.path, "application/json", {{"X-Status", c.preset_status}});
    EXPECT_EQ(r.status, c.status) << c.path << c.preset_status;
    EXPECT_EQ(r.body, c.body) << c.path << c.preset_status;
  }
}

TEST_F(ErrorReplies, UnwritableErrorReplyFallsBackToPlainTextWithTheFailureStatus) {
  testing::SentReply r = Run("GET", "/probe/brokenfail", "application/x-broken");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.content_type, "text/plain;charset=utf-8");
  EXPECT_EQ(r.body, "TornioMVC\r\nHTTP 500: boom");

  engine_->AddSerializer("text/html", std::make_shared<TBrokenSerializer>());
  r = Run("GET", "/nowhere", "text/html");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.content_type, "text/plain;charset=utf-8");
  EXPECT_EQ(r.body, "TornioMVC\r\nHTTP 404: Not Found");
}

TEST_F(ErrorReplies, NextRequestIsServedNormally) {
  for (const char* path : {"/probe/detailed", "/nowhere", "/probe/brokenfail", "/probe/plainfail"}) {
    Run("GET", path, "*/*");
    testing::SentReply r = Run("GET", "/probe/ok", "*/*");
    EXPECT_EQ(r.status, 200) << "after " << path;
    EXPECT_EQ(r.reason, "OK") << "after " << path;
    EXPECT_EQ(r.body, "fine") << "after " << path;
    EXPECT_EQ(r.content_type, "text/plain;charset=utf-8") << "after " << path;
  }
}

}  // namespace
}  // namespace ostrivan::web

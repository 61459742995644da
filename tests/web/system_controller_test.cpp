// The built-in "/system" endpoints: the server description from the controllers'
// declaration tables, the platform, the settings, and who may ask.
#include <gtest/gtest.h>

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "engine_support.h"
#include "json/json_data_objects.h"
#include "web/engine.h"
#include "web/mvc_controller.h"
#include "web/serializer_json.h"
#include "web/system_controller.h"

namespace ostrivan::web {

using json::TJsonBaseObject;
using json::TJsonDataType;
using json::TJsonObject;
namespace {

using testing::FakeModule;
using testing::FakeWebRequest;
using testing::FakeWebResponse;
using testing::Serve;

void Nothing(TMVCController&) {}

class TBaseProbe : public TMVCController {
 public:
  static const TMVCControllerClass& ClassInfo() {
    static const TMVCControllerClass info{
        "Test.Base", "TBaseProbe", {}, {{"Inherited", {MVCPath("/inh"), MVCDoc("from the base")}, &Nothing}},
        nullptr,     nullptr};
    return info;
  }
};

// Declarations of every kind, repeated ones, and actions without any.
class TDescribedProbe : public TBaseProbe {
 public:
  static const TMVCControllerClass& ClassInfo() {
    static const TMVCControllerClass info{
        "Test.Described",
        "TDescribedProbe",
        {MVCDoc("first doc"), MVCPath("/described"), MVCDoc("second \"doc\""), MVCPath("/again")},
        {
            {"Full",
             {MVCPath("/a"), MVCConsumes("application/xml"), MVCProduces("text/plain", "ISO-8859-1"),
              MVCHTTPMethods({httpTRACE, httpGET, httpPUT}), MVCDoc("full"), MVCPath("/b")},
             &Nothing},
            {"Undeclared", {}, &Nothing},
            {"DocOnly", {MVCDoc("only doc")}, &Nothing},
            {"EmptySet", {MVCHTTPMethods({httpPOST}), MVCHTTPMethods({})}, &Nothing},
        },
        &TBaseProbe::ClassInfo(),
        nullptr};
    return info;
  }
};

class TBareProbe : public TMVCController {
 public:
  static const TMVCControllerClass& ClassInfo() {
    static const TMVCControllerClass info{"", "TBareProbe", {}, {}, nullptr, nullptr};
    return info;
  }
};

constexpr const char* kAllMethods = "httpGET,httpPOST,httpPUT,httpDELETE,httpHEAD,httpOPTIONS,httpPATCH,httpTRACE";

std::string Action(const std::string& name, const std::string& path, const std::string& consumes,
                   const std::string& produces, const std::string& methods, const std::string& description) {
  return R"({"action_name":")" + name + R"(","relative_path":")" + path + R"(","consumes":")" + consumes +
         R"(","produces":")" + produces + R"(","http_methods":")" + methods + R"(","description":")" + description +
         R"("})";
}

class SystemEndpoints : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = std::make_unique<TMVCEngine>(module_, [](TMVCConfig& config) {
      config.SetValue(config_keys::kSessionTimeout, "0");
      config.SetValue(config_keys::kMaxEntitiesRecordCount, "7");
    });
    engine_->AddController(&TDescribedProbe::ClassInfo());
    engine_->AddController(&TDescribedProbe::ClassInfo(), "/seg");
    engine_->AddController(&TBareProbe::ClassInfo(), "/bare");
    engine_->AddSerializer("application/json", std::make_shared<TMVCJsonSerializer>());
  }

  testing::SentReply Get(const std::string& path, const std::string& remote = "127.0.0.1",
                         std::vector<std::pair<std::string, std::string>> headers = {},
                         const std::string& method = "GET") {
    FakeWebRequest request(method, path);
    request.remote_ip = remote;
    request.Header("Accept", "*/*");
    for (auto& [name, value] : headers) request.Header(name, value);
    FakeWebResponse response(&request);
    Serve(module_, request, response);
    EXPECT_EQ(response.send_count, 1);
    return response.sent;
  }

  FakeModule module_;
  std::unique_ptr<TMVCEngine> engine_;
};

TEST_F(SystemEndpoints, DescribeServerListsEveryRegistrationFromItsTables) {
  const std::string system =
      R"("TornioMVC.SysControllers.TMVCSystemController":{"resource_path":"/system",)"
      R"("description":"Built-in TornioMVC System Controller","actions":[)" +
      Action("DescribeServer", "/describeserver.info", "", "", "httpGET",
             "Describe controllers and actions published by the RESTful server per resources") +
      "," +
      Action("DescribePlatform", "/describeplatform.info", "", "", "httpGET",
             "Describe the system where server is running") +
      "," + Action("ServerConfig", "/serverconfig.info", "", "", "httpGET", "Server configuration") + "]}";
  const std::string described_actions =
      Action("Full", "/b", "application/xml", "text/plain", "httpGET,httpPUT,httpTRACE", "full") + "," +
      Action("DocOnly", "", "", "", kAllMethods, "only doc") + "," + Action("EmptySet", "", "", "", "any", "") + "," +
      Action("Inherited", "/inh", "", "", kAllMethods, "from the base");
  // Each registration is described on its own; a registration's segment replaces the
  // declared path where it stands, or is added after the class's declarations.
  const std::string described = R"("Test.Described.TDescribedProbe":{"description":"second \"doc\"",)"
                                R"("resource_path":"/again","actions":[)" +
                                described_actions + "]}";
  const std::string described_seg = R"("Test.Described.TDescribedProbe":{"description":"second \"doc\"",)"
                                    R"("resource_path":"/seg","actions":[)" +
                                    described_actions + "]}";
  const std::string bare = R"("TBareProbe":{"resource_path":"/bare","actions":[]})";
  testing::SentReply r = Get("/system/describeserver.info");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.content_type, "application/json;charset=utf-8");
  EXPECT_EQ(r.body, "{" + system + "," + described + "," + described_seg + "," + bare + "}");
}

TEST_F(SystemEndpoints, ServerConfigListsTheSettingsInTheirOrder) {
  testing::SentReply r = Get("/SYSTEM/ServerConfig.INFO");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.content_type, "application/json;charset=utf-8");
  EXPECT_EQ(r.body,
            R"({"sessiontimeout":"0","default_content_type":"application/json","default_content_charset":"UTF-8",)"
            R"("default_view_file_extension":"html","view_path":"templates","pathprefix":"",)"
            R"("allow_unhandled_action":"false","server_name":"TornioMVC","server_signature":"true",)"
            R"("xpoweredby":"true","session_type":"memory","max_entities_record_count":"7",)"
            R"("max_request_size":"5242880","hateos":"_links","load_system_controllers":"true"})");
}

// Runs the check with TZ set to a zone far from UTC, restoring it afterwards.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old, had_ = true;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_) {
      setenv("TZ", saved_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::string saved_;
  bool had_ = false;
};

TEST_F(SystemEndpoints, DescribePlatformShape) {
  ScopedTimeZone zone("XST-9:30");
  testing::SentReply r = Get("/system/describeplatform.info", "::1");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.content_type, "application/json;charset=utf-8");
  auto parsed = TJsonBaseObject::Parse(r.body);
  const auto* document = dynamic_cast<const TJsonObject*>(parsed.get());
  ASSERT_NE(document, nullptr) << r.body;
  ASSERT_EQ(document->Count(), 4u) << r.body;
  const char* names[] = {"OS", "CPU_count", "CPU_architecture", "system_time"};
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(document->Names(i), names[i]);

  utsname name{};
  ASSERT_EQ(uname(&name), 0);
  EXPECT_EQ(document->Values("OS").StringValue(), std::string(name.sysname) + " " + name.release + " " + name.version);
  EXPECT_EQ(document->Values("CPU_count").DataType(), TJsonDataType::jdtInt);
  EXPECT_EQ(document->Values("CPU_count").IntValue(), sysconf(_SC_NPROCESSORS_ONLN));
#if defined(__x86_64__)
  EXPECT_EQ(document->Values("CPU_architecture").StringValue(), "arIntelX64");
#elif defined(__aarch64__)
  EXPECT_EQ(document->Values("CPU_architecture").StringValue(), "arARM64");
#endif

  // UTC, not the process's local time (9:30 hours away here).
  const std::string stamp = document->Values("system_time").StringValue();
  std::tm tm{};
  int millis = -1;
  char zulu = 0;
  ASSERT_EQ(std::sscanf(stamp.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                        &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &millis, &zulu),
            8)
      << stamp;
  EXPECT_EQ(zulu, 'Z') << stamp;
  EXPECT_TRUE(millis >= 0 && millis < 1000) << stamp;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  const double off_by = std::difftime(timegm(&tm), std::time(nullptr));
  EXPECT_LT(std::abs(off_by), 600) << stamp;
}

TEST_F(SystemEndpoints, LocalMeansBothThePeerAndTheClientAddress) {
  struct Case {
    const char* remote;
    std::vector<std::pair<std::string, std::string>> headers;
    int status;
  };
  const Case cases[] = {
      {"127.0.0.1", {}, 200},
      {"::1", {}, 200},
      {"0:0:0:0:0:0:0:1", {}, 200},
      {"localhost", {}, 200},
      {"LocalHost", {}, 200},
      // The forwarding headers name the client: a local peer relaying a remote one is
      // not local, and a remote peer cannot claim to be local through them.
      {"127.0.0.1", {{"HTTP_CLIENT_IP", "10.9.9.9"}}, 403},
      {"127.0.0.1", {{"HTTP_X_FORWARDED_FOR", " 10.1.2.3, 127.0.0.1"}}, 403},
      {"::1", {{"REMOTE_ADDR", "192.168.1.4"}}, 403},
      {"127.0.0.1", {{"HTTP_CLIENT_IP", "::1"}}, 200},
      {"::1", {{"HTTP_X_FORWARDED_FOR", "localhost"}}, 200},
      {"10.0.0.5", {}, 403},
      {"::ffff:127.0.0.1", {}, 403},
      {"127.0.0.2", {}, 403},
      {" 127.0.0.1", {}, 403},
      {"", {}, 403},
      {"10.0.0.5", {{"HTTP_CLIENT_IP", "127.0.0.1"}}, 403},
      {"10.0.0.5", {{"HTTP_X_FORWARDED_FOR", "127.0.0.1"}}, 403},
      {"10.0.0.5", {{"REMOTE_ADDR", "::1"}, {"HTTP_X_FORWARDED", "localhost"}}, 403},
  };
  for (const auto& c : cases) {
    for (const char* path :
         {"/system/describeserver.info", "/system/describeplatform.info", "/system/serverconfig.info"}) {
      testing::SentReply r = Get(path, c.remote, c.headers);
      EXPECT_EQ(r.status, c.status) << c.remote << " " << path;
      if (c.status == 403) {
        EXPECT_EQ(r.reason, "Forbidden") << c.remote;
        EXPECT_EQ(r.body, "") << c.remote << " " << path;  // the action did not run
      } else {
        EXPECT_TRUE(r.body.starts_with("{\"")) << c.remote << " " << path;
      }
    }
  }
}

TEST_F(SystemEndpoints, OnlyGetIsRouted) {
  for (const char* method : {"POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH", "TRACE"}) {
    testing::SentReply r = Get("/system/serverconfig.info", "127.0.0.1", {}, method);
    EXPECT_EQ(r.status, 404) << method;
    EXPECT_EQ(r.body, "TornioMVC\r\nHTTP 404: [EMVCException] Not Found") << method;
  }
}

}  // namespace
}  // namespace ostrivan::web

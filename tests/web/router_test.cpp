#include <gtest/gtest.h>

#include <thread>

#include "web/mvc_exceptions.h"
#include "web/router.h"

namespace ostrivan::web {

namespace {

// Route tables shaped like the service's own controllers, plus parameter routes.
const TMVCControllerClass& SystemLikeClass() {
  static const TMVCControllerClass clazz{
      "TornioMVC.SysControllers",
      "TMVCSystemController",
      {MVCPath("/system"), MVCDoc("Built-in")},
      {
          {"DescribeServer", {MVCPath("/describeserver.info"), MVCHTTPMethods({httpGET})}, nullptr},
          {"DescribePlatform", {MVCPath("/describeplatform.info"), MVCHTTPMethods({httpGET})}, nullptr},
          {"ServerConfig", {MVCPath("/serverconfig.info"), MVCHTTPMethods({httpGET})}, nullptr},
      },
      nullptr,
      nullptr};
  return clazz;
}

const TMVCControllerClass& JobLikeClass() {
  static const TMVCControllerClass clazz{
      "RizOzudo.Controller",
      "TRizOzudoController",
      {MVCPath("/RizOzudo")},
      {
          {"Helper", {}, nullptr},  // no declarations: never an action
          {"ExportLavoro",
           {MVCPath("/ExportLavoro"), MVCHTTPMethods({httpPOST}), MVCProduces("application/json", "UTF-8")},
           nullptr},
          {"ImportLavoro",
           {MVCPath("/ImportLavoro"), MVCHTTPMethods({httpPOST}), MVCProduces("application/json", "UTF-8")},
           nullptr},
      },
      nullptr,
      nullptr};
  return clazz;
}

const TMVCControllerClass& BaseWithAction() {
  static const TMVCControllerClass clazz{
      "Test", "TBase", {MVCPath("/items")}, {{"Inherited", {MVCPath("/base")}, nullptr}}, nullptr, nullptr};
  return clazz;
}

const TMVCControllerClass& ParamClass() {
  static const TMVCControllerClass clazz{
      "Test",
      "TItems",
      {MVCPath("/items"), MVCPath("/other")},
      {
          {"Upload",
           {MVCPath("/upload"), MVCHTTPMethods({httpGET}), MVCHTTPMethods({httpPUT}), MVCConsumes("text/csv"),
            MVCConsumes("application/xml")},
           nullptr},
          {"One", {MVCPath("/($id)"), MVCPath("/($id)/sub/($name)"), MVCProduces("text/plain", "ISO-8859-1")}, nullptr},
      },
      &BaseWithAction(),
      nullptr};
  return clazz;
}

const TMVCControllerClass& NoPathClass() {
  static const TMVCControllerClass clazz{
      "Test", "TNoPath", {MVCDoc("only a description")}, {{"X", {MVCPath("/x")}, nullptr}}, nullptr, nullptr};
  return clazz;
}

const TMVCControllerClass& NoDeclarationsClass() {
  static const TMVCControllerClass clazz{"Test", "TBare", {}, {{"X", {MVCPath("/x")}, nullptr}}, nullptr, nullptr};
  return clazz;
}

using Controllers = std::vector<std::unique_ptr<TMVCControllerDelegate>>;

Controllers Register(std::initializer_list<std::pair<const TMVCControllerClass*, std::string>> list) {
  Controllers controllers;
  for (const auto& [clazz, segment] : list) {
    auto delegate = std::make_unique<TMVCControllerDelegate>();
    delegate->Clazz = clazz;
    delegate->URLSegment = segment;
    controllers.push_back(std::move(delegate));
  }
  return controllers;
}

Controllers ServiceControllers() { return Register({{&SystemLikeClass(), ""}, {&JobLikeClass(), ""}}); }

struct RouteResult {
  bool found = false;
  std::string action;  // qualified name
  std::string media_type;
  std::string charset;
  TMVCRequestParamsTable params;
};

RouteResult Route(const Controllers& controllers, const std::string& method, const std::string& path,
                  const std::string& accept, const std::string& content_type = "", const std::string& prefix = "") {
  TMVCConfig config;
  TMVCRouter router(config, GlobalActionParamsCache());
  RouteResult r;
  r.found = router.ExecuteRouting(path, TMVCRouter::StringMethodToHTTPMetod(method), content_type, accept, controllers,
                                  "application/json", "UTF-8", prefix, r.params, r.media_type, r.charset);
  r.action = router.GetQualifiedActionName();
  EXPECT_EQ(r.found, router.MethodToCall() != nullptr);
  return r;
}

constexpr const char* kExport = "RizOzudo.Controller.TRizOzudoController.ExportLavoro";
constexpr const char* kImport = "RizOzudo.Controller.TRizOzudoController.ImportLavoro";
constexpr const char* kDescribe = "TornioMVC.SysControllers.TMVCSystemController.DescribeServer";
constexpr const char* kServerConfig = "TornioMVC.SysControllers.TMVCSystemController.ServerConfig";

TEST(Router, ServiceRouteTable) {
  struct Case {
    const char* method;
    const char* path;
    const char* accept;
    const char* expected;  // "" = no route
  };
  const Case cases[] = {
      {"POST", "/RizOzudo/ExportLavoro", "application/json", kExport},
      {"POST", "/rizozudo/EXPORTLAVORO", "application/json", kExport},
      {"POST", "/RizOzudo/ImportLavoro", "application/json", kImport},
      {"POST", "/RizOzudo/ExportLavoro/", "application/json", ""},
      {"POST", "//RizOzudo/ExportLavoro", "application/json", ""},
      {"GET", "/RizOzudo/ExportLavoro", "application/json", ""},
      {"PUT", "/RizOzudo/ExportLavoro", "application/json", ""},
      {"POST", "/RizOzudo/ExportLavoro", "", ""},
      {"POST", "/RizOzudo/ExportLavoro", "text/plain", ""},
      {"POST", "/RizOzudo/ExportLavoro", "application/*", ""},
      {"POST", "/RizOzudo/ExportLavoro", "text/html, application/json", ""},
      {"POST", "/RizOzudo/ExportLavoro", " application/json", ""},  // nothing is trimmed
      {"POST", "/RizOzudo/ExportLavoro", "Application/JSON", kExport},
      {"POST", "/RizOzudo/ExportLavoro", "application/json; q=0.9", kExport},
      {"POST", "/RizOzudo/ExportLavoro", "application/json, text/plain", kExport},
      {"POST", "/RizOzudo/ExportLavoro", "*/*", kExport},
      {"POST", "/RizOzudo/ExportLavoro", "text/plain, */*", kExport},
      {"POST", "RizOzudo/ExportLavoro", "application/json", kExport},    // leading "/" added
      {"POST", "/RizOzudo/ExportLavoro ", "application/json", kExport},  // blanks trimmed
      {"POST", " /RizOzudo/ExportLavoro", "application/json", ""},       // "/" goes before the blank
      {"POST", "/RizOzudo/ExportLavoroX", "application/json", ""},
      {"POST", "/RizOzudo/Export.avoro", "application/json", ""},
      {"GET", "/system/describeserver.info", "", kDescribe},
      {"GET", "/system/describeserverXinfo", "", kDescribe},
      {"GET", "/SYSTEM/DescribeServer.INFO", "text/html", kDescribe},
      {"GET", "/system/serverconfig.info", "application/json", kServerConfig},
      {"POST", "/system/serverconfig.info", "application/json", ""},
      {"GET", "/system/serverconfig.info/x", "", ""},
      {"GET", "/system", "", ""},
      {"GET", "/", "", ""},
      {"GET", "", "", ""},
      {"GET", "/system/describeserver\ninfo", "", ""},  // escaped as %0A: three characters for one "."
  };
  Controllers controllers = ServiceControllers();
  for (const auto& c : cases) {
    RouteResult r = Route(controllers, c.method, c.path, c.accept);
    const std::string expected = c.expected;
    EXPECT_EQ(r.action, expected) << c.method << " " << c.path << " Accept: " << c.accept;
    EXPECT_EQ(r.found, !expected.empty()) << c.path;
    if (r.found) {
      EXPECT_EQ(r.media_type, "application/json");
      EXPECT_EQ(r.charset, "UTF-8");
    } else {
      EXPECT_EQ(r.media_type, "");
      EXPECT_EQ(r.charset, "");
    }
  }
}

TEST(Router, ContentTypePlaysNoPartWithoutConsumes) {
  Controllers controllers = ServiceControllers();
  EXPECT_EQ(Route(controllers, "POST", "/RizOzudo/ExportLavoro", "application/json", "text/plain").action, kExport);
}

TEST(Router, MethodTable) {
  const std::pair<const char*, TMVCHTTPMethodType> known[] = {
      {"GET", httpGET},     {"POST", httpPOST}, {"PUT", httpPUT},         {"DELETE", httpDELETE},
      {"PATCH", httpPATCH}, {"HEAD", httpHEAD}, {"OPTIONS", httpOPTIONS}, {"TRACE", httpTRACE}};
  for (const auto& [text, method] : known) EXPECT_EQ(TMVCRouter::StringMethodToHTTPMetod(text), method);
  for (const char* unknown : {"PROPFIND", "get", "", "GET "}) {
    try {
      TMVCRouter::StringMethodToHTTPMetod(unknown);
      FAIL() << unknown;
    } catch (const EMVCException& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Unknown HTTP method [") + unknown + "]");
      EXPECT_EQ(e.HttpErrorCode(), 500);
    }
  }
}

TEST(Router, ParametersChecksAndInheritedActions) {
  Controllers controllers = Register({{&ParamClass(), ""}});
  RouteResult r = Route(controllers, "GET", "/items/42%2Fx", "text/plain");
  EXPECT_EQ(r.action, "Test.TItems.One");
  EXPECT_EQ(r.params.at("id"), "42/x");  // decoded after matching, so "/" never splits
  EXPECT_EQ(r.media_type, "text/plain");
  EXPECT_EQ(r.charset, "ISO-8859-1");

  r = Route(controllers, "DELETE", "/OTHER/7/sub/a%20b", "*/*");  // second class path, second route
  EXPECT_EQ(r.action, "Test.TItems.One");
  EXPECT_EQ(r.params.at("id"), "7");
  EXPECT_EQ(r.params.at("name"), "a b");

  EXPECT_FALSE(Route(controllers, "GET", "/items/1/2", "").found);                // a parameter never spans "/"
  EXPECT_FALSE(Route(controllers, "GET", "/items/7", "application/json").found);  // produces text/plain

  // The last methods declaration wins; consumes is checked for PUT, not for GET.
  EXPECT_FALSE(Route(controllers, "GET", "/items/upload", "").action == "Test.TItems.Upload");
  EXPECT_EQ(Route(controllers, "PUT", "/items/upload", "", "Application/XML; charset=x").action, "Test.TItems.Upload");
  EXPECT_EQ(Route(controllers, "PUT", "/items/upload", "", "text/csv").action, "Test.TItems.Upload");
  EXPECT_NE(Route(controllers, "PUT", "/items/upload", "", "text/plain").action, "Test.TItems.Upload");
  EXPECT_NE(Route(controllers, "PUT", "/items/upload", "", "").action, "Test.TItems.Upload");

  EXPECT_EQ(Route(controllers, "GET", "/items/base", "").action, "Test.TItems.Inherited");
}

TEST(Router, FirstQualifyingRouteWinsAcrossControllers) {
  // "upload" matches both the literal route and "($id)": declaration order decides.
  Controllers controllers = Register({{&ParamClass(), ""}});
  EXPECT_EQ(Route(controllers, "PUT", "/items/upload", "", "text/csv").action, "Test.TItems.Upload");
  RouteResult r = Route(controllers, "PUT", "/items/upload", "*/*", "text/plain");
  EXPECT_EQ(r.action, "Test.TItems.One");
  EXPECT_EQ(r.params.at("id"), "upload");
}

TEST(Router, URLSegmentPrefixAndClassDeclarations) {
  Controllers segment = Register({{&JobLikeClass(), "/jobs"}});
  EXPECT_EQ(Route(segment, "POST", "/jobs/ExportLavoro", "*/*").action, kExport);
  EXPECT_FALSE(Route(segment, "POST", "/RizOzudo/ExportLavoro", "*/*").found);

  Controllers root = Register({{&JobLikeClass(), "/"}});  // "/" counts as empty
  EXPECT_EQ(Route(root, "POST", "/ImportLavoro", "*/*").action, kImport);

  Controllers service = ServiceControllers();
  EXPECT_EQ(Route(service, "POST", "/api/RizOzudo/ExportLavoro", "*/*", "", "/api").action, kExport);
  EXPECT_FALSE(Route(service, "POST", "/RizOzudo/ExportLavoro", "*/*", "", "/api").found);

  Controllers bare = Register({{&NoDeclarationsClass(), ""}, {&JobLikeClass(), ""}});
  EXPECT_EQ(Route(bare, "POST", "/RizOzudo/ExportLavoro", "*/*").action, kExport);

  Controllers no_path = Register({{&NoPathClass(), ""}});
  try {
    Route(no_path, "GET", "/x", "");
    FAIL() << "a declared class without a path must raise";
  } catch (const EMVCException& e) {
    EXPECT_STREQ(e.what(), "Controller TNoPath does not have MVCPath attribute");
  }
  // The lock is released on the way out: a later routing does not block.
  EXPECT_TRUE(RoutingLock().try_lock());
  RoutingLock().unlock();
}

TEST(Router, PathPreparation) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"", "/"},
      {"   ", "/"},
      {"/a/b", "/a/b"},
      {"a", "/a"},
      {"/a ", "/a"},
      // "/" goes before the untrimmed path, so a leading blank survives as %20.
      {" /a ", "/%20/a"},
      {" a", "/%20a"},
      {"/a b", "/a%20b"},
      {"/%41%zz%4", "/%41%25zz%254"},
      {"/*<>#\"{}|\\^[]`+", "/%2A%3C%3E%23%22%7B%7D%7C%5C%5E%5B%5D%60%2B"},
      {"/é", "/%C3%A9"},
      {"/\xF0\x9F\x98\x80", "/%F0%9F%98%80"},
      {"/a-b_c.d~e!$&'()=,;:@", "/a-b_c.d~e!$&'()=,;:@"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PrepareRoutePath(c.in), c.out) << "[" << c.in << "]";
  }
}

TEST(Router, ActionParamsCacheKeepsFirstItemAndCompilesOnce) {
  TMVCActionParamsCache cache;
  const auto* first =
      cache.Add("/r/($x)", std::make_unique<TMVCActionParamCacheItem>("/r/(a)", std::vector<std::string>{"x"}));
  const auto* second =
      cache.Add("/r/($x)", std::make_unique<TMVCActionParamCacheItem>("/other", std::vector<std::string>{}));
  EXPECT_EQ(first, second);
  EXPECT_EQ(cache.GetValue("/r/($x)")->Value(), "/r/(a)");
  EXPECT_EQ(cache.GetValue("/R/($x)"), nullptr);  // keys compare exactly
  EXPECT_EQ(cache.Count(), 1u);

  TMVCActionParamCacheItem broken("/bad(", {});
  EXPECT_THROW(broken.Expression(), EMVCException);
}

TEST(Router, LongPathsAreRoutedOrRefusedWithoutCrash) {
  // The longest path a request line allows, against every route, including
  // parameter routes that could backtrack.
  Controllers controllers = Register({{&SystemLikeClass(), ""}, {&JobLikeClass(), ""}, {&ParamClass(), ""}});
  const std::string long_segment(16 * 1024, 'a');
  EXPECT_FALSE(Route(controllers, "POST", "/RizOzudo/" + long_segment, "*/*").found);
  EXPECT_FALSE(Route(controllers, "GET", "/system/" + long_segment, "*/*").found);
  RouteResult r = Route(controllers, "GET", "/items/" + long_segment, "*/*");
  EXPECT_EQ(r.action, "Test.TItems.One");
  EXPECT_EQ(r.params.at("id").size(), long_segment.size());
  std::string slashes;
  for (int i = 0; i < 4000; ++i) slashes += "a/";
  EXPECT_FALSE(Route(controllers, "GET", "/items/" + slashes, "*/*").found);
  // Lone "%" signs are escaped to "%25" and decoded back into the parameter.
  r = Route(controllers, "GET", "/items/" + std::string(16 * 1024, '%'), "*/*");
  EXPECT_TRUE(r.found);
  EXPECT_EQ(r.params.at("id"), std::string(16 * 1024, '%'));
  std::string many_params = "/items/1/sub/" + std::string(16 * 1024, '(');
  EXPECT_TRUE(Route(controllers, "GET", many_params, "*/*").found);
}

TEST(Router, ConcurrentRoutingsAgree) {
  Controllers controllers = Register({{&SystemLikeClass(), ""}, {&JobLikeClass(), ""}, {&ParamClass(), ""}});
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        TMVCConfig config;
        TMVCRouter router(config, GlobalActionParamsCache());
        TMVCRequestParamsTable params;
        std::string media, charset;
        std::string id = std::to_string(t * 1000 + i);
        bool found = router.ExecuteRouting("/items/" + id, httpGET, "", "*/*", controllers, "application/json", "UTF-8",
                                           "", params, media, charset);
        if (!found || params["id"] != id) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace ostrivan::web

#include "host/app_web_module.h"

#include <gtest/gtest.h>

#include "http/web_request_handler.h"

namespace {

using ostrivan::host::kModulePoolLimit;
using ostrivan::host::kStartupModulePoolLimit;
using ostrivan::host::RegisterAppWebModule;
using ostrivan::host::TAppWebModule;
using ostrivan::http::TWebRequestHandler;

// Start-up writes 1024; building a module (and its engine) writes 4096 and turns the
// cache on, so the limit in force for every request is 4096.
TEST(AppWebModule, StartUpAndEveryModuleCreationSetThePoolLimit) {
  EXPECT_EQ(kStartupModulePoolLimit, 1024);
  EXPECT_EQ(kModulePoolLimit, 4096);
  RegisterAppWebModule();
  EXPECT_EQ(TWebRequestHandler().MaxConnections(), 1024);
  TWebRequestHandler().SetCacheConnections(false);
  {
    TAppWebModule module;
    module.DoCreate();
    EXPECT_NE(module.Engine(), nullptr);
    EXPECT_EQ(TWebRequestHandler().MaxConnections(), 4096);
    EXPECT_TRUE(TWebRequestHandler().CacheConnections());
    TWebRequestHandler().SetMaxConnections(7);
    TAppWebModule second;
    second.DoCreate();
    EXPECT_EQ(TWebRequestHandler().MaxConnections(), 4096);  // every creation, not the first only
    second.DoDestroy();
    module.DoDestroy();
  }
  TWebRequestHandler().SetWebModuleClass(nullptr);
}

}  // namespace

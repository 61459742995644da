#include "platform/service_manager.h"

#include <gtest/gtest.h>

namespace platform = ostrivan::platform;

namespace {
int ServiceBodyMustNotRun(void* ran) {
  *static_cast<bool*>(ran) = true;
  return 0;
}
}  // namespace

TEST(ServiceManager, AProcessStartedWithoutOneRunsNothingUnderIt) {
  bool ran = false;
  int exit_code = -1;
  EXPECT_FALSE(platform::TryRunAsService("Ostrivan", &ServiceBodyMustNotRun, &ran, exit_code));
  EXPECT_FALSE(ran);
  EXPECT_EQ(exit_code, -1);
  // The reports are then nothing but calls that return.
  platform::ReportServiceReady("serving");
  platform::ReportServiceAlive();
  platform::ReportServiceStopping("stopping");
}

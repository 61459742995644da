#include "common/class_name.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

namespace ostrivan {
namespace {

OSTRIVAN_DECLARE_EXCEPTION(ETestFailure, EOSError);

TEST(ExceptionClassName, OwnNameOrTheGeneralOne) {
  EXPECT_EQ(ExceptionClassName(Exception("x")), "Exception");
  EXPECT_EQ(ExceptionClassName(EOSError("x")), "EOSError");
  // The most derived class names itself, also when caught as its base.
  const EOSError& as_base = ETestFailure("x");
  EXPECT_EQ(ExceptionClassName(as_base), "ETestFailure");
  EXPECT_EQ(ExceptionClassName(std::bad_alloc()), "EOutOfMemory");
  EXPECT_EQ(ExceptionClassName(std::runtime_error("x")), "Exception");
}

}  // namespace
}  // namespace ostrivan

#pragma once
// What a call threw, as one comparable string. Example:
//   EXPECT_EQ(FailureOf([&] { Open(path); }), "EFOpenError: Cannot open file ...");
#include <functional>
#include <string>

#include "common/error.h"

namespace ostrivan::test_support {

// "ClassName: message" of the project exception fn threw, or "" when it threw none.
inline std::string FailureOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const ostrivan::Exception& e) {
    return std::string(e.ClassName()) + ": " + e.Message();
  }
  return "";
}

}  // namespace ostrivan::test_support

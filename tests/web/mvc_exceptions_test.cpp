#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "web/mvc_exceptions.h"

namespace ostrivan::web {
namespace {

// The exception a constructor expression yields: built, or raised while building.
EMVCException Outcome(const std::function<EMVCException()>& build) {
  try {
    return build();
  } catch (const EMVCException& raised) {
    return raised;
  }
}

TEST(EMVCException, ConstructorFormsAndStatusCheck) {
  struct Case {
    const char* name;
    std::function<EMVCException()> build;
    std::string message;
    int status;
    int app_code;
  };
  const Case cases[] = {
      {"message", [] { return EMVCException("m"); }, "m", 500, 0},
      {"status 413", [] { return EMVCException(413, "big"); }, "big", 413, 0},
      {"status 100", [] { return EMVCException(100, "low"); }, "low", 100, 0},
      {"status 599", [] { return EMVCException(599, "high"); }, "high", 599, 0},
      {"status 99", [] { return EMVCException(99, "x"); }, "Invalid HTTP_STATUS [99]", 500, 0},
      {"status 600", [] { return EMVCException(600, "x"); }, "Invalid HTTP_STATUS [600]", 500, 0},
      {"status 0", [] { return EMVCException(0, "x"); }, "Invalid HTTP_STATUS [0]", 500, 0},
      {"with app code", [] { return EMVCException(404, 7, "nf"); }, "nf", 404, 7},
      {"app code, bad status", [] { return EMVCException(700, 7, "x"); }, "Invalid HTTP_STATUS [700]", 500, 0},
      {"full", [] { return EMVCException("m", "d", 3, 401); }, "m", 401, 3},
      {"full, bad status", [] { return EMVCException("m", "d", 3, 42); }, "Invalid HTTP_STATUS [42]", 500, 0},
      {"formatted", [] { return EMVCException(MVCFormat("n=%d %s", 5, "x")); }, "n=5 x", 500, 0},
      {"formatted unchecked", [] { return EMVCException(700, MVCFormat("odd %s", "y")); }, "odd y", 700, 0},
  };
  for (const auto& c : cases) {
    const EMVCException e = Outcome(c.build);
    EXPECT_EQ(e.Message(), c.message) << c.name;
    EXPECT_EQ(e.HttpErrorCode(), c.status) << c.name;
    EXPECT_EQ(e.ApplicationErrorCode(), c.app_code) << c.name;
  }
}

TEST(EMVCException, FullFormStoresDetailAndItemsOnlyWhenGiven) {
  const EMVCException with("m", "detail", 1, 400, std::vector<std::string>{"a", "b"});
  EXPECT_EQ(with.DetailedMessage(), "detail");
  EXPECT_EQ(with.ErrorItems(), (std::vector<std::string>{"a", "b"}));
  const EMVCException without("m", "detail", 1, 400);
  EXPECT_TRUE(without.ErrorItems().empty());
  EXPECT_TRUE(EMVCException("m").DetailedMessage().empty());
}

TEST(EMVCException, SubclassesNameThemselvesAndKeepTheDefaults) {
  const EMVCSerializationException s(MVCFormat("a"));
  const EMVCDeserializationException d("b");
  const EMVCConfigException c(404, "c");
  EXPECT_STREQ(s.ClassName(), "EMVCSerializationException");
  EXPECT_STREQ(d.ClassName(), "EMVCDeserializationException");
  EXPECT_STREQ(c.ClassName(), "EMVCConfigException");
  EXPECT_STREQ(EMVCException("x").ClassName(), "EMVCException");
  EXPECT_EQ(s.HttpErrorCode(), 500);
  EXPECT_EQ(d.HttpErrorCode(), 500);
  EXPECT_EQ(c.HttpErrorCode(), 404);
  // A subclass with a bad status raises the base class, not itself.
  try {
    EMVCConfigException bad(99, "x");
    FAIL() << "built";
  } catch (const EMVCConfigException&) {
    FAIL() << "raised the subclass";
  } catch (const EMVCException& e) {
    EXPECT_STREQ(e.ClassName(), "EMVCException");
    EXPECT_EQ(e.Message(), "Invalid HTTP_STATUS [99]");
  }
  const Exception& base = d;
  EXPECT_STREQ(base.ClassName(), "EMVCDeserializationException");
}

}  // namespace
}  // namespace ostrivan::web

#include "host/allow_list.h"

#include <gtest/gtest.h>

#include "host/parametri.h"

namespace ostrivan::host {
namespace {

TEST(AllowList, ParsesAddressesAndRangesOfBothFamilies) {
  const TAllowList list = ParseAllowList(" 192.168.10.0/24, 10.0.0.5 ,, ::1,\tfd00:abcd::/32, ::ffff:172.16.0.0/108 ");
  EXPECT_TRUE(list.Malformed.empty());
  ASSERT_EQ(list.Entries.size(), 5u);
  struct Case {
    const char* address;
    bool admitted;
  };
  const Case cases[] = {
      {"192.168.10.0", true}, {"192.168.10.255", true},  {"192.168.11.1", false},
      {"10.0.0.5", true},     {"10.0.0.6", false},       {"::1", true},
      {"::2", false},         {"fd00:abcd:1::9", true},  {"fd00:abce::1", false},
      {"172.16.9.9", true},   {"172.32.0.1", false},     {"::ffff:10.0.0.5", true},
      {"127.0.0.1", false},   {"not an address", false}, {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(AllowListAdmits(list, c.address), c.admitted) << c.address;
}

TEST(AllowList, PrefixEdges) {
  struct Case {
    const char* list;
    const char* address;
    bool admitted;
  };
  const Case cases[] = {
      {"0.0.0.0/0", "203.0.113.7", true},
      {"0.0.0.0/0", "::1", false},
      {"::/0", "2001:db8::1", true},
      {"10.1.2.3/31", "10.1.2.2", true},
      {"10.1.2.3/31", "10.1.2.4", false},
      {"10.128.0.0/9", "10.200.0.1", true},
      {"10.128.0.0/9", "10.127.0.1", false},
      {"2001:db8::/127", "2001:db8::1", true},
      {"2001:db8::/127", "2001:db8::2", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(AllowListAdmits(ParseAllowList(c.list), c.address), c.admitted) << c.list << " " << c.address;
}

TEST(AllowList, MalformedEntriesFailClosedToLoopback) {
  for (const char* text : {"10.0.0.0/33", "abc", "10.0.0.5, abc", "::1/129", "10.0.0.0/", "10.0.0.0/-1", "1.2.3.4/8/8",
                           "localhost", "fe80::1%eth0", "10.0.0.0/ 8x"}) {
    const TAllowList list = ParseAllowList(text);
    EXPECT_FALSE(list.Malformed.empty()) << text;
    EXPECT_FALSE(list.Open()) << text;
    EXPECT_TRUE(AllowListAdmits(list, "127.0.0.1")) << text;
    EXPECT_TRUE(AllowListAdmits(list, "127.9.9.9")) << text;
    EXPECT_TRUE(AllowListAdmits(list, "::1")) << text;
    EXPECT_FALSE(AllowListAdmits(list, "10.0.0.5")) << text;
  }
  EXPECT_EQ(ParseAllowList("10.0.0.5, 10.0.0.0/33 , abc").Malformed, (std::vector<std::string>{"10.0.0.0/33", "abc"}));
}

TEST(AllowList, AbsentOrBlankListAdmitsEveryone) {
  for (const char* text : {"", " ", " , ,"}) {
    const TAllowList list = ParseAllowList(text);
    EXPECT_TRUE(list.Open()) << text;
    EXPECT_TRUE(AllowListAdmits(list, "203.0.113.7"));
  }
}

TEST(AllowList, RouteKinds) {
  EXPECT_EQ(RouteKindOf("/system/serverconfig.info"), TRouteKind::kSystem);
  EXPECT_EQ(RouteKindOf("/SYSTEM/DescribeServer.INFO"), TRouteKind::kSystem);
  EXPECT_EQ(RouteKindOf("/ostrivan/status"), TRouteKind::kOperator);
  EXPECT_EQ(RouteKindOf("/Metrics"), TRouteKind::kOperator);
  EXPECT_EQ(RouteKindOf("/RizOzudo/ExportLavoro"), TRouteKind::kOther);
  EXPECT_EQ(RouteKindOf("/systemx/y"), TRouteKind::kOther);
  EXPECT_EQ(RouteKindOf("/metrics/x"), TRouteKind::kOther);
  // The kept jobs, their archives and their requeue are the operator's.
  for (const char* path : {"/ostrivan/jobs", "/Ostrivan/Jobs", "/ostrivan/jobs/sent/P1.zip",
                           "/ostrivan/jobs/unsent/x/requeue", "/ostrivan/jobs/sent/a b/requeue"})
    EXPECT_EQ(RouteKindOf(path), TRouteKind::kOperator) << path;
  EXPECT_EQ(RouteKindOf("/ostrivan/jobsx"), TRouteKind::kOther);
}

TEST(AllowList, JobsRoutesFollowTheOperatorRule) {
  const TAllowList open = ParseAllowList("");
  const TAllowList shop = ParseAllowList("192.168.10.0/24, ::1");
  const struct {
    const TAllowList& list;
    const char* address;
    bool admitted;
  } cases[] = {
      {open, "192.168.10.7", false},  // an open list does not show or move kept jobs
      {open, "127.0.0.1", true},
      {open, "::1", true},
      {shop, "192.168.10.7", true},
      {shop, "192.168.11.7", false},
      {shop, "::ffff:192.168.11.7", false},
      {shop, "127.0.0.1", true},  // loopback always, named or not
  };
  for (const auto& c : cases)
    EXPECT_EQ(AdmitsCaller(RouteKindOf("/ostrivan/jobs/sent/P1.zip/requeue"), c.list, c.address), c.admitted)
        << c.address;

  // The operator's page and its job links follow the operator rule.
  EXPECT_EQ(RouteKindOf("/ostrivan/"), TRouteKind::kOperator);
  EXPECT_EQ(RouteKindOf("/ostrivan/other"), TRouteKind::kOther);
  EXPECT_EQ(RouteKindOf("/ostrivan"), TRouteKind::kOther);
}

TEST(AllowList, OperatorPageStaysLocalUntilTheListNamesTheCaller) {
  const TAllowList open = ParseAllowList("");
  const TAllowList shop = ParseAllowList("192.168.10.0/24");
  const TRouteKind page = RouteKindOf("/ostrivan/");
  const TRouteKind requeue = RouteKindOf("/ostrivan/jobs/unsent/P1/requeue");
  for (TRouteKind kind : {page, requeue}) {
    EXPECT_TRUE(AdmitsCaller(kind, open, "127.0.0.1"));
    EXPECT_TRUE(AdmitsCaller(kind, open, "::1"));
    EXPECT_FALSE(AdmitsCaller(kind, open, "192.168.10.7"));
    EXPECT_TRUE(AdmitsCaller(kind, shop, "192.168.10.7"));
    EXPECT_FALSE(AdmitsCaller(kind, shop, "192.168.11.7"));
    EXPECT_TRUE(AdmitsCaller(kind, shop, "127.0.0.1"));
  }
}

TEST(AllowList, OperatorRoutesStayLocalUntilTheListNamesTheCaller) {
  const TAllowList open = ParseAllowList("");
  const TAllowList shop = ParseAllowList("192.168.10.0/24");
  const struct {
    TRouteKind kind;
    const TAllowList& list;
    const char* address;
    bool admitted;
  } cases[] = {
      {TRouteKind::kOperator, open, "192.168.10.7", false},  // open list: the job routes only
      {TRouteKind::kOther, open, "192.168.10.7", true},
      {TRouteKind::kOperator, open, "127.0.0.1", true},
      {TRouteKind::kOperator, open, "::ffff:127.0.0.1", true},
      {TRouteKind::kOperator, shop, "192.168.10.7", true},  // named: both
      {TRouteKind::kOther, shop, "192.168.10.7", true},
      {TRouteKind::kOperator, shop, "192.168.11.7", false},
      {TRouteKind::kOther, shop, "127.0.0.1", false},  // loopback is no exception for jobs
      {TRouteKind::kSystem, shop, "192.168.11.7", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(AdmitsCaller(c.kind, c.list, c.address), c.admitted) << static_cast<int>(c.kind) << " " << c.address;
}

TEST(AllowList, Loopback) {
  for (const char* address : {"127.0.0.1", "127.1.2.3", "::1", "::ffff:127.0.0.1"})
    EXPECT_TRUE(IsLoopbackAddress(address)) << address;
  for (const char* address : {"128.0.0.1", "::2", "0.0.0.0", "localhost", ""})
    EXPECT_FALSE(IsLoopbackAddress(address)) << address;
}

}  // namespace
}  // namespace ostrivan::host

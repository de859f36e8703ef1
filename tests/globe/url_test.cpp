#include "globe/url.h"

#include <gtest/gtest.h>

namespace tivra::globe {
namespace {

TEST(Url, HttpSchemesOnly) {
  EXPECT_TRUE(isHttpUrl("http://h/a"));
  EXPECT_TRUE(isHttpUrl("https://h/a"));
  EXPECT_FALSE(isHttpUrl("ftp://h/a"));
  EXPECT_FALSE(isHttpUrl("/tmp/a.kml"));
}

struct QueryCase {
  const char* href;
  const char* query;
  const char* expected;
};
class AppendQuery : public ::testing::TestWithParam<QueryCase> {};

TEST_P(AppendQuery, JoinsLikeTheClient) {
  EXPECT_EQ(appendQuery(GetParam().href, GetParam().query), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppendQuery,
    ::testing::Values(QueryCase{"http://h/KmlServer?", "BBOX=1", "http://h/KmlServer?BBOX=1"},
                      QueryCase{"http://h/a", "BBOX=1", "http://h/a?BBOX=1"},
                      QueryCase{"http://h/a?x=1", "BBOX=1", "http://h/a?x=1&BBOX=1"},
                      QueryCase{"http://h/a?x=1&", "BBOX=1", "http://h/a?x=1&BBOX=1"},
                      QueryCase{"http://h/a", "", "http://h/a"}));

struct HrefCase {
  const char* base;
  const char* href;
  const char* expected;
};
class ResolveHref : public ::testing::TestWithParam<HrefCase> {};

TEST_P(ResolveHref, Resolves) {
  EXPECT_EQ(resolveHref(GetParam().base, GetParam().href), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResolveHref,
    ::testing::Values(HrefCase{"http://h:1/a/b.kml?q=1", "c.png", "http://h:1/a/c.png"},
                      HrefCase{"http://h:1/a/b.kml", "/x/y.png", "http://h:1/x/y.png"},
                      HrefCase{"http://h:1", "c.png", "http://h:1/c.png"},
                      HrefCase{"http://h:1/a/b", "http://o/z", "http://o/z"},
                      HrefCase{"", "c.png", "c.png"}, HrefCase{"http://h/a", "", ""}));

}  // namespace
}  // namespace tivra::globe

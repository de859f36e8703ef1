// The globe's borrowed parts over the program's libraries: bare answers, bounds, pixel order.
#include "app/globe_wiring.h"

#include <gtest/gtest.h>

#include "support/fake_tile_server.h"
#include "support/loopback_http_server.h"

namespace tivra::app {
namespace {

using namespace tivra::globe;

using namespace std::chrono_literals;

std::string text(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

TEST(GlobeWiringTest, BareAnswerCountsAsStatus200WithTheWholeAnswerAsBody) {
  test::LoopbackHttpServer server;
  server.serve("/KmlServer", test::LoopbackResponse{200, "<kml>bare</kml>\n", "", true});
  const auto answer = makeHttpGet()(server.url("/KmlServer?BBOX=1,2"));
  EXPECT_TRUE(answer.ok);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(text(answer.body), "<kml>bare</kml>\n");
}

TEST(GlobeWiringTest, StatusAndBodyOfAFullAnswerArePassedOn) {
  test::FakeTileServer tiles;
  const auto missing = makeHttpGet()(tiles.url("/not-found"));
  EXPECT_TRUE(missing.ok);
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(text(missing.body), "no such tile\n");
  const auto tile = makeHttpGet()(tiles.url("/googlechina/maptile?x=3&y=5&zoom=9"));
  EXPECT_TRUE(tile.ok);
  EXPECT_EQ(tile.status, 200);
  EXPECT_EQ(tile.body, test::FakeTileServer::tileBytes(3, 5, 9));
}

struct RedirectCase {
  const char* name;
  const char* target;
  int status;
  bool notFoundImage;  // the body is the tile server's not-found PNG
};

class GlobeWiringRedirectTest : public ::testing::TestWithParam<RedirectCase> {};

// Google Earth follows redirects; ImageServer sends its placeholder tile by one.
TEST_P(GlobeWiringRedirectTest, AreFollowedToTheEnd) {
  test::FakeTileServer tiles;
  const auto answer = makeHttpGet()(tiles.url(GetParam().target));
  EXPECT_TRUE(answer.ok);
  EXPECT_EQ(answer.status, GetParam().status);
  if (GetParam().notFoundImage) {
    EXPECT_EQ(answer.body, test::FakeTileServer::notFoundPng());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GlobeWiringRedirectTest,
    ::testing::Values(RedirectCase{"Found", "/redirect", 200, true},
                      RedirectCase{"Moved", "/redirect-301", 200, true},
                      RedirectCase{"SeeOther", "/redirect-303", 200, true},
                      RedirectCase{"Relative", "/redirect-relative", 200, true},
                      RedirectCase{"Twice", "/redirect-to-redirect", 200, true},
                      RedirectCase{"ToAMissingPage", "/redirect-to-404", 404, false},
                      RedirectCase{"WithoutLocation", "/redirect-no-location", 302, false},
                      RedirectCase{"ToAnotherScheme", "/redirect-to-ftp", 302, false}),
    [](const auto& tpi) { return std::string(tpi.param.name); });

TEST(GlobeWiringTest, RedirectLoopEndsAfterTheBound) {
  test::LoopbackHttpServer server;
  server.serve(
      "/loop",
      test::LoopbackResponse{
          200, "HTTP/1.1 302 Found\r\nLocation: /loop\r\nContent-Length: 0\r\n\r\n", "", true});
  const auto answer = makeHttpGet()(server.url("/loop"));
  EXPECT_TRUE(answer.ok);
  EXPECT_EQ(answer.status, 302);
  EXPECT_EQ(server.requestsFor("/loop").size(), static_cast<std::size_t>(kMaxRedirects) + 1);
}

struct FailureCase {
  const char* name;
  std::string target;  // on the fake tile server; empty: a port nobody listens on
  GlobeWiringOptions options;
};

class GlobeWiringFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(GlobeWiringFailureTest, IsReportedAsNoAnswer) {
  test::FakeTileServer tiles;
  std::string url = tiles.url(GetParam().target);
  if (GetParam().target.empty()) {
    const std::uint16_t port = tiles.port();
    tiles.stop();
    url = "http://127.0.0.1:" + std::to_string(port) + "/";
  }
  const auto answer = makeHttpGet(GetParam().options)(url);
  EXPECT_FALSE(answer.ok);
  EXPECT_TRUE(answer.body.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GlobeWiringFailureTest,
    ::testing::Values(FailureCase{"Refused", "", {}},
                      FailureCase{"TooSlow", "/slow?ms=3000", {1000ms, 200ms, 1u << 20}},
                      FailureCase{"TooLarge", "/bytes?n=5000", {1000ms, 5000ms, 4096}},
                      FailureCase{"CutShort", "/cut?n=100", {}}),
    [](const auto& tpi) { return std::string(tpi.param.name); });

TEST(GlobeWiringTest, BodyExactlyAtTheBoundIsKept) {
  test::FakeTileServer tiles;
  const auto answer = makeHttpGet({1000ms, 5000ms, 4096})(tiles.url("/bytes?n=4096"));
  EXPECT_TRUE(answer.ok);
  EXPECT_EQ(answer.body, test::FakeTileServer::generatedBody(4096));
}

TEST(GlobeWiringTest, DecodedTilesAreRgbaInTheTilesOwnColours) {
  for (const long x : {2L, 3L}) {  // PNG and JPEG tiles
    const auto image = decodeRgba(test::FakeTileServer::tileBytes(x, 4, 10));
    ASSERT_TRUE(image);
    ASSERT_EQ(image->width, 256);
    ASSERT_EQ(image->height, 256);
    const auto expected = test::FakeTileServer::tileImage(x, 4, 10);
    // The park block: red 166, green 203, blue 148.
    const std::size_t at = (40u * 256 + 190) * 4;
    EXPECT_NEAR(image->rgba[at + 0], expected.bgra[at + 2], 8);
    EXPECT_NEAR(image->rgba[at + 1], expected.bgra[at + 1], 8);
    EXPECT_NEAR(image->rgba[at + 2], expected.bgra[at + 0], 8);
    EXPECT_EQ(image->rgba[at + 3], 255);
  }
}

TEST(GlobeWiringTest, PngRoundTripKeepsEveryByte) {
  RgbaImage image{3, 2, {}};
  for (int i = 0; i < 3 * 2 * 4; ++i) image.rgba.push_back(static_cast<std::uint8_t>(i * 11));
  const auto png = encodeRgbaPng(image);
  ASSERT_FALSE(png.empty());
  const auto back = decodeRgba(png);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->width, 3);
  EXPECT_EQ(back->height, 2);
  EXPECT_EQ(back->rgba, image.rgba);
}

TEST(GlobeWiringTest, BadInputGivesNothing) {
  const std::uint8_t garbage[] = {0x89, 'P', 'N', 'G', 1, 2, 3};
  EXPECT_FALSE(decodeRgba(garbage));
  EXPECT_FALSE(decodeRgba({}));
  EXPECT_TRUE(encodeRgbaPng(RgbaImage{2, 2, std::vector<std::uint8_t>(15)}).empty());
  EXPECT_TRUE(encodeRgbaPng(RgbaImage{0, 0, {}}).empty());
  EXPECT_TRUE(encodeRgbaPng(RgbaImage{-1, 4, {}}).empty());
}

}  // namespace
}  // namespace tivra::app

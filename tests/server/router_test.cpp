#include "server/router.h"

#include <gtest/gtest.h>

#include "platform/http_response.h"
#include "server/request.h"

namespace tivra::server {
namespace {

struct RouteCase {
  const char* name;
  std::string request;
  Endpoint expected;
};

class RoutingTest : public ::testing::TestWithParam<RouteCase> {};

TEST_P(RoutingTest, FirstWordInTableOrderWins) {
  EXPECT_EQ(chooseEndpoint(GetParam().request), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RoutingTest,
    ::testing::Values(
        RouteCase{"KmlInImagePath", "GET /ImageServer/F00/KmlServer.png HTTP/1.1\r\n\r\n",
                  Endpoint::KmlServer},
        RouteCase{"Image", "GET /ImageServer/F00/cross.png HTTP/1.1\r\n", Endpoint::ImageServer},
        RouteCase{"KmzBeforeGps", "GET /KmzServer/GPSServer HTTP/1.1\r\n", Endpoint::KmzServer},
        RouteCase{"SatBeforePos", "GET /SatUpdateServer?PosUpdateServer HTTP/1.1\r\n",
                  Endpoint::SatUpdateServer},
        RouteCase{"PosBeforeGps", "GET /PosUpdateServer?GPSServer HTTP/1.1\r\n",
                  Endpoint::PosUpdateServer},
        RouteCase{"GpsInHeaderOnly", "GET /x HTTP/1.1\r\nReferer: http://h/GPSServer\r\n\r\n",
                  Endpoint::GPSServer},
        RouteCase{"Root", "GET / HTTP/1.1\r\n\r\n", Endpoint::Default},
        RouteCase{"CaseSensitive", "GET /kmlserver HTTP/1.1\r\n", Endpoint::Default},
        RouteCase{"Empty", "", Endpoint::Default},
        RouteCase{"Garbage", "\x01\x02\xff\xfe", Endpoint::Default},
        RouteCase{"WordAfterZeroByte", std::string("GET /\0KmlServer HTTP/1.1", 24),
                  Endpoint::Default}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(Router, PassesTheRequestCutAtItsFirstZeroByte) {
  Router router;
  std::string seen;
  router.setHandler(Endpoint::Default, [&](std::string_view request, std::string& out) {
    seen = request;
    out = "x";
  });
  std::string out;
  router.RouteRequest(std::string_view("GET /a\0rest", 11), out);
  EXPECT_EQ(seen, "GET /a");
  EXPECT_EQ(out, "x");
}

TEST(Router, UninstalledEndpointsAnswerNothing) {
  Router router;
  std::string out;
  router.RouteRequest("GET /KmlServer HTTP/1.1", out);
  EXPECT_TRUE(out.empty());
}

TEST(RequestLine, ViewsStayInsideHostileRequests) {
  EXPECT_EQ(requestUrl("GET /KmlServer?BBOX=1,2 HTTP/1.1\r\nHost: x\r\n"), "/KmlServer?BBOX=1,2");
  EXPECT_EQ(requestUrl("\n\nGET /a HTTP/1.1"), "/a");
  EXPECT_EQ(requestUrl("GET"), "");
  EXPECT_EQ(requestUrl(""), "");
  EXPECT_EQ(requestUrl("GET    /spaced   HTTP/1.1"), "/spaced");
  EXPECT_EQ(firstLine("GET / HTTP/1.1\r\nHost: x"), "GET / HTTP/1.1\r");
  EXPECT_EQ(queryValue("/KmlServer?BBOX=1,2=3"), "1,2=3");
  EXPECT_EQ(queryValue("/KmlServer"), "/KmlServer");
  EXPECT_EQ(queryValue("/x="), "");
  EXPECT_EQ(endpointRemainder("/ImageServer/F00/a.png", "ImageServer/"), "F00/a.png");
  EXPECT_EQ(endpointRemainder("/ImageServer", "ImageServer/"), "");
  EXPECT_EQ(endpointRemainder("/KmzServer/", "KmzServer/"), "");
}

TEST(Envelopes, AreByteExact) {
  std::string out;
  platform::appendFullResponse(out, platform::kKmlContentType, std::string_view("<a/>"));
  EXPECT_EQ(out,
            "HTTP/1.1 200 OK\r\nContent-Length:4\r\n"
            "Content-Type: application/vnd.google-earth.kml+xml\r\n\r\n<a/>");
  out.clear();
  platform::appendFullResponse(out, platform::kPngContentType, std::string_view());
  EXPECT_EQ(out, "HTTP/1.1 200 OK\r\nContent-Length:0\r\nContent-Type: image/png\r\n\r\n");
  out.clear();
  platform::appendFullResponse(out, platform::kKmzContentType, std::string_view("PK"));
  EXPECT_EQ(out,
            "HTTP/1.1 200 OK\r\nContent-Length:2\r\n"
            "Content-Type: application/vnd.google-earth.kmz\r\n\r\nPK");
  EXPECT_EQ(platform::kNotFoundResponse.size(), 19u);
  EXPECT_EQ(platform::kNotFoundResponse, "HTTP/1.1 404 OK\r\n\r\n");
  out.clear();
  platform::appendPlaceholderRedirect(out, 11000);
  EXPECT_EQ(out,
            "HTTP/1.1 302 Found\r\nLocation: http://localhost:11000/ImageServer/F00/default.png"
            "\r\n\r\n");
  out.clear();
  platform::appendPlaceholderRedirect(out, 11000, 3, 2);
  EXPECT_EQ(out,
            "HTTP/1.1 302 Found\r\nLocation: http://localhost:11000/ImageServer/T32/default.png"
            "\r\n\r\n");
  EXPECT_EQ(platform::kEmptyKmlDocument,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<kml xmlns=\"http://earth.google.com/kml/2.1\">\n<Document>\n"
            "<visibility>0</visibility>\n</Document>\n</kml>\n");
}

}  // namespace
}  // namespace tivra::server

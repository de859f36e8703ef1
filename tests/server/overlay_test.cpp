#include "server/overlay_endpoints.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "support/golden.h"
#include "support/process.h"
#include "support/recording_frontend.h"
#include "support/temp_dir.h"
#include "tiles/offset.h"

namespace tivra::server {
namespace {

// The texts of every <tag>...</tag> of a document, in order.
std::vector<std::string> elementTexts(const std::string& doc, const std::string& tag) {
  std::vector<std::string> out;
  const std::string open = "<" + tag + ">", close = "</" + tag + ">";
  for (std::size_t at = doc.find(open); at != std::string::npos; at = doc.find(open, at + 1)) {
    const std::size_t end = doc.find(close, at);
    if (end == std::string::npos) break;
    out.push_back(doc.substr(at + open.size(), end - at - open.size()));
  }
  return out;
}

// The endpoints over an unopened tile cache: the location map works, store calls fail harmlessly.
class OverlayTest : public ::testing::Test {
 protected:
  OverlayTest()
      : cache(dir.path(), frontend, "http:///tiles.example/404.png"),
        context{11000,
                "http://tiles.example/googlechina/maptile?",
                values,
                stateLock,
                cache,
                online,
                [this] { ++refreshes; }} {}

  std::string kml(std::string_view request) {
    std::string out;
    KmlServer(context, request, out);
    return out;
  }
  std::string overlay(std::string_view request) {
    std::string out;
    DefaultEndpoint(context, request, out);
    return out;
  }

  test::TempDir dir;
  test::RecordingFrontend frontend;
  tiles::MapValues values;
  std::mutex stateLock;
  std::atomic<bool> online{true};
  std::atomic<int> refreshes{0};
  store::TileCache cache;
  EndpointContext context;
};

constexpr const char* kBeijing =
    "GET /KmlServer?BBOX=115.9,39.6,116.9,40.2,116.39,39.9,30000,0,0,60,40,1024,768 HTTP/1.1\r\n"
    "Host: localhost:11000\r\n\r\n";

TEST_F(OverlayTest, AutoOffsetTransparentModeGolden) {
  values.colorNo = 3;
  values.bkRange = 45;
  tiles::StoreOffset(cache.locationMap(), {11639000, 3990000}, {-120, 250}, true);
  EXPECT_TRUE(test::matchesGolden(kml(kBeijing), "overlay/auto_t32.kml"));
  EXPECT_EQ(values.xoff, -120);
  EXPECT_EQ(values.yoff, 250);
  EXPECT_EQ(refreshes.load(), 1);
}

struct ColourCase {
  int colorNo;
  int bkRange;
  const char* prefix;
};
class ColourDigitTest : public OverlayTest, public ::testing::WithParamInterface<ColourCase> {};
TEST_P(ColourDigitTest, ModeDigitsStaySingleDigits) {
  values.colorNo = GetParam().colorNo;
  values.bkRange = GetParam().bkRange;
  EXPECT_EQ(tileHrefPrefix(context), GetParam().prefix);
}
// 8 and 9 are single digits the tile endpoint reads as they are; only values beyond are clamped.
INSTANTIATE_TEST_SUITE_P(
    Cases, ColourDigitTest,
    ::testing::Values(ColourCase{7, 0, "http://localhost:11000/ImageServer/T70/"},
                      ColourCase{8, 20, "http://localhost:11000/ImageServer/T81/"},
                      ColourCase{9, 100, "http://localhost:11000/ImageServer/T95/"},
                      ColourCase{10, 120, "http://localhost:11000/ImageServer/T95/"},
                      ColourCase{-1, -20, "http://localhost:11000/ImageServer/T00/"}));

TEST_F(OverlayTest, HandOffsetWithCrossHairGolden) {
  values.autoOffset = false;
  values.transparentMode = false;
  values.xoff = 500;
  values.yoff = -500;
  values.transParency = 100;
  context.port = 12345;
  EXPECT_TRUE(test::matchesGolden(kml(kBeijing), "overlay/manual_f00.kml"));
}

TEST_F(OverlayTest, EnhancementOffPointsStraightAtTheTileSource) {
  values.imageEnhancement = false;
  const std::string doc = kml(kBeijing);
  EXPECT_TRUE(test::matchesGolden(doc, "overlay/direct.kml"));
  EXPECT_EQ(doc.find("localhost"), std::string::npos);
}

TEST_F(OverlayTest, OverlayNamesRunColumnByColumnSouthToNorth) {
  const std::string doc = kml(kBeijing);
  std::vector<std::string> names;
  for (const std::string& name : elementTexts(doc, "name"))
    if (name != "Map") names.push_back(name);
  ASSERT_EQ(names.size(), 15u);
  const int z = 17 - tiles::zoomNumber(30000, 768, 1);
  for (int i = 1, k = 0; i <= 5; ++i)
    for (int j = 4; j >= 2; --j, ++k)
      EXPECT_EQ(names[k],
                "Map " + std::to_string(i) + "/" + std::to_string(j) + "/" + std::to_string(z));
}

// The boxes of one document as north, south, east, west texts, in document order.
std::vector<std::array<std::string, 4>> boxes(const std::string& doc) {
  const auto north = elementTexts(doc, "north"), south = elementTexts(doc, "south");
  const auto east = elementTexts(doc, "east"), west = elementTexts(doc, "west");
  std::vector<std::array<std::string, 4>> out;
  for (std::size_t i = 0;
       i < north.size() && i < south.size() && i < east.size() && i < west.size(); ++i)
    out.push_back({north[i], south[i], east[i], west[i]});
  return out;
}

TEST_F(OverlayTest, OverlaysOfEveryViewTileThePlaneWithoutGaps) {
  std::mt19937 random(11);
  std::uniform_real_distribution<double> lon(-179, 179), lat(-80, 80), range(10, 2e7);
  std::uniform_int_distribution<int> offset(-5000, 5000);
  for (int trial = 0; trial < 300; ++trial) {
    values.xoff = offset(random);
    values.yoff = offset(random);
    values.autoOffset = false;
    const std::string request = "GET /KmlServer?BBOX=0,0,0,0," + std::to_string(lon(random)) + "," +
                                std::to_string(lat(random)) + "," + std::to_string(range(random)) +
                                ",0,0,60,40,1024,768 HTTP/1.1";
    const auto b = boxes(kml(request));
    ASSERT_EQ(b.size(), 15u) << request;
    for (int i = 0; i < 5; ++i) {
      for (int r = 0; r < 3; ++r) {
        const auto& here = b[i * 3 + r];
        if (r < 2) {  // rows run south to north within a column
          ASSERT_EQ(here[0], b[i * 3 + r + 1][1]) << request;
        }
        if (i < 4) {
          ASSERT_EQ(here[2], b[(i + 1) * 3 + r][3]) << request;
        }
      }
    }
  }
}

struct BadRequest {
  const char* name;
  std::string request;
};
class BadViewTest : public OverlayTest, public ::testing::WithParamInterface<BadRequest> {};

TEST_P(BadViewTest, IsAnsweredWithFiniteNumbers) {
  for (const std::string& doc : {kml(GetParam().request), overlay(GetParam().request)}) {
    EXPECT_NE(doc.find("</GroundOverlay>\n"), std::string::npos);
    for (const char* bad : {"nan", "inf", "NAN", "INF"})
      EXPECT_EQ(doc.find(bad), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, BadViewTest,
    ::testing::Values(
        BadRequest{"Missing", "GET /KmlServer?BBOX= HTTP/1.1"},
        BadRequest{"NoEquals", "GET /KmlServer HTTP/1.1"}, BadRequest{"Empty", ""},
        BadRequest{"NonNumeric", "GET /KmlServer?BBOX=a,b,c,d,e,f,g,h,i,j,k,l,m HTTP/1.1"},
        BadRequest{"Huge", "GET /KmlServer?BBOX=0,0,0,0,1e308,-1e308,1e308,0,0,0,0,0,1 HTTP/1.1"},
        BadRequest{"NanInf",
                   "GET /KmlServer?BBOX=nan,inf,nan,inf,nan,inf,nan,0,0,0,0,0,nan HTTP/1.1"},
        BadRequest{"ZeroHeight",
                   "GET /KmlServer?BBOX=0,0,0,0,116,39,1000,0,0,60,40,1024,0 HTTP/1.1"},
        BadRequest{"ZeroRange", "GET /KmlServer?BBOX=0,0,0,0,116,39,0,0,0,60,40,1024,768 HTTP/1.1"},
        BadRequest{"NegativeHeight",
                   "GET /KmlServer?BBOX=0,0,0,0,116,39,9e9,0,0,0,0,0,-2147483648 HTTP/1.1"},
        BadRequest{"ManyTokens", "GET /?" + std::string(5000, ',') +
                                     "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,"
                                     "16,17,18,19,20,21,22,23,24 HTTP/1.1"},
        BadRequest{"Poles", "GET /KmlServer?BBOX=0,0,0,0,-180,90,1,0,0,0,0,0,1 HTTP/1.1"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(OverlayTest, DefaultEndpointClampsTheLevel) {
  const std::string high = overlay("GET /?x=116.39,39.9,20 HTTP/1.1");
  EXPECT_EQ(high, overlay("GET /?x=116.39,39.9,14 HTTP/1.1"));
  EXPECT_NE(high.find("<href>http://localhost:11000/ImageServer/T00/14/"), std::string::npos);
  const std::string low = overlay("GET /?x=116.39,39.9,-3 HTTP/1.1");
  EXPECT_EQ(low, overlay("GET /?x=116.39,39.9,0 HTTP/1.1"));
  EXPECT_EQ(
      low,
      "HTTP/1.1 200 OK\r\nContent-Length:259\r\n"
      "Content-Type: application/vnd.google-earth.kml+xml\r\n\r\n"
      "<GroundOverlay>\n<Icon>\n"
      // 116.39 reads as 11638999 E5: tile (45464, 15585) at level 0.
      "<href>http://localhost:11000/ImageServer/T00/0/1103/0112/2825782/16342102424.png</href>\n"
      "</Icon>\n<LatLonBox>\n<north>39.900160</north>\n<south>39.897600</south>\n"
      "<east>116.390400</east>\n<west>116.387840</west>\n</LatLonBox>\n</GroundOverlay>\n");
}

TEST_F(OverlayTest, ConcurrentRequestsEachUseTheirOwnPlacesOffset) {
  constexpr int kPlaces = 8;
  for (int p = 0; p < kPlaces; ++p)
    tiles::StoreOffset(cache.locationMap(), {10000000 + p * 1000000, 3000000}, {p * 10, -p * 10},
                       true);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int p = 0; p < kPlaces; ++p)
    threads.emplace_back([&, p] {
      const double lon = (10000000 + p * 1000000) / 100000.0;
      const std::string request = "GET /KmlServer?BBOX=0,0,0,0," + std::to_string(lon) +
                                  ",30,5000,0,0,60,40,1024,768 HTTP/1.1";
      for (int i = 0; i < 25; ++i) {
        std::string out;
        KmlServer(context, request, out);
        const auto b = boxes(out);
        const int z = 17 - tiles::zoomNumber(5000, 768, 1);
        const tiles::TileXY t =
            tiles::TileIndex(10000000 + p * 1000000 - p * 10, 3000000 + p * 10, z);
        const auto expected = tiles::mercatorTileBox(t.x - 2, t.y + 1, z);
        char west[64];
        std::snprintf(west, sizeof west, "%f", expected.west + p * 10 * 0.00001);
        if (b.empty() || b[0][3] != west) ++wrong;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(refreshes.load(), kPlaces * 25);
}

}  // namespace
}  // namespace tivra::server

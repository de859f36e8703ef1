// The program with its globe, end to end over real sockets: the globe opens the entry document,
// asks KmlServer for the view's overlay, fetches the tiles through ImageServer from a fake tile
// service, and draws them where they belong.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <mutex>
#include <set>

#include "globe/globe_render.h"
#include "globe/sim_globe.h"
#include "support/app_harness.h"
#include "support/fake_tile_server.h"
#include "support/globe_helpers.h"
#include "support/loopback_http_server.h"
#include "support/process.h"
#include "tiles/offset.h"

namespace tivra::app {
namespace {

using namespace tivra::globe;

using test::bboxValues;
using test::cameraAt;

using namespace std::chrono_literals;

constexpr auto kSettle = 20s;  // upper bound only; waits return as soon as the view is complete

struct TileKey {
  long x = 0;
  long y = 0;
  long zoom = 0;
  auto operator<=>(const TileKey&) const = default;
};

std::string percentDecoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The tile an ImageServer href names ("...?x=1%33&y=0%36&zoom=13" is tile 13, 06, zoom 13).
std::optional<TileKey> tileOf(const std::string& href) {
  if (href.find("/ImageServer/") == std::string::npos) return std::nullopt;
  const std::string text = percentDecoded(href);
  const auto number = [&](const std::string& name) -> std::optional<long> {
    const auto at = text.find(name + "=");
    if (at == std::string::npos) return std::nullopt;
    return std::strtol(text.c_str() + at + name.size() + 1, nullptr, 10);
  };
  const auto x = number("x"), y = number("y"), zoom = number("zoom");
  if (!x || !y || !zoom) return std::nullopt;
  return TileKey{*x, *y, *zoom};
}

std::map<TileKey, LatLonBoxData> overlayBoxes(const SimGlobe& globe) {
  std::map<TileKey, LatLonBoxData> boxes;
  for (const FeatureInfo& f : globe.features()) {
    if (f.kind != FeatureKind::GroundOverlay || !f.box) continue;
    if (const auto key = tileOf(f.iconHref)) boxes[*key] = *f.box;
  }
  return boxes;
}

struct Comparison {
  int matched = 0;
  int mismatched = 0;
  std::set<TileKey> tiles;
  std::string firstMismatch;
};

// Samples each drawn tile at points where the tile is of one colour for 4 pixels around, finds
// the point on the rendered view and compares colours. Tiles are drawn opaque, so the view must
// show the tile's own colour (JPEG tiles within a small tolerance).
Comparison compareWithTiles(const SimGlobe& globe) {
  Comparison result;
  const ViewGeometry view = globe.view();
  const RgbaImage picture = globe.render();
  for (const auto& [key, box] : overlayBoxes(globe)) {
    const platform::Image tile = test::FakeTileServer::tileImage(key.x, key.y, key.zoom);
    const auto texel = [&](int u, int v) { return tile.bgra.data() + (v * 256 + u) * 4; };
    for (int v = 16; v < 240; v += 24) {
      for (int u = 16; u < 240; u += 24) {
        bool uniform = true;
        for (int dv = -4; dv <= 4 && uniform; ++dv)
          for (int du = -4; du <= 4 && uniform; ++du)
            uniform = std::equal(texel(u, v), texel(u, v) + 3, texel(u + du, v + dv));
        if (!uniform) continue;
        const double lon = box.west + (u + 0.5) / 256.0 * (box.east - box.west);
        const double lat = box.north - (v + 0.5) / 256.0 * (box.north - box.south);
        const PixelPos p = toPixel(view, lon, lat);
        const int px = static_cast<int>(std::floor(p.x));
        const int py = static_cast<int>(std::floor(p.y));
        if (px < 0 || py < 0 || px >= picture.width || py >= picture.height) continue;
        // The logo sits in the lower right corner.
        if (px > picture.width / 2 && py > picture.height * 3 / 4) continue;
        const std::uint8_t* shown =
            picture.rgba.data() + (static_cast<std::size_t>(py) * picture.width + px) * 4;
        const std::uint8_t* want = texel(u, v);
        const bool same = std::abs(shown[0] - want[2]) <= 24 &&
                          std::abs(shown[1] - want[1]) <= 24 && std::abs(shown[2] - want[0]) <= 24;
        if (same) {
          ++result.matched;
          result.tiles.insert(key);
        } else if (result.mismatched++ == 0) {
          result.firstMismatch = "tile " + std::to_string(key.x) + "," + std::to_string(key.y) +
                                 " texel " + std::to_string(u) + "," + std::to_string(v) +
                                 " at pixel " + std::to_string(px) + "," + std::to_string(py);
        }
      }
    }
  }
  return result;
}

class GlobeStartupTest : public ::testing::Test {
 protected:
  // Starts the program with its globe looking at Beijing from 3 km, tiles drawn opaque.
  void start(const std::string& extra = "") {
    app = std::make_unique<test::AppHarness>(
        "TileHost=127.0.0.1:" + std::to_string(tiles.port()) +
            "\r\nTransparentMode=false\r\nTransParency=100\r\n"
            "CameraLongitude=116.39\r\nCameraLatitude=39.9\r\nCameraRange=3000\r\n" +
            extra,
        true);
    app->globeOptions().wrapHttpGet = [this](HttpGet inner) {
      return [this, inner = std::move(inner)](std::string_view url) {
        {
          std::lock_guard lock(mutex);
          urls.emplace_back(url);
        }
        return inner(url);
      };
    };
    ASSERT_TRUE(app->start());
    ASSERT_NE(app->globe(), nullptr);
    earth = globe().connect();
  }
  SimGlobe& globe() { return *app->globe(); }
  std::vector<std::string> requested(std::string_view part) {
    std::lock_guard lock(mutex);
    std::vector<std::string> out;
    for (const auto& u : urls)
      if (u.find(part) != std::string::npos) out.push_back(u);
    return out;
  }
  std::string iniText() { return test::readFile(app->dataDir() / "Tivra.ini"); }

  test::FakeTileServer tiles;
  std::mutex mutex;
  std::vector<std::string> urls;
  std::unique_ptr<test::AppHarness> app;
  std::unique_ptr<Earth> earth;
};

TEST_F(GlobeStartupTest, EntryDocumentIsOpenedAndTheViewShowsTheTilesInPlace) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_TRUE(globe().waitIdle(kSettle));

  // The entry document, written to the private directory and opened.
  const auto entryFile = app->options().tempDirectory / "tivra.kml";
  EXPECT_EQ(app->window().entryFile(), entryFile);
  EXPECT_EQ(test::readFile(entryFile), app->window().entryDocument());
  const auto tivra = globe().featureByName("Tivra");
  ASSERT_TRUE(tivra);
  EXPECT_TRUE(tivra->visibility);
  EXPECT_TRUE(app->window().online());
  EXPECT_EQ(app->window().earthVersion(), 402416);
  EXPECT_TRUE(app->frontend().messages().empty());

  // The last overlay request carries the settled view.
  const auto overlays = requested("/KmlServer?");
  ASSERT_FALSE(overlays.empty());
  EXPECT_EQ(overlays.back().rfind("http://localhost:" + std::to_string(app->port()) + "/", 0), 0u);
  const auto values = bboxValues(overlays.back());
  ASSERT_EQ(values.size(), 13u) << overlays.back();
  const ViewGeometry view = globe().view();
  EXPECT_NEAR(view.camera.FocusPointLongitude, 116.39, 1e-9);
  EXPECT_NEAR(values[4], 116.39, 1e-5);
  EXPECT_NEAR(values[5], 39.9, 1e-5);
  EXPECT_NEAR(values[6], 3000, 1e-3);
  EXPECT_EQ(values[12], view.heightPx);
  EXPECT_NEAR(values[0], view.box.west, 1e-5);
  EXPECT_NEAR(values[3], view.box.north, 1e-5);

  // Fifteen tiles, each fetched through ImageServer from the tile service.
  const auto boxes = overlayBoxes(globe());
  ASSERT_EQ(boxes.size(), 15u);
  for (const auto& [key, box] : boxes) {
    const std::string query = "x=" + std::to_string(key.x) + "&y=" + std::to_string(key.y) +
                              "&zoom=" + std::to_string(key.zoom);
    bool fetched = false;
    for (const auto& r : tiles.requests())
      fetched = fetched || percentDecoded(r.target).find(query) != std::string::npos;
    EXPECT_TRUE(fetched) << query;
  }
  EXPECT_GE(requested("/ImageServer/F00/").size(), 15u);

  const Comparison seen = compareWithTiles(globe());
  EXPECT_EQ(seen.mismatched, 0) << seen.firstMismatch;
  EXPECT_GE(seen.matched, 40);
  EXPECT_GE(seen.tiles.size(), 6u);
}

TEST_F(GlobeStartupTest, MovingTheCameraBringsANewOverlayForTheNewView) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_TRUE(globe().waitIdle(kSettle));
  const auto before = overlayBoxes(globe());
  const auto stops = globe().stats().cameraStops;

  earth->SetCamera(cameraAt(121.47, 31.23, 3000), 5.0);
  ASSERT_TRUE(globe().waitCameraStops(stops + 1, kSettle));
  ASSERT_TRUE(globe().waitIdle(kSettle));

  const auto overlays = requested("/KmlServer?");
  ASSERT_FALSE(overlays.empty());
  const auto values = bboxValues(overlays.back());
  ASSERT_EQ(values.size(), 13u);
  EXPECT_NEAR(values[4], 121.47, 1e-5);
  EXPECT_NEAR(values[5], 31.23, 1e-5);

  const auto after = overlayBoxes(globe());
  ASSERT_EQ(after.size(), 15u);
  for (const auto& [key, box] : after) EXPECT_FALSE(before.contains(key));
  // The new overlay surrounds the new centre.
  double west = 180, east = -180, south = 90, north = -90;
  for (const auto& [key, box] : after) {
    west = std::min(west, box.west), east = std::max(east, box.east);
    south = std::min(south, box.south), north = std::max(north, box.north);
  }
  EXPECT_LT(west, 121.47);
  EXPECT_GT(east, 121.47);
  EXPECT_LT(south, 31.23);
  EXPECT_GT(north, 31.23);
  const Comparison seen = compareWithTiles(globe());
  EXPECT_EQ(seen.mismatched, 0) << seen.firstMismatch;
  EXPECT_GE(seen.matched, 40);
}

TEST_F(GlobeStartupTest, StoredOffsetShiftsTheDrawnTiles) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_TRUE(globe().waitIdle(kSettle));
  const auto plain = overlayBoxes(globe());
  ASSERT_EQ(plain.size(), 15u);

  // 0.0061 degrees east and 0.0023 degrees north for this place.
  const tiles::PointE5 offset{610, 230};
  {
    std::lock_guard lock(app->window().stateLock());
    ASSERT_TRUE(tiles::StoreOffset(app->window().tileCache().locationMap(),
                                   tiles::PointE5{11639000, 3990000}, offset, true));
  }
  const auto stops = globe().stats().cameraStops;
  earth->SetCamera(cameraAt(116.39001, 39.90001, 3000), 5.0);
  ASSERT_TRUE(globe().waitCameraStops(stops + 1, kSettle));
  ASSERT_TRUE(globe().waitIdle(kSettle));
  EXPECT_EQ(app->window().mapValues().xoff, 610);
  EXPECT_EQ(app->window().mapValues().yoff, 230);

  const auto shifted = overlayBoxes(globe());
  ASSERT_EQ(shifted.size(), 15u);
  int common = 0;
  for (const auto& [key, box] : shifted) {
    const auto it = plain.find(key);
    if (it == plain.end()) continue;
    ++common;
    EXPECT_NEAR(box.west - it->second.west, 0.0061, 2e-6);
    EXPECT_NEAR(box.east - it->second.east, 0.0061, 2e-6);
    EXPECT_NEAR(box.north - it->second.north, 0.0023, 2e-6);
    EXPECT_NEAR(box.south - it->second.south, 0.0023, 2e-6);
  }
  EXPECT_GE(common, 9);
  // And the picture shows each tile at its shifted place.
  const Comparison seen = compareWithTiles(globe());
  EXPECT_EQ(seen.mismatched, 0) << seen.firstMismatch;
  EXPECT_GE(seen.matched, 40);
}

TEST_F(GlobeStartupTest, TilesThatCannotBeFetchedShowThePlaceholder) {
  tiles.stop();  // nobody answers at TileHost any more
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_TRUE(globe().waitIdle(kSettle));
  int images = 0;
  for (const FetchRecord& r : globe().fetchLog()) {
    if (r.purpose != FetchPurpose::Image || r.url.find("/ImageServer/") == std::string::npos)
      continue;
    ++images;
    EXPECT_TRUE(r.ok) << r.url << ": " << r.error;
  }
  EXPECT_GE(images, 15);
  const RgbaImage picture = globe().render();
  const std::uint8_t* centre = picture.rgba.data() + (384u * 1024 + 512) * 4;
  EXPECT_FALSE(centre[0] == kBackground.r && centre[1] == kBackground.g &&
               centre[2] == kBackground.b);
}

TEST_F(GlobeStartupTest, ShutdownWritesTheCameraAndDeletesTheEntryFile) {
  ASSERT_NO_FATAL_FAILURE(start());
  const auto entryFile = app->window().entryFile();
  ASSERT_TRUE(std::filesystem::exists(entryFile));
  earth->SetCamera(cameraAt(117.25, 31.5, 12345.5), 5.0);
  ASSERT_TRUE(globe().waitCameraStops(1, kSettle));
  earth.reset();
  app->stop();
  const std::string ini = iniText();
  EXPECT_NE(ini.find("CameraLongitude=117.250000\r\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("CameraLatitude=31.500000\r\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("CameraRange=12345.500000\r\n"), std::string::npos) << ini;
  EXPECT_FALSE(std::filesystem::exists(entryFile));
}

TEST_F(GlobeStartupTest, UpdatesChangeAndCreateTheirTargetsAndIgnoreUnknownOnes) {
  ASSERT_NO_FATAL_FAILURE(start());
  // Bare answers, as our own server sends them: the globe's HTTP must take them.
  test::LoopbackHttpServer service;
  const std::string kmlHead =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<kml "
      "xmlns=\"http://earth.google.com/kml/2.0\">\n";
  service.serve("/data.kml",
                test::LoopbackResponse{200,
                                       kmlHead + "<Folder id=\"F\"><name>Data</name>"
                                                 "<Placemark id=\"P\"><name>old</name><Point>"
                                                 "<coordinates>116.39,39.9,0</coordinates></Point>"
                                                 "</Placemark></Folder></kml>\n",
                                       "", true});
  service.serve(
      "/update.kml",
      test::LoopbackResponse{
          200,
          kmlHead + "<NetworkLinkControl><Update><targetHref>" + service.url("/data.kml") +
              "</targetHref>"
              "<Change><Placemark targetId=\"P\"><name>new</name></Placemark></Change>"
              "<Create><Folder targetId=\"F\"><Placemark id=\"C\"><name>made</name></Placemark>"
              "</Folder></Create>"
              "<Change><Placemark targetId=\"nobody\"><name>lost</name></Placemark></Change>"
              "<Create><Folder targetId=\"nowhere\"><Placemark id=\"D\"><name>lost</name>"
              "</Placemark></Folder></Create>"
              "</Update></NetworkLinkControl></kml>\n",
          "", true});
  const auto file = app->dataDir() / "links.kml";
  std::ofstream(file) << kmlHead << "<Document><name>Links</name>"
                      << "<NetworkLink><name>Data</name><Url><href>" << service.url("/data.kml")
                      << "</href></Url></NetworkLink>"
                      << "<NetworkLink><name>Update</name><Url><href>" << service.url("/update.kml")
                      << "</href><refreshMode>onInterval</refreshMode>"
                         "<refreshInterval>0.1</refreshInterval></Url></NetworkLink>"
                      << "</Document></kml>\n";
  earth->OpenKmlFile(file.string(), true);
  ASSERT_TRUE(test::eventually(
      [&] {
        const auto made = globe().featureById("C");
        const auto changed = globe().featureById("P");
        return made && changed && changed->name == "new";
      },
      kSettle));
  EXPECT_EQ(globe().featureById("C")->name, "made");
  EXPECT_FALSE(globe().featureById("D"));
  for (const auto& f : globe().features()) EXPECT_NE(f.name, "lost");
  EXPECT_GE(globe().stats().updateOpsIgnored, 2u);
}

}  // namespace
}  // namespace tivra::app

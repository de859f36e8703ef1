// The globe page in a real headless chromium (software WebGL), served by the program and driven
// as its Earth: the overlay, the camera, documents, picks and the pages that attach.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "gps/gps_page.h"
#include "platform/text.h"
#include "support/app_harness.h"
#include "support/browser_remote.h"
#include "support/fake_tile_server.h"
#include "support/process.h"
#include "support/raw_client.h"
#include "web/browser_globe.h"

namespace tivra::web {
namespace {

using namespace std::chrono_literals;

// True once the globe's picture is mostly the tile service's colours (background, road, park)
// with some park green in it: the overlay is drawn over the whole view.
constexpr std::string_view kOverlayDrawn = R"JS((() => {
  const c = tivra.viewer.scene.canvas, k = document.createElement("canvas");
  k.width = c.width; k.height = c.height;
  const g = k.getContext("2d"); g.drawImage(c, 0, 0);
  const d = g.getImageData(0, 0, c.width, c.height).data;
  const near = (i, r, gr, b) => Math.abs(d[i] - r) < 20 && Math.abs(d[i + 1] - gr) < 20 && Math.abs(d[i + 2] - b) < 20;
  let tile = 0, green = 0, n = d.length / 4;
  for (let i = 0; i < d.length; i += 4) {
    const park = near(i, 166, 203, 148);
    if (park) green++;
    if (park || near(i, 235, 230, 220) || near(i, 255, 255, 255) || near(i, 200, 160, 80)) tile++;
  }
  return tile / n > 0.9 && green / n > 0.02 ? (tile / n) + "," + (green / n) : false;
})())JS";

// The camera's focus point at the centre of the page's view, "lon,lat".
constexpr std::string_view kFocus = R"JS((() => {
  const s = tivra.viewer.scene, c = s.canvas;
  const p = s.camera.pickEllipsoid(new Cesium.Cartesian2(c.clientWidth / 2, c.clientHeight / 2));
  if (!p) return "";
  const g = Cesium.Cartographic.fromCartesian(p);
  return Cesium.Math.toDegrees(g.longitude) + "," + Cesium.Math.toDegrees(g.latitude);
})())JS";

class GlobePageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const auto why = test::BrowserRemote::unavailable()) GTEST_SKIP() << *why;
    app = std::make_unique<test::AppHarness>(
        "TileHost=127.0.0.1:" + std::to_string(tiles.port()) +
            "\r\nTransparentMode=false\r\nTransParency=100\r\n"
            "CameraLongitude=116.39\r\nCameraLatitude=39.9\r\nCameraRange=3000\r\n",
        true);
    app->options().earthFactory = pageGlobe.factory();
    app->options().browserGlobe = &pageGlobe;
    ASSERT_TRUE(app->start());
    earth = pageGlobe.connect();
    browser = std::make_unique<test::BrowserRemote>();
    open("a");
  }
  void TearDown() override {
    browser.reset();
    pageGlobe.close();
    earth.reset();
    app.reset();
  }

  std::string url() const { return "http://127.0.0.1:" + std::to_string(app->port()) + "/globe/"; }
  void open(std::string_view page) {
    std::string error;
    ASSERT_TRUE(browser->value(
        "{\"op\":\"open\",\"page\":\"" + std::string(page) + "\",\"url\":\"" + url() + "\"}",
        error))
        << error;
    ASSERT_TRUE(waitFor(page, "window.tivra && tivra.role !== ''"));
  }
  std::string eval(std::string_view page, std::string_view js) {
    std::string error;
    const auto value = browser->value("{\"op\":\"eval\",\"page\":\"" + std::string(page) +
                                          "\",\"js\":" + test::jsonString(js) + "}",
                                      error);
    EXPECT_TRUE(value) << error;
    return value.value_or("");
  }
  // The expression's value once truthy; nullopt (with the reason logged) when it never was.
  std::optional<std::string> waitFor(std::string_view page, std::string_view js,
                                     std::chrono::milliseconds ms = 60s) {
    std::string error;
    const auto value = browser->value("{\"op\":\"wait\",\"page\":\"" + std::string(page) +
                                          "\",\"ms\":" + std::to_string(ms.count()) +
                                          ",\"js\":" + test::jsonString(js) + "}",
                                      error, ms + 10s);
    if (!value) ADD_FAILURE() << "waiting for " << js << ": " << error;
    return value;
  }
  // "lon,lat" of the page's view centre is within tolerance of (lon, lat).
  std::string focusNear(double lon, double lat, double tolerance = 1e-3) {
    return "(() => { const f = " + std::string(kFocus) + ".split(',').map(Number); return " +
           "Math.abs(f[0] - " + std::to_string(lon) + ") < " + std::to_string(tolerance) +
           " && Math.abs(f[1] - " + std::to_string(lat) + ") < " + std::to_string(tolerance) +
           "; })()";
  }
  bool cameraReported() {
    return test::eventually(
        [&] {
          try {
            earth->GetCamera(true);
            return true;
          } catch (const globe::EarthError&) {
            return false;
          }
        },
        30s);
  }

  test::FakeTileServer tiles;
  BrowserGlobe pageGlobe;
  std::unique_ptr<test::AppHarness> app;
  std::unique_ptr<globe::Earth> earth;
  std::unique_ptr<test::BrowserRemote> browser;
};

TEST_F(GlobePageTest, TheViewsOverlayIsDrawnAndIsWhatGoogleEarthGets) {
  ASSERT_TRUE(waitFor("a", kOverlayDrawn));
  if (const char* picture = std::getenv("TIVRA_WEB_PICTURE")) {
    std::string error;
    EXPECT_TRUE(browser->value(
        "{\"op\":\"shot\",\"page\":\"a\",\"file\":" + test::jsonString(picture) + "}", error))
        << error;
  }
  std::string error;
  const auto requests =
      browser->value("{\"op\":\"requests\",\"page\":\"a\",\"match\":\"/KmlServer?\"}", error);
  ASSERT_TRUE(requests) << error;
  const auto at = requests->rfind("BBOX=");
  ASSERT_NE(at, std::string::npos) << *requests;
  const std::string query = requests->substr(at, requests->find('"', at) - at);
  // The page's 13 view values, its commas escaped.
  std::vector<std::string> values;
  for (std::string_view rest = std::string_view(query).substr(5);;) {
    const auto comma = rest.find("%2C");
    values.emplace_back(rest.substr(0, comma));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 3);
  }
  ASSERT_EQ(values.size(), 13u) << query;
  EXPECT_NEAR(platform::parseReal(values[4]), 116.39, 1e-4);
  EXPECT_NEAR(platform::parseReal(values[5]), 39.9, 1e-4);
  EXPECT_NEAR(platform::parseReal(values[6]), 3000, 1);
  EXPECT_NEAR(platform::parseReal(values[7]), -90, 0.01);  // the page's tilt looking down

  // The same view as Google Earth asks it: plain commas, tilt and heading 0. Its answer is bare.
  values[7] = values[8] = "0";
  std::string earthQuery = "BBOX=";
  for (std::size_t i = 0; i < values.size(); ++i) earthQuery += (i ? "," : "") + values[i];
  const auto earthAnswer = test::exchange(
      app->port(), "GET /KmlServer?" + earthQuery +
                       " HTTP/1.1\r\nHost: localhost:" + std::to_string(app->port()) + "\r\n\r\n");
  ASSERT_TRUE(earthAnswer);
  EXPECT_TRUE(earthAnswer->starts_with("<?xml")) << earthAnswer->substr(0, 40);
  const std::string pageAnswer = eval("a", "fetch('KmlServer?" + query + "').then(r => r.text())");
  EXPECT_EQ(pageAnswer, *earthAnswer);
  std::size_t overlays = 0;
  for (auto p = pageAnswer.find("<GroundOverlay>"); p != std::string::npos;
       p = pageAnswer.find("<GroundOverlay>", p + 1))
    ++overlays;
  EXPECT_EQ(overlays, 15u);
  EXPECT_EQ(eval("a", "JSON.stringify([])"), "[]");
  const auto log = browser->value("{\"op\":\"log\",\"page\":\"a\"}", error);
  EXPECT_EQ(log.value_or(error), "[]");
}

TEST_F(GlobePageTest, TheEarthFliesPicksAndShowsARoute) {
  ASSERT_TRUE(cameraReported());
  const globe::Camera target{31.23, 121.47, 0.0, 1, 8000.0, 30.0, 45.0};
  earth->SetCamera(target, 1.0);  // a flight of a second
  const auto reached = [&] {
    const globe::Camera c = earth->GetCamera(true);
    return std::abs(c.FocusPointLatitude - target.FocusPointLatitude) < 1e-4 &&
           std::abs(c.FocusPointLongitude - target.FocusPointLongitude) < 1e-4 &&
           std::abs(c.Range - target.Range) < 8 && std::abs(c.Tilt - target.Tilt) < 0.1 &&
           std::abs(c.Azimuth - target.Azimuth) < 0.1;
  };
  ASSERT_TRUE(test::eventually(reached, 30s));
  ASSERT_TRUE(waitFor("a", focusNear(121.47, 31.23, 1e-4)));

  // A screen point off the centre lands where the page's own globe puts it.
  for (const auto& [x, y] : {std::pair{0.4, -0.3}, std::pair{-0.7, 0.5}}) {
    const globe::TerrainPoint point = earth->GetPointOnTerrainFromScreenCoords(x, y);
    const std::string js =
        "(() => { const s = tivra.viewer.scene, c = s.canvas; const p = s.camera.pickEllipsoid("
        "new Cesium.Cartesian2((" +
        std::to_string(x) + " + 1) / 2 * c.clientWidth, (1 - (" + std::to_string(y) +
        ")) / 2 * c.clientHeight)); const g = "
        "Cesium.Cartographic.fromCartesian(p); return Cesium.Math.toDegrees(g.longitude) + ',' + "
        "Cesium.Math.toDegrees(g.latitude); })()";
    const std::string shown = eval("a", js);
    const auto comma = shown.find(',');
    ASSERT_NE(comma, std::string::npos) << shown;
    EXPECT_NEAR(point.Longitude, platform::parseReal(shown.substr(0, comma)), 1e-4);
    EXPECT_NEAR(point.Latitude, platform::parseReal(shown.substr(comma + 1)), 1e-4);
    EXPECT_GT(std::abs(point.Longitude - target.FocusPointLongitude), 1e-3);
  }

  // The page's pick mode: a drag on the globe sets the navigation page's start point, the point
  // under the pointer where it is released.
  std::string error;
  ASSERT_TRUE(browser->value(R"({"op":"click","page":"a","selector":"#pick"})", error)) << error;
  ASSERT_TRUE(
      browser->value(R"({"op":"drag","page":"a","path":[[100,100],[200,150],[300,200]]})", error))
      << error;
  const std::string under = eval(
      "a",
      "(() => { const p = tivra.viewer.scene.camera.pickEllipsoid(new Cesium.Cartesian2(300, 200));"
      " const g = Cesium.Cartographic.fromCartesian(p); return Cesium.Math.toDegrees(g.longitude)"
      " + ',' + Cesium.Math.toDegrees(g.latitude); })()");
  std::string start;
  bool dragging = true;
  const auto picked = [&] {
    app->onLoop([&] {
      start = app->window().navPage()->startText;
      dragging = app->window().navPage()->dragging;
    });
    return !start.empty() && !dragging;
  };
  ASSERT_NE(app->window().navPage(), nullptr);
  ASSERT_TRUE(test::eventually(picked, 10s));
  const auto pickedComma = start.find(',');
  const auto underComma = under.find(',');
  ASSERT_NE(pickedComma, std::string::npos);
  ASSERT_NE(underComma, std::string::npos) << under;
  EXPECT_NEAR(platform::parseReal(start.substr(0, pickedComma)),
              platform::parseReal(under.substr(0, underComma)), 1e-4);
  EXPECT_NEAR(platform::parseReal(start.substr(pickedComma + 1)),
              platform::parseReal(under.substr(underComma + 1)), 1e-4);

  // A route document's line, drawn in red across the view.
  earth->SetCamera({31.23, 121.47, 0.0, 1, 8000.0, 0.0, 0.0}, globe::kInstantSpeed);
  const auto route = app->dataDir() / "route.kml";
  std::ofstream(route) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<kml xmlns=\"http://earth.google.com/kml/2.1\">\n<Document>\n"
                          "<name>Route</name>\n<Placemark>\n<name>Line</name>\n"
                          "<Style><LineStyle><color>ff0000ff</color><width>8</width></LineStyle>"
                          "</Style>\n<LineString>\n<coordinates>121.455,31.23,0 121.485,31.23,0"
                          "</coordinates>\n</LineString>\n</Placemark>\n</Document>\n</kml>\n";
  earth->OpenKmlFile(route.string(), true);
  EXPECT_TRUE(earth->GetFeatureByName("Route"));
  EXPECT_TRUE(waitFor("a", R"JS((() => {
    const c = tivra.viewer.scene.canvas, k = document.createElement("canvas");
    k.width = c.width; k.height = c.height;
    const g = k.getContext("2d"); g.drawImage(c, 0, 0);
    const d = g.getImageData(0, c.height / 2 - 20, c.width, 40).data;
    let red = 0;
    for (let i = 0; i < d.length; i += 4) if (d[i] > 200 && d[i + 1] < 60 && d[i + 2] < 60) red++;
    return red > 200 ? red : false;
  })())JS"));
}

TEST_F(GlobePageTest, OnePageDrivesAnotherWatchesAndAReloadedPageAttachesAgain) {
  ASSERT_TRUE(pageGlobe.waitAttached(30s));
  open("b");
  ASSERT_TRUE(waitFor("b", "tivra.role === 'watch'"));
  ASSERT_TRUE(waitFor("a", "tivra.role === 'drive'"));
  earth->SetCamera({22.54, 114.06, 0.0, 1, 20000.0, 0.0, 0.0}, globe::kInstantSpeed);
  EXPECT_TRUE(waitFor("a", focusNear(114.06, 22.54)));
  EXPECT_TRUE(waitFor("b", focusNear(114.06, 22.54)));

  // The reloaded page says goodbye: the watcher drives, the page comes back and watches.
  std::string error;
  ASSERT_TRUE(browser->value("{\"op\":\"reload\",\"page\":\"a\"}", error)) << error;
  ASSERT_TRUE(waitFor("b", "tivra.role === 'drive'"));
  ASSERT_TRUE(waitFor("a", "window.tivra && tivra.role === 'watch'"));
  earth->SetCamera({30.0, 120.0, 0.0, 1, 20000.0, 0.0, 0.0}, globe::kInstantSpeed);
  EXPECT_TRUE(waitFor("a", focusNear(120.0, 30.0)));

  // No page: the globe is not running, and nothing waits for it. A goodbye is a beacon, which
  // the browser may drop while it closes a page: such a page is gone once its poll's hold and
  // the time without a poll have passed.
  ASSERT_TRUE(browser->value("{\"op\":\"close\",\"page\":\"a\"}", error)) << error;
  ASSERT_TRUE(browser->value("{\"op\":\"close\",\"page\":\"b\"}", error)) << error;
  const BrowserGlobeOptions times;
  ASSERT_TRUE(test::eventually([&] { return !pageGlobe.attached(); },
                               times.pollHold + times.pageGone + 5s));
  EXPECT_THROW(earth->GetCamera(true), globe::EarthError);
  EXPECT_THROW(earth->SetCamera({30.0, 120.0, 0.0, 1, 1000.0, 0.0, 0.0}, 1.0), globe::EarthError);
  EXPECT_THROW(earth->GetPointOnTerrainFromScreenCoords(0, 0), globe::EarthError);
}

TEST_F(GlobePageTest, TheGpsDemoMovesTheCarAndTheCameraFollows) {
  ASSERT_TRUE(cameraReported());
  gps::GpsPageSettings settings;  // the built-in demo recording, following the car
  settings.timeFactor = 4.0;
  app->onLoop([&] {
    app->window().gpsPage().settings() = settings;
    app->window().gpsPage().start();
  });
  // The car's marker, "lon,lat".
  const std::string car =
      "(() => { const e = tivra.models.entities.getById('Car'); if (!e) return false; "
      "const g = Cesium.Cartographic.fromCartesian(e.position.getValue(Cesium.JulianDate.now())); "
      "return Cesium.Math.toDegrees(g.longitude).toFixed(6) + ',' + "
      "Cesium.Math.toDegrees(g.latitude).toFixed(6); })()";
  const auto first = waitFor("a", car);
  ASSERT_TRUE(first);
  const auto moved = waitFor("a", "((c) => c && c !== '" + *first + "' && c)(" + car + ")");
  ASSERT_TRUE(moved);

  // The camera follows: tilted 66 degrees, close to a focus near the car (200 m from the car's
  // height; the focus read back lies on the ground further along the view).
  const auto following = [&] {
    globe::Camera c;
    try {
      c = earth->GetCamera(true);
    } catch (const globe::EarthError& e) {
      ADD_FAILURE() << e.what();
      return true;
    }
    const std::string at = eval("a", car);
    const auto comma = at.find(',');
    if (comma == std::string::npos) return false;
    return std::abs(c.FocusPointLongitude - platform::parseReal(at.substr(0, comma))) < 0.01 &&
           std::abs(c.FocusPointLatitude - platform::parseReal(at.substr(comma + 1))) < 0.01 &&
           c.Range < 1000.0 && std::abs(c.Tilt - 66.0) < 0.5;
  };
  EXPECT_TRUE(test::eventually(following, 60s));

  // The car's update link keeps refreshing (every 2 s): an answer carrying <Update> must not
  // end it.
  const auto updates = [&] {
    std::string error;
    const auto urls = browser->value(
        "{\"op\":\"requests\",\"page\":\"a\",\"match\":\"/PosUpdateServer/\"}", error);
    std::size_t n = 0;
    for (auto at = urls ? urls->find("PosUpdateServer") : std::string::npos;
         at != std::string::npos; at = urls->find("PosUpdateServer", at + 1))
      ++n;
    return n;
  };
  const std::size_t seen = updates();
  EXPECT_TRUE(test::eventually([&] { return updates() >= seen + 3; }, 30s)) << seen;
  app->onLoop([&] { app->window().gpsPage().stop(); });
}

}  // namespace
}  // namespace tivra::web

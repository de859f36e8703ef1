#include "globe/sim_globe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <thread>

#include "support/globe_helpers.h"
#include "support/loopback_http_server.h"
#include "support/temp_dir.h"
#include "support/test_http_get.h"
#include "support/test_image.h"

namespace tivra::globe {
namespace {

using test::bboxValues;
using test::cameraAt;

using namespace std::chrono_literals;
using test::LoopbackHttpServer;
using test::LoopbackResponse;

constexpr auto kWait = 5s;  // upper bound only; every wait returns as soon as its condition holds

std::string kml(const std::string& inner) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<kml xmlns=\"http://earth.google.com/kml/2.0\">\n" +
         inner + "</kml>\n";
}

LoopbackResponse kmlAnswer(const std::string& body) {
  return LoopbackResponse{200, body, "application/vnd.google-earth.kml+xml", false};
}

class SimGlobeTest : public ::testing::Test {
 protected:
  SimGlobeOptions options() const {
    SimGlobeOptions o;
    o.flightBase = 20ms;  // speed 0.1 flies 200 ms
    o.maxFlight = 400ms;
    o.minRefreshPeriod = 10ms;
    o.initialCamera = cameraAt(116.4, 39.9, 10000.0);
    return o;
  }
  std::unique_ptr<SimGlobe> makeGlobe(SimGlobeOptions o) {
    return std::make_unique<SimGlobe>(
        SimGlobeDeps{test::testHttpGet, test::decodeTestImage, nullptr}, o);
  }
  std::unique_ptr<SimGlobe> makeGlobe() { return makeGlobe(options()); }

  std::string writeFile(const std::string& name, const std::string& text) {
    const auto path = m_dir / name;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }

  std::string linkKml(const std::string& name, const std::string& href, const std::string& url) {
    return kml("<Document><name>Doc</name>\n<NetworkLink>\n<name>" + name +
               "</name>\n<Url>\n<href>" + href + "</href>\n" + url +
               "</Url>\n</NetworkLink>\n</Document>\n");
  }

  LoopbackHttpServer m_server;
  test::TempDir m_dir;
};

TEST_F(SimGlobeTest, FetchesALinkOnLoadAndShowsItsDocument) {
  m_server.serve("/doc.kml",
                 kmlAnswer(kml("<Folder><name>Fetched</name><Placemark><name>Inside</name>"
                               "<Point><coordinates>116.4,39.9,0</coordinates></Point>"
                               "</Placemark></Folder>")));
  auto globe = makeGlobe();
  auto earth = globe->connect();
  earth->OpenKmlFile(writeFile("a.kml", linkKml("L", m_server.url("/doc.kml"), "")), true);
  ASSERT_TRUE(globe->waitIdle(kWait));
  EXPECT_EQ(m_server.requestsFor("/doc.kml").size(), 1u);  // onChange: once
  const auto inside = globe->featureByName("Inside");
  ASSERT_TRUE(inside);
  EXPECT_EQ(inside->points.size(), 1u);
  EXPECT_TRUE(earth->GetFeatureByName("Fetched"));
  const auto link = globe->featureByName("L");
  ASSERT_TRUE(link);
  EXPECT_EQ(link->lastLinkUrl, m_server.url("/doc.kml"));
  EXPECT_EQ(link->childCount, 1u);
}

TEST_F(SimGlobeTest, ViewRefreshSendsTheCameraAfterEachStop) {
  m_server.serve("/KmlServer", kmlAnswer(kml("<Folder><name>Map</name></Folder>")));
  auto globe = makeGlobe();
  auto earth = globe->connect();
  earth->OpenKmlFile(
      writeFile("entry.kml",
                linkKml("Tivra Overlay", m_server.url("/KmlServer?"),
                        "<viewRefreshMode>onStop</viewRefreshMode>\n"
                        "<viewRefreshTime>0.1</viewRefreshTime>\n<viewFormat>BBOX=[bboxWest],"
                        "[bboxSouth],[bboxEast],[bboxNorth],[lookatLon],[lookatLat],[lookatRange],"
                        "[lookatTilt],[lookatHeading],[horizFov],[vertFov],[horizPixels],"
                        "[vertPixels]</viewFormat>\n")),
      true);
  ASSERT_TRUE(m_server.waitForRequests("/KmlServer", 1, kWait));
  ASSERT_TRUE(globe->waitIdle(kWait));
  const std::size_t before = m_server.requestsFor("/KmlServer").size();

  struct Move {
    Camera camera;
    double speed;
  };
  for (const Move& move :
       {Move{cameraAt(121.47, 31.23, 20000.0), 5.0}, Move{cameraAt(113.26, 23.13, 3000.0), 1.0}}) {
    const auto start = std::chrono::steady_clock::now();
    earth->SetCamera(move.camera, move.speed);
    const std::size_t want = m_server.requestsFor("/KmlServer").size() + 1;
    ASSERT_TRUE(m_server.waitForRequests("/KmlServer", want, kWait));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);  // the refresh delay is kept
    const std::string url = m_server.requestsFor("/KmlServer").back();
    EXPECT_TRUE(url.starts_with(m_server.url("/KmlServer?BBOX="))) << url;
    const std::vector<double> v = bboxValues(url);
    ASSERT_EQ(v.size(), 13u) << url;
    EXPECT_NEAR(v[4], move.camera.FocusPointLongitude, 1e-6);
    EXPECT_NEAR(v[5], move.camera.FocusPointLatitude, 1e-6);
    EXPECT_NEAR(v[6], move.camera.Range, 1e-6);
    EXPECT_EQ(v[11], 1024.0);
    EXPECT_EQ(v[12], 768.0);
    // The box follows the range and the view's vertical field of view.
    const double vertFov = v[10] * std::numbers::pi / 180.0;
    EXPECT_NEAR(v[3] - v[1], 2 * v[6] * std::tan(vertFov / 2) / kMetresPerDegree, 1e-5);
    EXPECT_NEAR((v[0] + v[2]) / 2, v[4], 1e-5);
    EXPECT_NEAR((v[1] + v[3]) / 2, v[5], 1e-5);
    ASSERT_TRUE(globe->waitIdle(kWait));
  }
  EXPECT_EQ(m_server.requestsFor("/KmlServer").size(), before + 2);
  EXPECT_GE(globe->stats().cameraStops, 2u);
}

TEST_F(SimGlobeTest, IntervalLinksArePolledWithTheViewAppended) {
  m_server.serve("/poll", kmlAnswer(kml("<Folder/>")));
  auto globe = makeGlobe();
  globe->connect()->OpenKmlFile(
      writeFile("p.kml", linkKml("Poll", m_server.url("/poll"),
                                 "<refreshMode>onInterval</refreshMode>\n"
                                 "<refreshInterval>0.05</refreshInterval>\n"
                                 "<viewFormat>c=[lookatLon],[lookatLat]</viewFormat>\n")),
      true);
  ASSERT_TRUE(m_server.waitForRequests("/poll", 4, kWait));
  for (const std::string& url : m_server.requestsFor("/poll")) {
    EXPECT_EQ(url, m_server.url("/poll?c=116.400000,39.900000"));
  }
}

TEST_F(SimGlobeTest, FeaturesAreFoundByNameAndTheirVisibilityChanges) {
  auto globe = makeGlobe();
  auto earth = globe->connect();
  earth->OpenKmlFile(writeFile("v.kml", kml("<Document><name>Top</name>"
                                            "<Folder><name>Hidden</name><visibility>0</visibility>"
                                            "</Folder><Placemark><name>Shown</name></Placemark>"
                                            "</Document>")),
                     true);
  auto hidden = earth->GetFeatureByName("Hidden");
  auto shown = earth->GetFeatureByName("Shown");
  ASSERT_TRUE(hidden && shown);
  EXPECT_FALSE(hidden->Visibility());
  EXPECT_TRUE(shown->Visibility());
  hidden->putVisibility(true);
  shown->putVisibility(false);
  EXPECT_TRUE(globe->connect()->GetFeatureByName("Hidden")->Visibility());
  EXPECT_FALSE(shown->Visibility());
  EXPECT_EQ(shown->Name(), "Shown");
  EXPECT_EQ(earth->GetFeatureByName("Nobody"), nullptr);

  // Loading the same file again replaces it: old handles no longer reach a feature.
  earth->OpenKmlFile(writeFile("v.kml", kml("<Folder><name>Other</name></Folder>")), true);
  EXPECT_THROW(shown->Visibility(), EarthError);
  EXPECT_EQ(earth->GetFeatureByName("Shown"), nullptr);
}

TEST_F(SimGlobeTest, HiddenLinksWaitUntilShown) {
  m_server.serve("/h", kmlAnswer(kml("<Folder/>")));
  auto globe = makeGlobe();
  auto earth = globe->connect();
  earth->OpenKmlFile(
      writeFile("h.kml", kml("<NetworkLink><name>H</name><visibility>0</visibility><Link><href>" +
                             m_server.url("/h") + "</href></Link></NetworkLink>")),
      true);
  ASSERT_TRUE(globe->waitIdle(kWait));
  EXPECT_TRUE(m_server.requestsFor("/h").empty());
  earth->GetFeatureByName("H")->putVisibility(true);
  EXPECT_TRUE(m_server.waitForRequests("/h", 1, kWait));
}

TEST_F(SimGlobeTest, SetFeatureViewFliesToTheLookAtAndSettles) {
  SimGlobeOptions o = options();
  o.flightBase = 100ms;  // speed 0.1 flies one second
  o.maxFlight = 2s;
  auto globe = makeGlobe(o);
  auto earth = globe->connect();
  earth->OpenKmlFile(
      writeFile("t.kml", kml("<Document><name>Tivra</name><LookAt>"
                             "<longitude>121.5</longitude><latitude>31.2</latitude>"
                             "<range>1500</range><tilt>30</tilt><heading>10</heading>"
                             "</LookAt></Document>")),
      true);
  const std::uint64_t stops = globe->stats().cameraStops;
  auto feature = earth->GetFeatureByName("Tivra");
  ASSERT_TRUE(feature);
  earth->SetFeatureView(*feature, 0.1);
  const Camera during = earth->GetCamera(true);
  EXPECT_LT(during.FocusPointLongitude, 121.5);  // the flight has only begun
  ASSERT_TRUE(globe->waitCameraStops(stops + 1, kWait));
  const Camera after = earth->GetCamera(true);
  EXPECT_DOUBLE_EQ(after.FocusPointLongitude, 121.5);
  EXPECT_DOUBLE_EQ(after.FocusPointLatitude, 31.2);
  EXPECT_DOUBLE_EQ(after.Range, 1500.0);
  EXPECT_DOUBLE_EQ(after.Tilt, 30.0);
  EXPECT_DOUBLE_EQ(after.Azimuth, 10.0);
  EXPECT_TRUE(globe->waitIdle(kWait));
}

TEST_F(SimGlobeTest, SetFeatureViewFramesGeometryWithoutLookAt) {
  auto globe = makeGlobe();
  auto earth = globe->connect();
  earth->OpenKmlFile(
      writeFile("g.kml", kml("<Folder><name>F</name><Placemark><name>A</name><Point><coordinates>"
                             "100,30</coordinates></Point></Placemark><Placemark><Point>"
                             "<coordinates>102,32</coordinates></Point></Placemark></Folder>"
                             "<Folder><name>Empty</name></Folder>")),
      true);
  earth->SetFeatureView(*earth->GetFeatureByName("F"), 5.0);
  const Camera c = earth->GetCamera(true);
  EXPECT_DOUBLE_EQ(c.FocusPointLongitude, 101.0);
  EXPECT_DOUBLE_EQ(c.FocusPointLatitude, 31.0);
  const ViewBox box = globe->view().box;
  EXPECT_LE(box.west, 100.0);
  EXPECT_GE(box.east, 102.0);
  EXPECT_LE(box.south, 30.0);
  EXPECT_GE(box.north, 32.0);
  EXPECT_THROW(earth->SetFeatureView(*earth->GetFeatureByName("Empty"), 5.0), EarthError);
}

TEST_F(SimGlobeTest, ScreenCoordinatesMapOntoTheView) {
  auto globe = makeGlobe();
  auto earth = globe->connect();
  earth->SetCamera(cameraAt(114.0, 22.5, 8000.0), 5.0);
  const TerrainPoint centre = earth->GetPointOnTerrainFromScreenCoords(0, 0);
  EXPECT_DOUBLE_EQ(centre.Longitude, 114.0);
  EXPECT_DOUBLE_EQ(centre.Latitude, 22.5);
  EXPECT_EQ(centre.Altitude, 0.0);
  const ViewBox box = globe->view().box;
  const TerrainPoint ll = earth->GetPointOnTerrainFromScreenCoords(-1, -1);
  const TerrainPoint ur = earth->GetPointOnTerrainFromScreenCoords(1, 1);
  EXPECT_NEAR(ll.Longitude, box.west, 1e-9);
  EXPECT_NEAR(ll.Latitude, box.south, 1e-9);
  EXPECT_NEAR(ur.Longitude, box.east, 1e-9);
  EXPECT_NEAR(ur.Latitude, box.north, 1e-9);
  EXPECT_THROW(earth->GetPointOnTerrainFromScreenCoords(1.2, 0), EarthError);
  EXPECT_THROW(earth->GetPointOnTerrainFromScreenCoords(0, NAN), EarthError);
}

TEST_F(SimGlobeTest, CameraValuesAreCheckedAndKept) {
  auto globe = makeGlobe();
  auto earth = globe->connect();
  Camera c = cameraAt(10, 20, 200);
  c.Azimuth = 270;
  c.Tilt = 66;
  c.FocusPointAltitudeMode = 2;
  earth->SetCamera(c, 5.0);
  const Camera got = earth->GetCamera(true);
  EXPECT_EQ(got.Azimuth, 270.0);
  EXPECT_EQ(got.Tilt, 66.0);
  EXPECT_EQ(got.FocusPointAltitudeMode, 2);
  c.Range = NAN;
  EXPECT_THROW(earth->SetCamera(c, 1.0), EarthError);
  EXPECT_THROW(earth->putAutoPilotSpeed(INFINITY), EarthError);
  earth->putAutoPilotSpeed(4.5);
  EXPECT_EQ(globe->connect()->AutoPilotSpeed(), 4.5);
}

TEST_F(SimGlobeTest, ReportsVersionOnlineStateAndInitialisation) {
  SimGlobeOptions o = options();
  o.initializeDelay = 500ms;
  o.online = false;
  const auto start = std::chrono::steady_clock::now();
  auto globe = makeGlobe(o);
  auto earth = globe->connect();
  EXPECT_FALSE(earth->IsInitialized());
  while (!earth->IsInitialized() && std::chrono::steady_clock::now() - start < kWait) {
    std::this_thread::sleep_for(20ms);  // polled like the start-up code does
  }
  EXPECT_TRUE(earth->IsInitialized());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 500ms);
  EXPECT_EQ(earth->VersionMajor() * 100000 + earth->VersionMinor() * 10000 + earth->VersionBuild(),
            402416);
  EXPECT_FALSE(earth->IsOnline());
  globe->setOnline(true);
  EXPECT_TRUE(earth->IsOnline());
  EXPECT_NE(earth->GetRenderHwnd(), 0u);
}

TEST_F(SimGlobeTest, UpdatesCreateAndChangeTheirTargetsOnly) {
  const std::string gpsUrl = m_server.url("/GPSServer/1.kml");
  m_server.serve(
      "/GPSServer/1.kml",
      kmlAnswer(kml("<Document><LookAt><longitude>1</longitude><latitude>1.5</latitude>"
                    "<range>300</range></LookAt><name>Tivra GPS</name>"
                    "<Folder id=\"TrackPoints\"><name>Track Points</name>"
                    "<Placemark id=\"Point0\"><name>Point0</name></Placemark></Folder>"
                    "<Folder id=\"TrackSegments\"><Placemark id=\"Path0\"><name>Path0</name>"
                    "<LineString><coordinates>1,1,0</coordinates></LineString></Placemark></Folder>"
                    "<Placemark id=\"Car\"><name>TivraCar</name><Model><Location><longitude>1"
                    "</longitude><latitude>1</latitude></Location><Link><href>" +
                    m_server.url("/KmzServer/TivraCar.kmz/models/TivraCar.dae") +
                    "</href></Link></Model></Placemark>"
                    "<NetworkLink id=\"NetUpdate\"><name>Position Update</name><Link><href>" +
                    m_server.url("/PosUpdateServer/Update.kml") +
                    "</href><refreshMode>onInterval</refreshMode><refreshInterval>0.05"
                    "</refreshInterval></Link></NetworkLink></Document>")));
  std::atomic<int> polls{0};
  m_server.serve("/PosUpdateServer/Update.kml", [&](const std::string&) {
    std::string ops;
    if (polls++ == 0) {
      ops =
          "<Create><Folder targetId=\"TrackPoints\"><Placemark id=\"Point1\"><name>Point1</name>"
          "<Point><coordinates>2,2,0</coordinates></Point></Placemark></Folder></Create>"
          "<Change><Placemark targetId=\"Car\"><Model><Location><longitude>2</longitude>"
          "<latitude>2.5</latitude></Location><Orientation><heading>45</heading></Orientation>"
          "</Model></Placemark></Change>"
          "<Change><Placemark targetId=\"Path0\"><name>Path0</name><LineString><coordinates>"
          "1,1,0 2,2,0</coordinates></LineString></Placemark></Change>"
          "<Create><Folder targetId=\"Nowhere\"><Placemark id=\"Lost\"/></Folder></Create>"
          "<Change><Placemark targetId=\"Ghost\"><name>x</name></Placemark></Change>";
    }
    return kmlAnswer(kml("<NetworkLinkControl><Update><targetHref>" + gpsUrl + "</targetHref>" +
                         ops + "</Update></NetworkLinkControl>"));
  });
  m_server.serve("/KmzServer/TivraCar.kmz/models/TivraCar.dae", LoopbackResponse{200, "dae"});

  auto globe = makeGlobe();
  globe->connect()->OpenKmlFile(
      writeFile("gps.kml", kml("<NetworkLink><flyToView>1</flyToView><name>Tivra GPS</name><Link>"
                               "<href>" +
                               gpsUrl + "</href></Link></NetworkLink>")),
      true);
  ASSERT_TRUE(m_server.waitForRequests("/PosUpdateServer/Update.kml", 3, kWait));
  ASSERT_TRUE(globe->waitIdle(kWait));

  const Camera flown = globe->connect()->GetCamera(true);  // flyToView of the GPS link
  EXPECT_DOUBLE_EQ(flown.FocusPointLatitude, 1.5);
  EXPECT_DOUBLE_EQ(flown.Range, 300.0);
  const auto points = globe->featureById("TrackPoints");
  ASSERT_TRUE(points);
  EXPECT_EQ(points->childCount, 2u);
  ASSERT_TRUE(globe->featureById("Point1"));
  const auto car = globe->featureById("Car");
  ASSERT_TRUE(car && car->model && car->model->location);
  EXPECT_DOUBLE_EQ(car->model->location->lat, 2.5);
  EXPECT_DOUBLE_EQ(*car->model->heading, 45.0);
  EXPECT_EQ(car->name, "TivraCar");
  const auto path = globe->featureById("Path0");
  ASSERT_TRUE(path);
  ASSERT_EQ(path->lines.size(), 1u);
  EXPECT_EQ(path->lines[0].size(), 2u);
  EXPECT_FALSE(globe->featureById("Lost"));
  EXPECT_FALSE(globe->featureByName("x"));
  const GlobeStats stats = globe->stats();
  EXPECT_EQ(stats.updateOpsApplied, 3u);
  EXPECT_EQ(stats.updateOpsIgnored, 2u);
  EXPECT_EQ(m_server.requestsFor("/KmzServer/TivraCar.kmz/models/TivraCar.dae").size(), 1u);
}

TEST_F(SimGlobeTest, UpdatesForAnotherDocumentAreIgnored) {
  m_server.serve("/a.kml", kmlAnswer(kml("<Folder id=\"F\"><name>A</name></Folder>")));
  m_server.serve("/u.kml", kmlAnswer(kml("<NetworkLinkControl><Update><targetHref>" +
                                         m_server.url("/other.kml") +
                                         "</targetHref><Create><Folder targetId=\"F\"><Placemark>"
                                         "<name>New</name></Placemark></Folder></Create></Update>"
                                         "</NetworkLinkControl>")));
  auto globe = makeGlobe();
  globe->connect()->OpenKmlFile(
      writeFile("two.kml", kml("<Folder><NetworkLink><Link><href>" + m_server.url("/a.kml") +
                               "</href></Link></NetworkLink><NetworkLink><Link><href>" +
                               m_server.url("/u.kml") + "</href></Link></NetworkLink></Folder>")),
      true);
  ASSERT_TRUE(globe->waitIdle(kWait));
  EXPECT_FALSE(globe->featureByName("New"));
  EXPECT_EQ(globe->stats().updateOpsIgnored, 1u);
}

class RenderTest : public SimGlobeTest {
 protected:
  static const std::uint8_t* pixel(const RgbaImage& img, int x, int y) {
    return &img.rgba[(static_cast<std::size_t>(y) * img.width + x) * 4];
  }
};

TEST_F(RenderTest, GroundOverlaysAreDrawnInTheirBoxesWithTheirAlpha) {
  m_server.serve("/red.img", LoopbackResponse{200, test::encodeTestImage(4, 4, 255, 0, 0, 255)});
  m_server.serve("/green.img", LoopbackResponse{200, test::encodeTestImage(2, 2, 0, 255, 0, 255)});
  SimGlobeOptions o = options();
  o.viewWidth = 200;
  o.viewHeight = 100;
  o.initialCamera = cameraAt(10.0, 0.0, 100000.0);
  auto globe = makeGlobe(o);
  const ViewGeometry v = globe->view();
  // Red fills the left quarter of the view, green (half transparent) the right quarter.
  const double w = v.box.west, e = v.box.east, s = v.box.south, n = v.box.north;
  const double q = (e - w) / 4;
  auto overlay = [&](const std::string& href, const std::string& color, double west, double east) {
    return "<GroundOverlay><color>" + color + "</color><Icon><href>" + m_server.url(href) +
           "</href></Icon><LatLonBox><north>" + std::to_string(n) + "</north><south>" +
           std::to_string(s) + "</south><east>" + std::to_string(east) + "</east><west>" +
           std::to_string(west) + "</west></LatLonBox></GroundOverlay>";
  };
  globe->connect()->OpenKmlFile(
      writeFile("o.kml", kml("<Folder>" + overlay("/red.img", "ffffffff", w, w + q) +
                             overlay("/green.img", "7fffffff", e - q, e) + "</Folder>")),
      true);
  ASSERT_TRUE(globe->waitIdle(kWait));
  EXPECT_EQ(globe->stats().imagesDecoded, 2u);

  const RgbaImage img = globe->render();
  ASSERT_EQ(img.width, 200);
  ASSERT_EQ(img.height, 100);
  const std::uint8_t* red = pixel(img, 10, 50);
  EXPECT_EQ(red[0], 255);
  EXPECT_EQ(red[1], 0);
  EXPECT_EQ(red[2], 0);
  const std::uint8_t* mid = pixel(img, 100, 50);
  EXPECT_EQ(mid[0], 16);  // the background between the overlays
  EXPECT_EQ(mid[1], 24);
  EXPECT_EQ(mid[2], 40);
  const std::uint8_t* green = pixel(img, 190, 50);
  // 0x7f alpha: 127/255 of the image over 128/255 of the background.
  EXPECT_NEAR(green[0], (0 * 127 + 16 * 128) / 255.0, 1.0);
  EXPECT_NEAR(green[1], (255 * 127 + 24 * 128) / 255.0, 1.0);
  EXPECT_NEAR(green[2], (0 * 127 + 40 * 128) / 255.0, 1.0);
  // Box edges: the red quarter ends at pixel 50.
  EXPECT_EQ(pixel(img, 48, 50)[0], 255);
  EXPECT_EQ(pixel(img, 52, 50)[0], 16);
}

TEST_F(RenderTest, HiddenOverlaysAndBrokenImagesAreNotDrawn) {
  m_server.serve("/red.img", LoopbackResponse{200, test::encodeTestImage(1, 1, 255, 0, 0, 255)});
  m_server.serve("/bad.img", LoopbackResponse{200, "RGBA not really"});
  SimGlobeOptions o = options();
  o.viewWidth = 64;
  o.viewHeight = 64;
  o.initialCamera = cameraAt(0.0, 0.0, 100000.0);
  auto globe = makeGlobe(o);
  auto whole = [&](const std::string& href, bool visible) {
    return std::string("<GroundOverlay><visibility>") + (visible ? "1" : "0") +
           "</visibility><Icon><href>" + m_server.url(href) +
           "</href></Icon><LatLonBox><north>10</north><south>-10</south><east>10</east><west>-10"
           "</west></LatLonBox></GroundOverlay>";
  };
  globe->connect()->OpenKmlFile(
      writeFile("h.kml", kml("<Folder>" + whole("/red.img", false) + whole("/bad.img", true) +
                             "<Placemark><Point><coordinates>0,0</coordinates></Point></Placemark>"
                             "</Folder>")),
      true);
  ASSERT_TRUE(globe->waitIdle(kWait));
  EXPECT_EQ(globe->stats().imagesFailed, 1u);
  const RgbaImage img = globe->render();
  EXPECT_EQ(pixel(img, 5, 5)[0], 16);     // background: nothing drawn there
  EXPECT_EQ(pixel(img, 32, 32)[0], 230);  // the point marker at the centre
}

TEST_F(RenderTest, ScreenOverlaysArePlacedOnTheScreen) {
  m_server.serve("/logo.img", LoopbackResponse{200, test::encodeTestImage(10, 4, 0, 0, 255, 255)});
  SimGlobeOptions o = options();
  o.viewWidth = 100;
  o.viewHeight = 50;
  auto globe = makeGlobe(o);
  // The entry document's logo: right edge at 0.9 of the width, bottom at 0.1 of the height.
  globe->connect()->OpenKmlFile(
      writeFile("s.kml", kml("<ScreenOverlay><Icon><href>" + m_server.url("/logo.img") +
                             "</href></Icon><overlayXY x=\"1\" y=\"0\" xunits=\"fraction\" "
                             "yunits=\"fraction\"/><screenXY x=\"0.9\" y=\"0.1\" "
                             "xunits=\"fraction\" yunits=\"fraction\"/><size x=\"0\" y=\"0\" "
                             "xunits=\"pixels\" yunits=\"pixels\"/></ScreenOverlay>")),
      true);
  ASSERT_TRUE(globe->waitIdle(kWait));
  const RgbaImage img = globe->render();
  // Columns 80..89 and rows 41..44 (5 rows up from the bottom, 4 high).
  EXPECT_EQ(pixel(img, 80, 44)[2], 255);
  EXPECT_EQ(pixel(img, 89, 41)[2], 255);
  EXPECT_EQ(pixel(img, 79, 44)[2], 40);
  EXPECT_EQ(pixel(img, 90, 44)[2], 40);
  EXPECT_EQ(pixel(img, 85, 40)[2], 40);
  EXPECT_EQ(pixel(img, 85, 45)[2], 40);
}

TEST_F(RenderTest, GeometryFarOffScreenIsClipped) {
  m_server.serve("/red.img", LoopbackResponse{200, test::encodeTestImage(3, 3, 255, 0, 0, 255)});
  SimGlobeOptions o = options();
  o.viewWidth = 40;
  o.viewHeight = 30;
  o.initialCamera = cameraAt(0.0, 0.0, 10.0);  // metres: the boxes below are millions of pixels
  auto globe = makeGlobe(o);
  globe->connect()->OpenKmlFile(
      writeFile("far.kml",
                kml("<Folder><GroundOverlay><Icon><href>" + m_server.url("/red.img") +
                    "</href></Icon><LatLonBox><north>80</north><south>-80</south><east>170</east>"
                    "<west>-170</west></LatLonBox></GroundOverlay><GroundOverlay><Icon><href>" +
                    m_server.url("/red.img") +
                    "</href></Icon><LatLonBox><north>80</north><south>70</south><east>170</east>"
                    "<west>160</west></LatLonBox></GroundOverlay><Placemark><LineString>"
                    "<coordinates>-179,-89 179,89 179,-89</coordinates></LineString></Placemark>"
                    "<Placemark><Point><coordinates>170,80</coordinates></Point></Placemark>"
                    "</Folder>")),
      true);
  ASSERT_TRUE(globe->waitIdle(kWait));
  const RgbaImage img = globe->render();
  EXPECT_EQ(pixel(img, 0, 0)[0], 255);  // the first box covers the whole view
  EXPECT_EQ(pixel(img, 39, 29)[1], 0);
}

TEST_F(RenderTest, LinesAreDrawnOnTop) {
  SimGlobeOptions o = options();
  o.viewWidth = 100;
  o.viewHeight = 100;
  o.initialCamera = cameraAt(0.0, 0.0, 100000.0);
  auto globe = makeGlobe(o);
  const ViewBox b = globe->view().box;
  globe->connect()->OpenKmlFile(
      writeFile("l.kml",
                kml("<Placemark><LineString><coordinates>" + std::to_string(b.west * 2) + ",0 " +
                    std::to_string(b.east * 2) + ",0</coordinates></LineString></Placemark>")),
      true);
  const RgbaImage img = globe->render();
  EXPECT_EQ(pixel(img, 10, 50)[0], 255);  // a horizontal line through the centre, clipped
  EXPECT_EQ(pixel(img, 90, 50)[1], 210);
  EXPECT_EQ(pixel(img, 50, 10)[0], 16);
}

TEST_F(SimGlobeTest, RenderPngNeedsAnEncoder) {
  auto globe = makeGlobe();
  EXPECT_THROW(globe->renderPng(), EarthError);
  SimGlobe withEncoder(SimGlobeDeps{test::testHttpGet, test::decodeTestImage,
                                    [](const RgbaImage& img) {
                                      return std::vector<std::uint8_t>(img.rgba.begin(),
                                                                       img.rgba.begin() + 4);
                                    }},
                       options());
  EXPECT_EQ(withEncoder.renderPng(), (std::vector<std::uint8_t>{16, 24, 40, 255}));
}

class BadFiles : public SimGlobeTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(BadFiles, OpenKmlFileThrows) {
  auto globe = makeGlobe();
  auto earth = globe->connect();
  const std::string text = GetParam();
  const std::string path =
      text == "<missing>" ? (m_dir / "missing.kml").string() : writeFile("bad.kml", text);
  EXPECT_THROW(earth->OpenKmlFile(path, true), EarthError);
  EXPECT_TRUE(globe->features().empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, BadFiles,
                         ::testing::Values("<missing>", "", "not xml at all",
                                           "<html><body/></html>", "<kml><Folder></kml>"));

TEST_F(SimGlobeTest, BadAnswersAreRecordedAndKeepThePreviousContent) {
  std::atomic<int> calls{0};
  m_server.serve("/flaky", [&](const std::string&) {
    switch (calls++) {
      case 0:
        return kmlAnswer(kml("<Folder><name>Good</name></Folder>"));
      case 1:
        return LoopbackResponse{200, "<<< not xml"};
      case 2:
        return LoopbackResponse{500, "oops"};
      default:
        return LoopbackResponse{200, "<kml><Folder><name>Good</name>", "", true};
    }
  });
  auto globe = makeGlobe();
  globe->connect()->OpenKmlFile(
      writeFile("f.kml",
                kml("<Folder><NetworkLink><name>Flaky</name><Link><href>" + m_server.url("/flaky") +
                    "</href><refreshMode>onInterval</refreshMode><refreshInterval>0.02"
                    "</refreshInterval></Link></NetworkLink>"
                    "<NetworkLink><name>Dead</name><Link><href>http://127.0.0.1:1/x</href></Link>"
                    "</NetworkLink><NetworkLink><name>Odd</name><Link><href>file:///etc/passwd"
                    "</href></Link></NetworkLink></Folder>")),
      true);
  ASSERT_TRUE(m_server.waitForRequests("/flaky", 5, kWait));
  ASSERT_TRUE(globe->waitIdle(kWait));
  EXPECT_TRUE(globe->featureByName("Good"));
  EXPECT_GE(globe->stats().documentFailures, 5u);  // garbage, 500, cut, dead host, odd scheme
  bool sawStatus = false, sawDead = false, sawScheme = false;
  for (const FetchRecord& r : globe->fetchLog()) {
    sawStatus |= r.error == "HTTP status 500";
    sawDead |= r.url == "http://127.0.0.1:1/x" && !r.ok;
    sawScheme |= r.url == "file:///etc/passwd" && r.error == "unsupported URL";
  }
  EXPECT_TRUE(sawStatus);
  EXPECT_TRUE(sawDead);
  EXPECT_TRUE(sawScheme);
}

TEST_F(SimGlobeTest, ImagesAreFetchedOncePerHrefPerLoad) {
  m_server.serve("/t.img", LoopbackResponse{200, test::encodeTestImage(1, 1, 1, 2, 3, 4)});
  m_server.serve("/missing.img", LoopbackResponse{404, ""});
  const std::string overlays =
      "<Folder><GroundOverlay><Icon><href>/t.img</href></Icon></GroundOverlay>"
      "<GroundOverlay><Icon><href>/t.img</href></Icon></GroundOverlay>"
      "<ScreenOverlay><Icon><href>/missing.img</href></Icon></ScreenOverlay></Folder>";
  m_server.serve("/o.kml", kmlAnswer(kml(overlays)));
  auto globe = makeGlobe();
  auto earth = globe->connect();
  earth->OpenKmlFile(
      writeFile("i.kml", kml("<NetworkLink><name>O</name><Link><href>" + m_server.url("/o.kml") +
                             "</href><viewRefreshMode>onStop</viewRefreshMode><viewRefreshTime>"
                             "0.01</viewRefreshTime><viewFormat/></Link></NetworkLink>")),
      true);
  ASSERT_TRUE(globe->waitIdle(kWait));
  EXPECT_EQ(m_server.requestsFor("/t.img").size(), 1u);  // relative href, resolved, shared
  EXPECT_EQ(m_server.requestsFor("/missing.img").size(), 1u);
  EXPECT_EQ(globe->stats().imagesFailed, 1u);
  // The link loads again: the decoded image is kept, the failed one is tried once more.
  earth->SetCamera(cameraAt(100, 30, 1000), 5.0);
  ASSERT_TRUE(m_server.waitForRequests("/o.kml", 2, kWait));
  ASSERT_TRUE(globe->waitIdle(kWait));
  EXPECT_EQ(m_server.requestsFor("/o.kml").back(), m_server.url("/o.kml"));  // empty viewFormat
  EXPECT_EQ(m_server.requestsFor("/t.img").size(), 1u);
  EXPECT_EQ(m_server.requestsFor("/missing.img").size(), 2u);
}

TEST_F(SimGlobeTest, AFetchedServerMayCallBackIntoTheGlobe) {
  std::atomic<int> seen{0};  // outlives the globe, whose destructor waits for the last request
  auto globe = makeGlobe();
  auto earth = globe->connect();
  std::shared_ptr<Earth> own = globe->connect();  // the server thread's own handle
  m_server.serve("/cb", [&seen, own](const std::string&) {
    // What the program's GPS endpoint does on its connection thread.
    try {
      const Camera c = own->GetCamera(true);
      own->putAutoPilotSpeed(own->AutoPilotSpeed() * 1.05);
      own->SetCamera(c, own->AutoPilotSpeed());
      ++seen;
    } catch (const EarthError&) {
      // the globe stopped while this request ran
    }
    return kmlAnswer(kml("<Folder/>"));
  });
  earth->OpenKmlFile(
      writeFile("cb.kml", kml("<NetworkLink><Link><href>" + m_server.url("/cb") +
                              "</href>"
                              "<refreshMode>onInterval</refreshMode><refreshInterval>0.02"
                              "</refreshInterval></Link></NetworkLink>")),
      true);
  ASSERT_TRUE(m_server.waitForRequests("/cb", 3, kWait));
  EXPECT_GE(seen.load(), 2);
}

TEST_F(SimGlobeTest, ManyHandlesOnManyThreads) {
  m_server.serve("/p", kmlAnswer(kml("<Folder><Placemark><name>P</name></Placemark></Folder>")));
  auto globe = makeGlobe();
  globe->connect()->OpenKmlFile(
      writeFile("m.kml",
                kml("<Folder><name>Root</name><NetworkLink><Link><href>" + m_server.url("/p") +
                    "</href><refreshMode>onInterval</refreshMode><refreshInterval>0.01"
                    "</refreshInterval><viewRefreshMode>onStop</viewRefreshMode>"
                    "<viewRefreshTime>0.01</viewRefreshTime></Link></NetworkLink>"
                    "</Folder>")),
      true);
  std::atomic<int> failures{0};
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      auto earth = globe->connect();
      for (int i = 0; i < 100; ++i) {
        try {
          earth->SetCamera(cameraAt(100.0 + t, 30.0 + i * 0.01, 5000.0), i % 2 ? 5.0 : 1.0);
          const Camera c = earth->GetCamera(true);
          if (!(c.Range > 0)) ++failures;
          earth->GetPointOnTerrainFromScreenCoords(0.5, -0.5);
          if (auto f = earth->GetFeatureByName("Root")) f->putVisibility(true);
          (void)globe->render();
        } catch (const EarthError&) {
          ++failures;
        }
      }
    });
  }
  threads.clear();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(globe->waitIdle(kWait));
  EXPECT_GE(m_server.requestsFor("/p").size(), 1u);
}

TEST_F(SimGlobeTest, HandlesOfAStoppedGlobeThrow) {
  std::unique_ptr<Earth> earth;
  {
    auto globe = makeGlobe();
    earth = globe->connect();
    EXPECT_NO_THROW(earth->GetCamera(true));
    globe->stop();
    EXPECT_THROW(earth->GetCamera(true), EarthError);
    EXPECT_THROW(globe->connect(), EarthError);
  }
  EXPECT_THROW(earth->IsInitialized(), EarthError);
  EXPECT_THROW(earth->OpenKmlFile("x.kml", true), EarthError);
}

}  // namespace
}  // namespace tivra::globe

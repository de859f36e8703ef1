#include "gps/gps_endpoints.h"

#include <gtest/gtest.h>

#include <cmath>

#include "globe/sim_globe.h"
#include "platform/http_response.h"
#include "support/globe_helpers.h"
#include "support/test_http_get.h"
#include "support/test_image.h"

namespace tivra::gps {
namespace {

using namespace std::chrono_literals;

GpsFix fixAt(double lon, double lat, double course) {
  GpsFix fix;
  fix.longitude = lon;
  fix.latitude = lat;
  fix.altitude = 50;
  fix.course = course;
  fix.speed = 10;
  fix.time = 1145349179;
  return fix;
}

// Position updates against the simulated globe: the camera starts straight above (120, 24).
class PositionUpdate : public ::testing::Test {
 protected:
  static globe::SimGlobeOptions globeOptions(double speed) {
    globe::SimGlobeOptions o;
    o.flightBase = 1ms;
    o.maxFlight = 1ms;
    o.initialCamera = test::cameraAt(120.0, 24.0, 1000.0);
    o.autoPilotSpeed = speed;
    return o;
  }
  void makeGlobe(double speed = 1.0) {
    globe = std::make_unique<globe::SimGlobe>(
        globe::SimGlobeDeps{test::testHttpGet, test::decodeTestImage, nullptr},
        globeOptions(speed));
  }
  void SetUp() override { makeGlobe(); }
  GpsEndpointContext context() {
    GpsEndpointContext c;
    c.port = 11000;
    c.iconHost = "http://icons";
    c.activeSource = [this] { return data; };
    c.documentName = [] { return std::string("1.kml"); };
    c.follow = [this] { return follow; };
    c.earthFactory = [this]() -> std::unique_ptr<globe::Earth> {
      ++globeCalls;
      return globe->connect();
    };
    return c;
  }
  std::string poll() {
    std::string out;
    PosUpdateServer(context(), "GET /PosUpdateServer/Update.kml HTTP/1.1\r\n\r\n", out);
    globe->waitIdle(5s);
    return out;
  }
  void addFixes(int count, double lon, double lat, double course) {
    for (int i = 0; i < count; ++i) data->history.push_back(fixAt(lon, lat, course));
  }

  std::unique_ptr<globe::SimGlobe> globe;
  std::shared_ptr<GpsData> data = std::make_shared<GpsData>();
  FollowOptions follow;
  int globeCalls = 0;
};

TEST_F(PositionUpdate, NoGlobeCallBeforeTheFirstFixWasDelivered) {
  addFixes(3, 120.01, 24.01, 30);
  const std::string answer = poll();
  EXPECT_EQ(globeCalls, 0);
  EXPECT_NE(answer.find("<x>2.000000</x>"), std::string::npos);
  EXPECT_EQ(data->sentCount, 3);
  EXPECT_EQ(globe->connect()->GetCamera(false).Range, 1000.0);
}

TEST_F(PositionUpdate, CarScalesWithTheRangeAndAFollowingCameraMovesAfterTheCar) {
  follow.autoTrack = false;
  addFixes(1, 120.0, 24.0, 0);
  addFixes(5, 120.01, 24.01, 77);
  data->sentCount = 1;
  auto earth = globe->connect();
  earth->SetCamera(test::cameraAt(120.0, 24.0, 150.0), 5.0);
  globe->waitIdle(5s);
  EXPECT_NE(poll().find("<x>2.000000</x>"), std::string::npos);
  data->sentCount = 1;
  earth->SetCamera(test::cameraAt(120.0, 24.0, 1000.0), 5.0);
  globe->waitIdle(5s);
  EXPECT_NE(poll().find("<x>10.000000</x>"), std::string::npos);
  // Auto-track off: read, never moved.
  EXPECT_NEAR(earth->GetCamera(false).FocusPointLongitude, 120.0, 1e-9);

  follow.autoTrack = true;
  data->sentCount = 1;
  poll();
  const globe::Camera camera = earth->GetCamera(false);
  EXPECT_NEAR(camera.FocusPointLongitude, 120.01, 1e-6);
  EXPECT_NEAR(camera.FocusPointLatitude, 24.01, 1e-6);
  EXPECT_NEAR(camera.Range, 200.0, 1e-6);
  EXPECT_NEAR(camera.Tilt, 66.0, 1e-6);
  EXPECT_NEAR(camera.Azimuth, 77.0, 1e-6);
}

TEST_F(PositionUpdate, UncheckedOptionsKeepTheCamerasOwnValues) {
  follow.heading = follow.height = follow.angle = false;
  addFixes(1, 120.0, 24.0, 0);
  addFixes(2, 120.01, 24.01, 77);
  data->sentCount = 1;
  poll();
  const globe::Camera camera = globe->connect()->GetCamera(false);
  EXPECT_NEAR(camera.FocusPointLongitude, 120.01, 1e-6);
  EXPECT_NEAR(camera.Range, 1000.0, 1e-6);
  EXPECT_NEAR(camera.Tilt, 0.0, 1e-6);
  EXPECT_NEAR(camera.Azimuth, 0.0, 1e-6);
}

TEST_F(PositionUpdate, UnsetCourseAndAltitudeLeaveTheCamerasOwnValues) {
  addFixes(1, 120.0, 24.0, 0);
  GpsFix bare;  // a receiver that gives neither course nor altitude
  bare.longitude = 120.01;
  bare.latitude = 24.01;
  data->history.push_back(bare);
  data->sentCount = 1;
  const globe::Camera before = globe->connect()->GetCamera(false);
  poll();
  const globe::Camera camera = globe->connect()->GetCamera(false);
  EXPECT_NEAR(camera.FocusPointLongitude, 120.01, 1e-6);
  EXPECT_DOUBLE_EQ(camera.Azimuth, before.Azimuth);
  EXPECT_DOUBLE_EQ(camera.FocusPointAltitude, before.FocusPointAltitude);
}

struct SpeedCase {
  const char* name;
  double centreOffset;  // degrees between the view centre and the last delivered fix
  double before;
  double after;
};

class AutopilotSpeed : public PositionUpdate, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(AutopilotSpeed, FollowsTheDistanceOfTheViewCentre) {
  const auto& c = GetParam();
  makeGlobe(c.before);
  addFixes(2, 120.0 + c.centreOffset, 24.0, 0);  // no new position: the camera stays
  data->sentCount = 1;
  poll();
  auto earth = globe->connect();
  EXPECT_NEAR(earth->AutoPilotSpeed(), c.after, 1e-9);
  EXPECT_NEAR(earth->GetCamera(false).FocusPointLongitude, 120.0, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Bands, AutopilotSpeed,
                         ::testing::Values(SpeedCase{"Far", 0.002, 1.0, 1.05},
                                           SpeedCase{"FarCapped", 0.002, 4.9, 5.0},
                                           SpeedCase{"Near", 0.00002, 1.0, 1.0 / 1.05},
                                           SpeedCase{"NearFloor", 0.00002, 0.1, 0.1},
                                           SpeedCase{"Between", 0.0005, 1.0, 1.0}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(PositionUpdate, FailingGlobeStillGetsTheUpdateDocument) {
  addFixes(1, 120.0, 24.0, 0);
  addFixes(2, 120.01, 24.01, 77);
  GpsEndpointContext failing = context();
  failing.earthFactory = []() -> std::unique_ptr<globe::Earth> {
    throw globe::EarthError("no globe");
  };
  data->sentCount = 1;
  std::string out;
  PosUpdateServer(failing, "GET /PosUpdateServer/Update.kml", out);
  EXPECT_TRUE(out.starts_with("HTTP/1.1 200 OK\r\n"));
  EXPECT_NE(out.find("<x>2.000000</x>"), std::string::npos);
  EXPECT_EQ(data->sentCount, 3);

  // A globe that went away between calls: the scale read before the failure stays.
  data->sentCount = 1;
  globe->stop();
  EXPECT_NE(poll().find("<Placemark targetId=\"Car\">"), std::string::npos);
}

TEST_F(PositionUpdate, WithoutASourceEveryEndpointAnswersTheHiddenDocument) {
  GpsEndpointContext none = context();
  none.activeSource = [] { return std::shared_ptr<GpsData>(); };
  for (auto* handler : {&GPSServer, &SatUpdateServer, &PosUpdateServer}) {
    std::string out;
    handler(none, "GET / HTTP/1.1", out);
    EXPECT_EQ(out, platform::kEmptyKmlDocument);
  }
  EXPECT_EQ(globeCalls, 0);
}

}  // namespace
}  // namespace tivra::gps

#include "globe/camera_flight.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace tivra::globe {
namespace {

using namespace std::chrono_literals;

constexpr FlightTiming kTiming{1000ms, 5000ms};
const Clock::time_point kT0{};

Camera camera(double lon, double lat, double range, double azimuth = 0.0) {
  Camera c;
  c.FocusPointLongitude = lon;
  c.FocusPointLatitude = lat;
  c.Range = range;
  c.Azimuth = azimuth;
  return c;
}

struct DurationCase {
  double speed;
  Clock::duration expected;
};

class FlightDuration : public ::testing::TestWithParam<DurationCase> {};

TEST_P(FlightDuration, FollowsTheAutopilotSpeed) {
  EXPECT_EQ(flightDuration(GetParam().speed, kTiming), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Speeds, FlightDuration,
                         ::testing::Values(DurationCase{1.0, 1000ms}, DurationCase{4.0, 250ms},
                                           DurationCase{0.1, 5000ms}, DurationCase{0.0, 5000ms},
                                           DurationCase{-1.0, 5000ms},
                                           DurationCase{kInstantSpeed, 0ms},
                                           DurationCase{100.0, 0ms}));

struct NormaliseCase {
  const char* name;
  Camera in;
  Camera expected;
};

class NormalisedCamera : public ::testing::TestWithParam<NormaliseCase> {};

TEST_P(NormalisedCamera, KeepsTheCameraOnTheGlobe) {
  const Camera c = normalisedCamera(GetParam().in);
  const Camera& e = GetParam().expected;
  EXPECT_DOUBLE_EQ(c.FocusPointLongitude, e.FocusPointLongitude);
  EXPECT_DOUBLE_EQ(c.FocusPointLatitude, e.FocusPointLatitude);
  EXPECT_DOUBLE_EQ(c.Range, e.Range);
  EXPECT_DOUBLE_EQ(c.Azimuth, e.Azimuth);
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, NormalisedCamera,
    ::testing::Values(
        NormaliseCase{"PastTheNorth", camera(190, 95, 0.5, -90), camera(-170, 90, 1, 270)},
        NormaliseCase{"PastTheSouth", camera(-530, -100, 1e9, 720), camera(-170, -90, 1e8, 0)},
        NormaliseCase{"Inside", camera(116.4, 39.9, 1e4, 45), camera(116.4, 39.9, 1e4, 45)}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(CameraFlight, TakesTheShortWayRoundAndEndsOnTheTarget) {
  CameraFlight flight(camera(170, 0, 1000, 350), kT0);
  flight.flyTo(camera(-170, 10, 3000, 10), 1.0, kTiming, kT0);
  EXPECT_TRUE(flight.moving(kT0 + 500ms));
  const Camera mid = flight.at(kT0 + 500ms);
  EXPECT_NEAR(std::abs(mid.FocusPointLongitude), 180.0, 1e-9);  // across the date line
  EXPECT_NEAR(mid.FocusPointLatitude, 5.0, 1e-9);
  EXPECT_NEAR(mid.Range, 2000.0, 1e-9);
  EXPECT_NEAR(std::fmod(mid.Azimuth, 360.0), 0.0, 1e-9);  // through north, not south
  const Camera end = flight.at(kT0 + 1000ms);
  EXPECT_FALSE(flight.moving(kT0 + 1000ms));
  EXPECT_DOUBLE_EQ(end.FocusPointLongitude, -170.0);
  EXPECT_DOUBLE_EQ(end.Azimuth, 10.0);
}

TEST(CameraFlight, EachFlightStopsOnce) {
  CameraFlight flight(camera(0, 0, 1000), kT0);
  EXPECT_FALSE(flight.takeStop(kT0)) << "no flight yet";
  flight.flyTo(camera(10, 0, 1000), 1.0, kTiming, kT0);
  EXPECT_FALSE(flight.takeStop(kT0 + 999ms));
  EXPECT_TRUE(flight.takeStop(kT0 + 1000ms));
  EXPECT_FALSE(flight.takeStop(kT0 + 2000ms));
  // A new flight from the middle of a flight starts where the camera is.
  flight.flyTo(camera(20, 0, 1000), 1.0, kTiming, kT0 + 2000ms);
  flight.flyTo(camera(0, 0, 1000), kInstantSpeed, kTiming, kT0 + 2500ms);
  EXPECT_TRUE(flight.takeStop(kT0 + 2500ms));
  EXPECT_DOUBLE_EQ(flight.at(kT0 + 2500ms).FocusPointLongitude, 0.0);
}

TEST(CameraFlight, RefusesValuesThatAreNotFinite) {
  CameraFlight flight(camera(1, 2, 1000), kT0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THROW(flight.flyTo(camera(nan, 0, 1000), 1.0, kTiming, kT0), EarthError);
  EXPECT_THROW(flight.flyTo(camera(0, 0, 1000), nan, kTiming, kT0), EarthError);
  EXPECT_DOUBLE_EQ(flight.at(kT0).FocusPointLongitude, 1.0);
  EXPECT_FALSE(flight.moving(kT0));
}

}  // namespace
}  // namespace tivra::globe

#include "globe/globe_view.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace tivra::globe {
namespace {

Camera cameraAt(double lon, double lat, double range) {
  Camera c;
  c.FocusPointLongitude = lon;
  c.FocusPointLatitude = lat;
  c.Range = range;
  return c;
}

TEST(GlobeView, ExtentFollowsRangeAndLatitude) {
  const ViewGeometry v = makeViewGeometry(cameraAt(116.4, 39.9, 10000.0), 1024, 768, 60.0);
  const double tanHalfV = std::tan(30.0 * std::numbers::pi / 180.0) * 768.0 / 1024.0;
  EXPECT_NEAR(v.vertFovDeg, 2 * std::atan(tanHalfV) * 180.0 / std::numbers::pi, 1e-9);
  const double heightDeg = 2 * 10000.0 * tanHalfV / kMetresPerDegree;
  EXPECT_NEAR(v.box.north - v.box.south, heightDeg, 1e-9);
  EXPECT_NEAR((v.box.north + v.box.south) / 2, 39.9, 1e-9);
  const double widthDeg = heightDeg * 1024.0 / 768.0 / std::cos(39.9 * std::numbers::pi / 180.0);
  EXPECT_NEAR(v.box.east - v.box.west, widthDeg, 1e-9);

  const ViewGeometry far = makeViewGeometry(cameraAt(116.4, 39.9, 20000.0), 1024, 768, 60.0);
  EXPECT_NEAR(far.box.north - far.box.south, 2 * heightDeg, 1e-9);
}

TEST(GlobeView, BoxIsClampedToTheGlobe) {
  const ViewGeometry v = makeViewGeometry(cameraAt(179.0, 89.0, 5.0e6), 1024, 768, 60.0);
  EXPECT_EQ(v.box.north, 90.0);
  EXPECT_EQ(v.box.east, 180.0);
  EXPECT_GE(v.box.west, -180.0);
  EXPECT_LT(v.box.south, 89.0);
}

TEST(GlobeView, TerrainPointsMapCentreAndCorners) {
  const ViewGeometry v = makeViewGeometry(cameraAt(10.0, 20.0, 50000.0), 800, 600, 60.0);
  const auto centre = terrainPointAt(v, 0.0, 0.0);
  ASSERT_TRUE(centre);
  EXPECT_DOUBLE_EQ(centre->Longitude, 10.0);
  EXPECT_DOUBLE_EQ(centre->Latitude, 20.0);
  const auto ll = terrainPointAt(v, -1.0, -1.0);
  const auto ur = terrainPointAt(v, 1.0, 1.0);
  ASSERT_TRUE(ll && ur);
  EXPECT_NEAR(ll->Longitude, v.box.west, 1e-9);
  EXPECT_NEAR(ll->Latitude, v.box.south, 1e-9);
  EXPECT_NEAR(ur->Longitude, v.box.east, 1e-9);
  EXPECT_NEAR(ur->Latitude, v.box.north, 1e-9);

  const PixelPos topLeft = toPixel(v, v.box.west, v.box.north);
  EXPECT_NEAR(topLeft.x, 0.0, 1e-6);
  EXPECT_NEAR(topLeft.y, 0.0, 1e-6);
  const PixelPos bottomRight = toPixel(v, v.box.east, v.box.south);
  EXPECT_NEAR(bottomRight.x, 800.0, 1e-6);
  EXPECT_NEAR(bottomRight.y, 600.0, 1e-6);
}

struct ScreenCase {
  double x, y;
};
class TerrainOutside : public ::testing::TestWithParam<ScreenCase> {};

TEST_P(TerrainOutside, HasNoPoint) {
  const ViewGeometry v = makeViewGeometry(cameraAt(10.0, 20.0, 50000.0), 800, 600, 60.0);
  EXPECT_FALSE(terrainPointAt(v, GetParam().x, GetParam().y));
}

INSTANTIATE_TEST_SUITE_P(Cases, TerrainOutside,
                         ::testing::Values(ScreenCase{1.01, 0}, ScreenCase{0, -1.5},
                                           ScreenCase{NAN, 0}, ScreenCase{0, INFINITY},
                                           ScreenCase{-2, -2}));

TEST(GlobeView, NoTerrainPastThePole) {
  const ViewGeometry v = makeViewGeometry(cameraAt(0.0, 89.9, 100000.0), 800, 600, 60.0);
  EXPECT_FALSE(terrainPointAt(v, 0.0, 1.0));
  EXPECT_TRUE(terrainPointAt(v, 0.0, -1.0));
}

TEST(GlobeView, FillsEveryViewValue) {
  Camera c = cameraAt(116.5, 39.75, 12345.5);
  c.Tilt = 12.0;
  c.Azimuth = 270.0;
  const ViewGeometry v = makeViewGeometry(c, 1024, 768, 60.0);
  const std::string filled = fillViewFormat(
      "BBOX=[bboxWest],[bboxSouth],[bboxEast],[bboxNorth],[lookatLon],[lookatLat],[lookatRange],"
      "[lookatTilt],[lookatHeading],[horizFov],[vertFov],[horizPixels],[vertPixels]&x=[nope]",
      v);
  char expected[512];
  std::snprintf(expected, sizeof expected,
                "BBOX=%.6f,%.6f,%.6f,%.6f,116.500000,39.750000,12345.500000,12.000000,270.000000,"
                "60.000000,%.6f,1024,768&x=[nope]",
                v.box.west, v.box.south, v.box.east, v.box.north, v.vertFovDeg);
  EXPECT_EQ(filled, expected);
  EXPECT_EQ(fillViewFormat("a[b", v), "a[b");
}

TEST(GlobeView, WrapDegrees) {
  EXPECT_DOUBLE_EQ(wrapDegrees(190.0), -170.0);
  EXPECT_DOUBLE_EQ(wrapDegrees(-190.0), 170.0);
  EXPECT_DOUBLE_EQ(wrapDegrees(45.0), 45.0);
  EXPECT_DOUBLE_EQ(wrapDegrees(NAN), 0.0);
}

}  // namespace
}  // namespace tivra::globe

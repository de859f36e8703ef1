#include "gps/gps_kml.h"

#include <gtest/gtest.h>

#include <string>

#include "support/golden.h"

namespace tivra::gps {
namespace {

const GpsDocumentContext kContext{"http://localhost:11000", "1165430400.kml",
                                  "http://maps.google.com"};

GpsFix fixAt(int i) {
  GpsFix fix;
  fix.longitude = 120.0 + i * 0.001;
  fix.latitude = 24.0 + i * 0.0005;
  fix.altitude = 10.0 + i;
  fix.time = 1145349179 + i;
  fix.quality = 3;
  // Fix 3 lacks speed and course, fix 0 a date: unset values and a missing time stamp show.
  if (i != 3) {
    fix.course = i * 1.5;
    fix.speed = i * 2.0;
  }
  if (i == 0) fix.time = 0;
  return fix;
}

void fill(GpsData& data, int fixes, int sent) {
  for (int i = 0; i < fixes; ++i) data.history.push_back(fixAt(i));
  data.sentCount = sent;
}

TEST(GpsKml, EntryDocument) {
  EXPECT_TRUE(test::matchesGolden(buildGpsEntryDocument(11000, "1165430400.kml"), "gps/entry.kml"));
}

TEST(GpsKml, NoFixes) {
  GpsData data;
  EXPECT_TRUE(test::matchesGolden(buildGpsDocument(data, kContext, "Thu Dec  7 00:00:00 2006"),
                                  "gps/gps_0.kml"));
  EXPECT_EQ(data.sentCount, 0);
  EXPECT_TRUE(test::matchesGolden(buildUpdateDocument(data, kContext, 2.0), "gps/update_0.kml"));
  EXPECT_TRUE(test::matchesGolden(buildSatellitesDocument(data, kContext), "gps/sat_0.kml"));
}

TEST(GpsKml, TwentyFiveFixesGoOutAsTwentyThenFive) {
  GpsData data;
  fill(data, 25, 7);
  EXPECT_TRUE(test::matchesGolden(buildGpsDocument(data, kContext, "Thu Dec  7 00:00:00 2006"),
                                  "gps/gps_25.kml"));
  EXPECT_EQ(data.sentCount, 20);
  EXPECT_TRUE(test::matchesGolden(buildUpdateDocument(data, kContext, 3.5), "gps/update_25.kml"));
  EXPECT_EQ(data.sentCount, 25);
}

struct UpdateCase {
  const char* name;
  int sent;
  int fixes;
  int sentAfter;
};

class UpdateDocument : public ::testing::TestWithParam<UpdateCase> {};

TEST_P(UpdateDocument, Golden) {
  const auto& c = GetParam();
  GpsData data;
  fill(data, c.fixes, c.sent);
  EXPECT_TRUE(test::matchesGolden(buildUpdateDocument(data, kContext, 2.0),
                                  std::string("gps/update_") + c.name + ".kml"));
  EXPECT_EQ(data.sentCount, c.sentAfter);
}

INSTANTIATE_TEST_SUITE_P(Table, UpdateDocument,
                         ::testing::Values(UpdateCase{"90_of_110", 90, 110, 110},
                                           UpdateCase{"95_of_100", 95, 100, 100},
                                           UpdateCase{"100_of_100", 100, 100, 100},
                                           UpdateCase{"180_of_320", 180, 320, 200}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(GpsKml, SatellitesWithTheirBars) {
  GpsData data;
  fill(data, 2, 0);
  const auto sat = [](int prn, double elevation, double azimuth, int snr, bool used) {
    GpsSatellite s;
    s.prn = prn;
    s.elevation = elevation;
    s.azimuth = azimuth;
    s.snr = snr;
    s.usedInFix = used;
    return s;
  };
  data.satellites = {sat(5, 90, 0, 35, true), sat(12, 30, 120, 0, false),
                     sat(31, 10, 250, 101, true), sat(2, 45, 45, 1, false)};
  EXPECT_TRUE(test::matchesGolden(buildSatellitesDocument(data, kContext), "gps/sat_4.kml"));
}

TEST(GpsKml, SatelliteStraightAboveTheObserver) {
  for (double latitude : {24.0, -33.9, 0.5})
    for (double longitude : {120.0, -70.25, 10.0}) {
      const SkyPosition q = satellitePosition(latitude, longitude, 90, 123);
      EXPECT_NEAR(q.latitude, latitude, 1e-6);
      EXPECT_NEAR(q.longitude, longitude, 1e-6);
      EXPECT_EQ(q.altitude, 2.02e7);
    }
  // Low in the north, the satellite's ground point lies north of the observer.
  EXPECT_GT(satellitePosition(24.0, 120.0, 10, 0).latitude, 30.0);
}

}  // namespace
}  // namespace tivra::gps

#include "gps/nmea_parser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "gps/plt_track_parser.h"
#include "support/nmea_text.h"

namespace tivra::gps {
namespace {

// "$" + body + "*" + its checksum + CR LF.
const auto sentence = test::nmeaSentence;

// Records sleeps and lets time pass only through them (plus what a test adds).
class FakeClock final : public PacingClock {
 public:
  std::int64_t nowMs() override { return now; }
  void sleepMs(std::int64_t ms) override {
    sleeps.push_back(ms);
    now += ms;
  }
  std::int64_t now = 1'000'000;
  std::vector<std::int64_t> sleeps;
};

struct Parsed {
  explicit Parsed(double factor = 0, NmeaOptions options = {})
      : parser(data, factor, clock, options) {}
  const GpsFix* feed(std::string_view line) { return parser.processLine(line); }
  GpsData data;
  FakeClock clock;
  NmeaParser parser;
};

const std::string kGga =
    sentence("GPGGA,083259.000,2445.4970,N,12057.4576,E,1,08,1.0,38.2,M,16.3,M,,0000");
const std::string kRmc =
    "$GPRMC,083259.000,A,2445.4970,N,12057.4576,E,0.00,31.78,180406,,,A*51\r\n";

TEST(NmeaParser, RmcAfterGgaOfTheSameTimeCompletesTheFixAndVtgOverrides) {
  Parsed p;
  const GpsFix* fix = p.feed(kGga);
  ASSERT_NE(fix, nullptr);
  EXPECT_EQ(fix->time, 30779);  // seconds since midnight while no date is known
  EXPECT_EQ(p.feed(kRmc), nullptr);
  EXPECT_NEAR(fix->latitude.get(), 24.758283, 1e-6);
  EXPECT_NEAR(fix->longitude.get(), 120.957627, 1e-6);
  EXPECT_EQ(fix->time, 1145349179);
  EXPECT_DOUBLE_EQ(fix->speed.get(), 0.0);
  EXPECT_DOUBLE_EQ(fix->course.get(), 31.78);
  EXPECT_DOUBLE_EQ(fix->altitude.get(), 38.2);
  EXPECT_EQ(fix->quality, 3);
  p.feed(sentence("GPVTG,45.5,T,,M,2.0,N,5.5,K,A"));
  EXPECT_DOUBLE_EQ(fix->course.get(), 45.5);
  EXPECT_DOUBLE_EQ(fix->speed.get(), 5.5);
  p.feed(sentence("GPVTG,45.5,T,,M,2.0,N,,K,A"));
  EXPECT_DOUBLE_EQ(fix->speed.get(), 2.0 * 1.852);
}

TEST(NmeaParser, FixReachesTheHistoryOnlyWhenTheNextEpochBegins) {
  Parsed p;
  p.feed(kGga);
  p.feed(kRmc);
  EXPECT_TRUE(p.data.history.empty());
  const GpsFix* second =
      p.feed(sentence("GPGGA,083300.000,2445.4980,S,12057.4576,W,1,03,1.0,38.2,M,16.3,M,,0000"));
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(p.data.history.size(), 1u);
  EXPECT_EQ(p.data.history[0].time, 1145349179);
  // The date from the RMC stays: the new fix is timed on the same day.
  EXPECT_EQ(second->time, 1145349180);
  EXPECT_NEAR(second->latitude.get(), -24.758300, 1e-6);
  EXPECT_NEAR(second->longitude.get(), -120.957627, 1e-6);
  EXPECT_EQ(second->quality, 2);
}

struct LineCase {
  const char* name;
  std::string line;
  bool opensFix;
};

class LineAcceptance : public ::testing::TestWithParam<LineCase> {};

TEST_P(LineAcceptance, OpensAFixOrChangesNothing) {
  Parsed p;
  const GpsFix* fix = p.feed(GetParam().line);
  EXPECT_EQ(fix != nullptr, GetParam().opensFix);
  EXPECT_TRUE(p.data.history.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, LineAcceptance,
    ::testing::Values(
        LineCase{"Valid", kGga, true},
        LineCase{"NoChecksum", "$GPGGA,083259.000,2445.4970,N,12057.4576,E,1,08,1.0,38.2,M\r\n",
                 true},
        LineCase{"WrongChecksum",
                 "$GPRMC,083259.000,A,2445.4970,N,12057.4576,E,0.00,31.78,180406,,,A*52\r\n",
                 false},
        LineCase{"StarWithoutDigits", "$GPGGA,083259.000,2445.4970,N,12057.4576,E,1,08*\r\n",
                 false},
        LineCase{"LeadingBlanks", "  \t" + kGga, true},
        LineCase{"NoDollar", "GPGGA,083259.000,2445.4970,N,12057.4576,E,1,08,1.0\r\n", false},
        LineCase{"RmcVoid", sentence("GPRMC,083259.000,V,2445.4970,N,12057.4576,E,0,0,180406"),
                 false},
        LineCase{"OtherSentence", sentence("GPZDA,083259.00,18,04,2006,00,00"), false},
        LineCase{"UnknownTalker", sentence("ECGGA,083259.000,2445.4970,N,12057.4576,E,1,08"),
                 false},
        LineCase{"MultiConstellation",
                 sentence("GNRMC,083259.000,A,2445.4970,N,12057.4576,E,0.00,31.78,180406,,,A"),
                 true},
        LineCase{"GllWithFractionalTime", sentence("GPGLL,2445.4970,N,12057.4576,E,083259.000,A,A"),
                 true},
        LineCase{"VtgWithoutFix", sentence("GPVTG,45.5,T,,M,2.0,N,5.5,K,A"), false},
        LineCase{"Overlong", kGga.substr(0, kGga.size() - 2) + std::string(1100, ' ') + "x\r\n",
                 false},
        LineCase{"HugeNumbers", sentence("GPGGA,1e308,9e307,N,-9e307,E,99999999999,-5,nan,inf"),
                 true},
        // Read up to the NUL, this would be a fix at longitude 1.333333.
        LineCase{"NulInside",
                 "$GPGGA,083259.000,2445.4970,N,120" + std::string(1, '\0') + kGga.substr(33),
                 false}),
    [](const auto& param) { return std::string(param.param.name); });

std::vector<int> prns(const SatelliteTable& table) {
  std::vector<int> out;
  for (const auto& sat : table) out.push_back(sat.prn);
  return out;
}

struct PositionCase {
  const char* name;
  std::vector<std::string> epoch;  // the sentences of the first epoch
  bool hasPosition;
};

class PositionRule : public ::testing::TestWithParam<PositionCase> {};

TEST_P(PositionRule, OnlyAFixWithAPositionEntersTheHistory) {
  Parsed p;
  for (const std::string& line : GetParam().epoch) p.feed(line);
  p.feed(sentence("GPGGA,083300.000,2445.4980,N,12057.4576,E,1,08,1.0,38.2,M"));
  EXPECT_EQ(p.data.history.size(), GetParam().hasPosition ? 1u : 0u);
}

const std::string kColdStart = sentence("GPGGA,083259.000,,,,,0,00,99.9,,M,,M,,");

INSTANTIATE_TEST_SUITE_P(
    Table, PositionRule,
    ::testing::Values(
        PositionCase{"Gga", {kGga}, true}, PositionCase{"GgaColdStart", {kColdStart}, false},
        PositionCase{"GgaQualityZero",
                     {sentence("GPGGA,083259.000,2445.4970,N,12057.4576,E,0,08,1.0,38.2,M")},
                     false},
        PositionCase{
            "GgaWithoutCoordinates", {sentence("GPGGA,083259.000,,,,,1,08,1.0,38.2,M")}, false},
        PositionCase{"GgaLatitudeOffTheGlobe",
                     {sentence("GPGGA,083259.000,9100.0000,N,12057.4576,E,1,08,1.0,38.2,M")},
                     false},
        PositionCase{"GgaLongitudeOffTheGlobe",
                     {sentence("GPGGA,083259.000,2445.4970,N,18100.0000,W,1,08,1.0,38.2,M")},
                     false},
        PositionCase{"Rmc", {kRmc}, true},
        PositionCase{"RmcWithoutCoordinates",
                     {sentence("GPRMC,083259.000,A,,,,,0.00,31.78,180406,,,A")},
                     false},
        PositionCase{"RmcGivesWhatTheGgaLacked", {kColdStart, kRmc}, true},
        PositionCase{"Gll", {sentence("GPGLL,2445.4970,N,12057.4576,E,083259.000,A,A")}, true},
        PositionCase{"GllWithoutCoordinates", {sentence("GPGLL,,,,,083259.000,A,A")}, false}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(NmeaParser, EpochsWithoutAPositionStillCountForPacingAndSatellites) {
  Parsed p(1.0);
  for (int s = 0; s < 3; ++s) {
    char body[64];
    std::snprintf(body, sizeof body, "GPGGA,0833%02d.000,,,,,0,00,99.9,,M,,M,,", s);
    p.feed(sentence(body));
  }
  p.feed(sentence("GPGSV,1,1,01,05,58,310,45"));
  p.feed(sentence("GPGGA,083303.000,2445.4970,N,12057.4576,E,1,08,1.0,38.2,M"));
  p.feed(sentence("GPGGA,083304.000,2445.4980,N,12057.4576,E,1,08,1.0,38.2,M"));
  EXPECT_EQ(p.clock.sleeps, (std::vector<std::int64_t>{1000, 1000, 1000, 1000}));
  EXPECT_EQ(prns(p.data.satellites), (std::vector<int>{5}));
  ASSERT_EQ(p.data.history.size(), 1u);
  EXPECT_EQ(p.data.history[0].time, 30783);
}

TEST(NmeaParser, TalkersBeyondGpsAreRefusedWhenSwitchedOff) {
  Parsed p(0, NmeaOptions{.allTalkers = false});
  EXPECT_EQ(p.feed(sentence("GNRMC,083259.000,A,2445.4970,N,12057.4576,E,0.00,31.78,180406")),
            nullptr);
}

TEST(NmeaParser, GllIsReadOnlyWithoutGgaOrRmc) {
  Parsed p;
  p.feed(kGga);
  const GpsFix* fix = p.feed(sentence("GPGLL,1111.0000,N,02222.0000,E,083300,A,A"));
  EXPECT_EQ(fix, nullptr);
  Parsed gllOnly;
  const GpsFix* first = gllOnly.feed(sentence("GPGLL,1111.0000,N,02222.0000,E,083300,A,A"));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->time, 8 * 3600 + 33 * 60);
  // One fix per sentence, not one per minute.
  EXPECT_NE(gllOnly.feed(sentence("GPGLL,1111.0000,N,02222.0000,E,083301,A,A")), nullptr);
}

struct QualityCase {
  const char* name;
  int ggaQuality;
  int satellites;
  char gsaType;  // 0: no GSA
  int expected;
};

class Quality : public ::testing::TestWithParam<QualityCase> {};

TEST_P(Quality, FromGgaThenGsa) {
  const auto& c = GetParam();
  Parsed p;
  char body[128];
  std::snprintf(body, sizeof body, "GPGGA,083259.000,2445.4970,N,12057.4576,E,%d,%02d,1.0,38.2,M",
                c.ggaQuality, c.satellites);
  const GpsFix* fix = p.feed(sentence(body));
  ASSERT_NE(fix, nullptr);
  if (c.gsaType) {
    std::snprintf(body, sizeof body, "GPGSA,A,%c,05,02,,,,,,,,,,,2.5,1.2,2.1", c.gsaType);
    p.feed(sentence(body));
  }
  EXPECT_EQ(fix->quality, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Quality,
    ::testing::Values(QualityCase{"NoFix", 0, 8, 0, 1}, QualityCase{"ThreeSats", 1, 3, 0, 2},
                      QualityCase{"FourSats", 1, 4, 0, 3}, QualityCase{"DgpsFew", 2, 3, 0, 4},
                      QualityCase{"Dgps", 2, 8, 0, 5}, QualityCase{"Pps", 3, 8, 0, 6},
                      QualityCase{"Unknown", 7, 8, 0, 1}, QualityCase{"Gsa3Keeps", 1, 4, '3', 3},
                      QualityCase{"Gsa2Sets", 1, 4, '2', 2},
                      QualityCase{"Gsa3Raises", 1, 3, '3', 3},
                      QualityCase{"DgpsKept", 2, 8, '2', 5}, QualityCase{"GsaOther", 1, 3, '1', 2}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(NmeaParser, GsaSetsDopsAndCountsUsedSatellitesOnlyWithoutGgaCount) {
  Parsed p;
  const GpsFix* fix = p.feed(sentence("GPRMC,083259.000,A,2445.4970,N,12057.4576,E,0,0,180406"));
  ASSERT_NE(fix, nullptr);
  p.feed(sentence("GPGSA,A,3,05,02,26,,,,,,,,,,2.5,1.5,2.0"));
  EXPECT_EQ(fix->satellitesUsed, 3);
  EXPECT_DOUBLE_EQ(fix->pdop, 2.5);
  EXPECT_DOUBLE_EQ(fix->hdop, 1.5);
  EXPECT_DOUBLE_EQ(fix->vdop, 2.0);
}

TEST(NmeaParser, GsvCycleReplacesTheTableAtItsLastPage) {
  Parsed p;
  p.feed(kGga);
  p.feed(sentence("GPGSA,A,3,05,26,,,,,,,,,,,2.5,1.5,2.0"));
  p.feed(sentence("GPGSV,3,1,09,05,58,310,45,00,40,068,43,26,35,181,,40,31,244,38"));
  p.feed(sentence("GPGSV,3,2,09,05,10,10,10,36,90,000,30"));
  EXPECT_TRUE(p.data.satellites.empty());
  p.feed(sentence("GPGSV,3,3,09,07,05,100,"));
  ASSERT_EQ(prns(p.data.satellites), (std::vector<int>{5, 26, 36, 7}));
  const auto& sats = p.data.satellites;
  EXPECT_EQ(sats[0].snr, 45);  // first occurrence wins
  EXPECT_TRUE(sats[0].usedInFix);
  EXPECT_EQ(sats[1].snr, 0);  // empty SNR
  EXPECT_TRUE(sats[1].usedInFix);
  EXPECT_FALSE(sats[2].usedInFix);
  EXPECT_DOUBLE_EQ(sats[2].elevation.get(), 90);
  EXPECT_EQ(sats[3].snr, 0);  // empty last field before the checksum: no phantom satellite
  EXPECT_EQ(p.data.history.size(), 0u);
  // A new single-page cycle replaces the whole table.
  p.feed(sentence("GPGSV,1,1,01,12,10,20,30"));
  EXPECT_EQ(prns(p.data.satellites), (std::vector<int>{12}));
}

TEST(NmeaParser, EachTalkerKeepsItsLatestCompleteCycle) {
  Parsed p;
  p.feed(kGga);
  p.feed(sentence("GPGSA,A,3,05,,,,,,,,,,,,2.5,1.5,2.0"));
  p.feed(sentence("GNGSA,A,3,70,,,,,,,,,,,,2.5,1.5,2.0"));  // follows: adds, does not replace
  p.feed(sentence("GPGSV,1,1,01,05,58,310,45"));
  p.feed(sentence("GLGSV,2,1,05,70,10,10,10,200,20,20,20"));
  EXPECT_EQ(prns(p.data.satellites), (std::vector<int>{5}));
  p.feed(sentence("GLGSV,2,2,05,71,10,10,10"));
  EXPECT_EQ(prns(p.data.satellites), (std::vector<int>{5, 70, 200, 71}));
  EXPECT_TRUE(p.data.satellites[0].usedInFix);
  EXPECT_TRUE(p.data.satellites[1].usedInFix);
  p.feed(sentence("GPGSV,1,1,01,06,58,310,45"));
  EXPECT_EQ(prns(p.data.satellites), (std::vector<int>{70, 200, 71, 6}));
  EXPECT_EQ(p.data.history.size(), 0u);
}

struct GsvCase {
  const char* name;
  std::string body;
  std::vector<int> prns;
};

class GsvSignalId : public ::testing::TestWithParam<GsvCase> {};

// NMEA 4.10 and later end a GSV with a signal ID, which is no satellite.
TEST_P(GsvSignalId, IsNeverReadAsASatellite) {
  Parsed p;
  p.feed(kGga);
  p.feed(sentence(GetParam().body));
  EXPECT_EQ(prns(p.data.satellites), GetParam().prns);
}

INSTANTIATE_TEST_SUITE_P(
    Table, GsvSignalId,
    ::testing::Values(GsvCase{"AfterOneSatellite", "GPGSV,1,1,01,07,05,100,,1", {7}},
                      GsvCase{
                          "AfterTwoSatellites", "GPGSV,1,1,02,07,05,100,20,08,10,200,30,1", {7, 8}},
                      GsvCase{"Alone", "GPGSV,1,1,00,1", {}},
                      GsvCase{"BeforeSignalIds", "GPGSV,1,1,02,07,05,100,20,08,10,200,30", {7, 8}}),
    [](const auto& param) { return std::string(param.param.name); });

// Epochs one second apart, each a GGA; every new epoch publishes and so paces.
std::string ggaAt(int second, int millis = 0) {
  char body[96];
  std::snprintf(body, sizeof body, "GPGGA,0833%02d.%03d,2445.4970,N,12057.4576,E,1,08,1.0,1,M",
                second, millis);
  return sentence(body);
}

TEST(NmeaParser, PacingSleepsTheRecordedGapDividedByTheFactorLessTheTimeSpent) {
  Parsed p(2.0);
  p.feed(ggaAt(0));
  p.feed(ggaAt(1));    // first pacing: the reference is now
  p.clock.now += 120;  // parsing took a while
  p.feed(ggaAt(2));
  ASSERT_EQ(p.clock.sleeps, (std::vector<std::int64_t>{500, 380}));
}

TEST(NmeaParser, OneHertzAtFactorOnePlaysInRealTime) {
  Parsed p(1.0);
  const std::int64_t start = p.clock.now;
  for (int s = 0; s <= 10; ++s) p.feed(ggaAt(s));
  // Ten gaps of one second: ten seconds, not five.
  EXPECT_EQ(p.clock.now - start, 10000);
}

TEST(NmeaParser, NoPacingWithoutAFactor) {
  Parsed p(0.0);
  for (int s = 0; s < 5; ++s) p.feed(ggaAt(s));
  EXPECT_TRUE(p.clock.sleeps.empty());
  EXPECT_EQ(p.data.history.size(), 4u);
}

struct PltRun {
  GpsData data;
  FakeClock clock;
  PltTrackParser parser{data, 0, clock};
  void feed(const std::vector<std::string>& lines) {
    for (const auto& line : lines) parser.processLine(line + "\r\n");
  }
};

const std::vector<std::string> kPltHeader = {"OziExplorer Track Point File Version 2.1", "WGS 84",
                                             "Altitude is in Feet", "Reserved 3",
                                             "0,2,255,track,0,0,2,8421376"};

TEST(PltTrackParser, PointsAfterTheHeaderWithCourseAndSpeed) {
  PltRun run;
  auto lines = kPltHeader;
  lines.insert(lines.end(), {"3", "  58.821140,  42.627060,1,  549.2,40230.3722801, x, y",
                             "  58.821140,  42.637060,0,  547.7,40230.3724074, x, y",
                             "  58.821140,  42.647060,0,  547.7,40230.3724074, x, y",
                             "  58.831140,  42.647060,0,  547.7,40230.3725000, x, y"});
  run.feed(lines);
  ASSERT_EQ(run.data.history.size(), 3u);
  const auto& h = run.data.history;
  EXPECT_DOUBLE_EQ(h[0].latitude.get(), 58.821140);
  EXPECT_DOUBLE_EQ(h[0].altitude.get(), 549.2 * 0.3048);
  EXPECT_EQ(h[0].time, 1266742565);  // 2010-02-21 08:56:05 UTC
  EXPECT_FALSE(h[0].speed.has());
  EXPECT_NEAR(h[1].course.get(), 90.0, 0.01);
  EXPECT_GT(h[1].speed.get(), 0.0);
  // Same time stamp: the speed of the step before stands instead of a division by zero.
  EXPECT_DOUBLE_EQ(h[2].speed.get(), h[1].speed.get());
}

struct PltPointCase {
  const char* name;
  std::string line;
  bool shown;
  std::int32_t time;  // of a shown point
};

class PltPoint : public ::testing::TestWithParam<PltPointCase> {};

TEST_P(PltPoint, IsShownOrRefusedAndCounted) {
  const auto& c = GetParam();
  PltRun run;
  auto lines = kPltHeader;
  lines.insert(lines.end(), {"2", c.line, "58.9,42.6,0,500,40230.6"});
  run.feed(lines);
  ASSERT_EQ(run.data.history.size(), c.shown ? 1u : 0u);
  EXPECT_EQ(run.parser.refusedPoints(), c.shown ? 0u : 1u);
  if (c.shown) {
    EXPECT_EQ(run.data.history[0].time, c.time);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PltPoint,
    ::testing::Values(
        PltPointCase{"Dated", "58.8,42.6,0,500,40230.5", true, 1266753600},
        PltPointCase{"DateZero", "58.8,42.6,0,500,0", true, 0},
        PltPointCase{"DateBlank", "58.8,42.6,0,500, ", true, 0},
        PltPointCase{"DateMissing", "58.8,42.6,0,500", true, 0},
        PltPointCase{"LatitudeNan", "nan,42.6,0,500,40230.5", false, 0},
        PltPointCase{"LongitudeInfinite", "58.8,inf,0,500,40230.5", false, 0},
        PltPointCase{"AltitudeNan", "58.8,42.6,0,nan,40230.5", false, 0},
        PltPointCase{"LatitudeOffTheGlobe", "90.5,42.6,0,500,40230.5", false, 0},
        PltPointCase{"LongitudeOffTheGlobe", "58.8,-181,0,500,40230.5", false, 0},
        PltPointCase{"NulInside", "58.8,4" + std::string(1, '\0') + "2.6,0,500,40230.5", false, 0}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(PltTrackParser, WithoutTheHeaderOrBeforeLineSixNothingIsRead) {
  PltRun noHeader;
  auto lines = kPltHeader;
  lines[0] = "OziExplorer Track File Version 2.1";
  const std::string point = "58.8,42.6,0,500,40230.5";
  lines.insert(lines.end(), {point, point + "1", point + "2"});
  noHeader.feed(lines);
  EXPECT_TRUE(noHeader.data.history.empty());

  PltRun early;
  early.feed({"OziExplorer Track Point File", point, point + "1", point + "2", point + "3"});
  EXPECT_TRUE(early.data.history.empty());
}

}  // namespace
}  // namespace tivra::gps

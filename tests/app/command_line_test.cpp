// The command line: the globe switch, the snapshot and its view, and what is refused.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tivra::app {
namespace {

struct ArgsCase {
  const char* name;
  std::vector<const char*> args;  // after the program name
  bool accepted;
  bool useEarth = true;
  const char* snapshot = nullptr;
  bool webGlobe = false;
};

class CommandLineTest : public ::testing::TestWithParam<ArgsCase> {};

TEST_P(CommandLineTest, ParsesOrRefuses) {
  const ArgsCase& c = GetParam();
  std::vector<const char*> argv = {"tivra"};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  std::string error;
  const auto cl = parseCommandLine(argv, error);
  ASSERT_EQ(cl.has_value(), c.accepted) << error;
  if (!cl) {
    EXPECT_FALSE(error.empty());
    return;
  }
  EXPECT_EQ(cl->useEarth, c.useEarth);
  EXPECT_EQ(cl->webGlobe, c.webGlobe);
  if (c.snapshot) {
    ASSERT_TRUE(cl->snapshot);
    EXPECT_EQ(cl->snapshot->string(), c.snapshot);
  } else {
    EXPECT_FALSE(cl->snapshot);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineTest,
    ::testing::Values(
        ArgsCase{"Plain", {"--headless"}, true},
        ArgsCase{"DashWW", {"--headless", "-WW"}, true, false},
        ArgsCase{"SlashLowerWW", {"--headless", "/ww"}, true, false},
        ArgsCase{"WWWithMore", {"--headless", "-WWX"}, false},
        ArgsCase{"Snapshot", {"--headless", "--snapshot", "v.png"}, true, true, "v.png"},
        ArgsCase{"SnapshotAt",
                 {"--headless", "--look-at", "116.39,39.9,30000", "--snapshot", "v.png"},
                 true,
                 true,
                 "v.png"},
        ArgsCase{"SnapshotWithoutFile", {"--headless", "--snapshot"}, false},
        ArgsCase{"SnapshotEmptyFile", {"--headless", "--snapshot", ""}, false},
        ArgsCase{"SnapshotWithoutGlobe", {"--headless", "-WW", "--snapshot", "v.png"}, false},
        ArgsCase{"SnapshotWithoutGlobeLater", {"--headless", "--snapshot", "v.png", "/WW"}, false},
        ArgsCase{"LookAtAlone", {"--headless", "--look-at", "1,2,3"}, false},
        ArgsCase{"LookAtBad", {"--headless", "--snapshot", "v.png", "--look-at", "1,2"}, false},
        ArgsCase{"LookAtMissing", {"--headless", "--snapshot", "v.png", "--look-at"}, false},
        ArgsCase{"GlobeWeb", {"--headless", "--globe", "web"}, true, true, nullptr, true},
        ArgsCase{"GlobeSim", {"--globe", "web", "--globe", "sim"}, true},
        ArgsCase{"GlobeOther", {"--globe", "earth"}, false},
        ArgsCase{"GlobeMissing", {"--globe"}, false},
        ArgsCase{
            "GlobeWebSnapshot", {"--headless", "--globe", "web", "--snapshot", "v.png"}, false}),
    [](const auto& tpi) { return std::string(tpi.param.name); });

struct LookAtCase {
  const char* text;
  bool valid;
  double lon = 0, lat = 0, range = 0;
};

class LookAtTest : public ::testing::TestWithParam<LookAtCase> {};

TEST_P(LookAtTest, ReadsThreeRealsInRange) {
  const LookAtCase& c = GetParam();
  const auto at = parseLookAt(c.text);
  ASSERT_EQ(at.has_value(), c.valid) << c.text;
  if (!at) return;
  EXPECT_DOUBLE_EQ(at->longitude, c.lon);
  EXPECT_DOUBLE_EQ(at->latitude, c.lat);
  EXPECT_DOUBLE_EQ(at->range, c.range);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LookAtTest,
    ::testing::Values(LookAtCase{"116.39,39.9,30000", true, 116.39, 39.9, 30000},
                      LookAtCase{"-180,-90,0.5", true, -180, -90, 0.5},
                      LookAtCase{"180,90,1e7", true, 180, 90, 1e7},
                      LookAtCase{"180.001,0,1", false}, LookAtCase{"0,90.5,1", false},
                      LookAtCase{"0,0,0", false}, LookAtCase{"0,0,-5", false},
                      LookAtCase{"0,0,nan", false}, LookAtCase{"0,0,inf", false},
                      LookAtCase{"1,2,3,4", false}, LookAtCase{"1,,3", false},
                      LookAtCase{"1,2,3x", false}, LookAtCase{" 1,2,3", false},
                      LookAtCase{"", false}));

TEST(CommandLineTest, UsageNamesEveryOption) {
  const std::string usage = usageText();
  for (const char* option :
       {"--headless", "-WW", "--data-dir", "--snapshot", "--look-at", "--verbose", "--globe"})
    EXPECT_NE(usage.find(option), std::string::npos) << option;
}

}  // namespace
}  // namespace tivra::app

#include "app/settings.h"

#include <gtest/gtest.h>

#include <fstream>

#include "app/command_line.h"
#include "app/entry_document.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace tivra::app {
namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void writeIni(std::string_view text) { std::ofstream(dir / kSettingsFile) << text; }
  test::TempDir dir;
  platform::IniFile ini{dir / kSettingsFile};
};

TEST_F(SettingsTest, MissingFileGivesEveryDefault) {
  const MainSettings main = loadMainSettings(ini);
  EXPECT_EQ(main.tcpPort, 11000);
  EXPECT_EQ(main.xPos, 100);
  EXPECT_EQ(main.yPos, 100);
  EXPECT_DOUBLE_EQ(main.cameraLongitude, 111.2);
  EXPECT_DOUBLE_EQ(main.cameraLatitude, 32.6);
  EXPECT_DOUBLE_EQ(main.cameraRange, 4750000);
  tiles::MapValues map;
  map.xoff = 5;
  map.autoOffset = false;
  loadMapValues(ini, map);
  EXPECT_EQ(map.xoff, 0);
  EXPECT_EQ(map.yoff, 0);
  EXPECT_TRUE(map.autoOffset);
  EXPECT_EQ(map.zoomLevel, 1);
  EXPECT_EQ(map.transParency, 50);
  EXPECT_TRUE(map.transparentMode);
  EXPECT_EQ(map.bkRange, 0);
  EXPECT_EQ(map.colorNo, 0);
  const HostSettings hosts = loadHostSettings(ini);
  EXPECT_EQ(hosts.listenAddress, "127.0.0.1");
  EXPECT_EQ(hosts.iconHost, "http://maps.google.com");
}

TEST_F(SettingsTest, StoredTextRules) {
  writeIni(
      "[settings]\nAutoOffset=FALSE\nTransparentMode=no\nTcpPort=abc\nXPos=12px\n"
      "CameraRange=1e3\nZoomLevel=\nTileHost=127.0.0.1:8080\nListenAddress=0.0.0.0\n"
      "TileUrl=https://{s}.example.org/{z}/{x}/{y}.png\nTileSubdomains=12\nOffsetModel=gcj02\n");
  tiles::MapValues map;
  loadMapValues(ini, map);
  EXPECT_FALSE(map.autoOffset);
  EXPECT_TRUE(map.transparentMode) << "only \"false\" reads as false";
  EXPECT_EQ(map.zoomLevel, 0) << "an empty value is no number";
  const MainSettings main = loadMainSettings(ini);
  EXPECT_EQ(main.tcpPort, 0);
  EXPECT_EQ(main.xPos, 12);
  EXPECT_DOUBLE_EQ(main.cameraRange, 1000);
  const HostSettings hosts = loadHostSettings(ini);
  EXPECT_EQ(hosts.tileHost, "127.0.0.1:8080");
  EXPECT_EQ(hosts.listenAddress, "0.0.0.0");
  EXPECT_EQ(hosts.tileUrl, "https://{s}.example.org/{z}/{x}/{y}.png");
  EXPECT_EQ(hosts.tileSubdomains, "12");
  EXPECT_EQ(hosts.offsetModel, "gcj02");
}

// The page's keys and the window's, written one after the other or in the one rewrite of the
// end of a run, give the same bytes.
TEST_F(SettingsTest, OneRunWritesTheFourteenKeysInOrder) {
  for (const bool together : {false, true}) {
    std::filesystem::remove(dir / kSettingsFile);
    tiles::MapValues map;
    loadMapValues(ini, map);
    if (together) {
      ASSERT_TRUE(saveSettings(ini, &map, loadMainSettings(ini)));
    } else {
      ASSERT_TRUE(saveMapValues(ini, map));
      ASSERT_TRUE(saveMainSettings(ini, loadMainSettings(ini)));
    }
    EXPECT_EQ(test::readFile(dir / kSettingsFile),
              "[settings]\r\nXoff=0\r\nYoff=0\r\nAutoOffset=true\r\nZoomLevel=1\r\n"
              "TransParency=50\r\nTransparentMode=true\r\nBKRange=0\r\nColorNo=0\r\n"
              "TcpPort=11000\r\nXPos=100\r\nYPos=100\r\nCameraLongitude=111.200000\r\n"
              "CameraLatitude=32.600000\r\nCameraRange=4750000.000000\r\n")
        << together;
  }
  // Without a map page only the window's keys are written.
  std::filesystem::remove(dir / kSettingsFile);
  ASSERT_TRUE(saveSettings(ini, nullptr, MainSettings{}));
  EXPECT_EQ(test::readFile(dir / kSettingsFile).find("Xoff"), std::string::npos);
}

TEST_F(SettingsTest, ReadOnlyKeysSurviveAndAreNeverWritten) {
  writeIni("[settings]\r\nTileHost=example.org\r\n");
  tiles::MapValues map;
  ASSERT_TRUE(saveMapValues(ini, map));
  ASSERT_TRUE(saveMainSettings(ini, MainSettings{}));
  const std::string text = test::readFile(dir / kSettingsFile);
  EXPECT_EQ(text.find("TileHost=example.org\r\nXoff=0"), std::string("[settings]\r\n").size());
  EXPECT_EQ(text.find("ListenAddress"), std::string::npos);
}

TEST(EntryDocument, IsByteExact) {
  MainSettings s;
  s.tcpPort = 11001;
  s.cameraLongitude = 116.5;
  EXPECT_EQ(buildEntryDocument(s),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<kml xmlns=\"http://earth.google.com/kml/2.0\">\n"
            "<Document><name>Tivra</name>\n<visibility>1</visibility>\n<open>1</open>\n"
            "<LookAt>\n<longitude>116.500000</longitude>\n<latitude>32.600000</latitude>\n"
            "<range>4750000.000000</range>\n<tilt>0</tilt>\n<heading>0</heading>\n</LookAt>\n"
            "<ScreenOverlay>\n<name>Tivra Tag</name>\n<Icon>\n"
            "<href>http://localhost:11001/ImageServer/F00/logo.png</href>\n</Icon>\n"
            "<overlayXY x=\"1\" y=\"0\" xunits=\"pixel\" yunits=\"pixel\"/>\n"
            "<screenXY x=\"0.9\" y=\"0.1\" xunits=\"fraction\" yunits=\"fraction\"/>\n"
            "<rotation>0</rotation>\n"
            " <size x=\"0\" y=\"0\" xunits=\"pixels\" yunits=\"pixels\"/>\n"
            "</ScreenOverlay>\n"
            "<NetworkLink>\n<name>Tivra Overlay</name>\n"
            "<description><![CDATA[<a href=\"https://tivra.org/\">中国人用的Google Earth插件</a>]]>"
            "</description>\n"
            "<Url>\n<href>http://localhost:11001/KmlServer?</href>\n"
            "  <refreshMode>onInterval</refreshMode>\n  <refreshInterval>3</refreshInterval>\n"
            "  <viewRefreshMode>onStop</viewRefreshMode>\n  <viewRefreshTime>2</viewRefreshTime>\n"
            "    <viewFormat>BBOX=[bboxWest],[bboxSouth],[bboxEast],[bboxNorth],[lookatLon],"
            "[lookatLat],[lookatRange],[lookatTilt],[lookatHeading],[horizFov],[vertFov],"
            "[horizPixels],[vertPixels]</viewFormat>\n"
            "  </Url>\n</NetworkLink>\n</Document>\n</kml>\n");
}

TEST(CommandLineTest, SwitchesAndErrors) {
  std::string error;
  const char* a1[] = {"tivra", "--headless", "-ww", "--data-dir", "d", "--verbose"};
  const auto cl = parseCommandLine(a1, error);
  ASSERT_TRUE(cl);
  EXPECT_TRUE(cl->headless);
  EXPECT_FALSE(cl->useEarth);
  EXPECT_TRUE(cl->verbose);
  EXPECT_EQ(cl->dataDirectory, "d");
  const char* a2[] = {"tivra", "/WW"};
  EXPECT_FALSE(parseCommandLine(a2, error)->useEarth);
  const char* a3[] = {"tivra", "-WWX"};
  EXPECT_FALSE(parseCommandLine(a3, error));
  const char* a4[] = {"tivra", "--data-dir"};
  EXPECT_FALSE(parseCommandLine(a4, error));
  const char* a5[] = {"tivra"};
  EXPECT_TRUE(parseCommandLine(a5, error)->useEarth);
}

struct ChoicesCase {
  const char* name;
  const char* window;  // the [window] section's lines
  const char* page;
  std::int32_t gpsKind;
  const char* gpsFile;
  double gpsTimeFactor;
};

void PrintTo(const ChoicesCase& c, std::ostream* os) {
  *os << c.name;
}

class WindowChoicesTest : public testing::TestWithParam<ChoicesCase> {};

// The window's own section beside the fourteen keys: read with its bounds, the fourteen untouched.
TEST_P(WindowChoicesTest, ReadWithinBoundsBesideTheSettings) {
  const ChoicesCase& c = GetParam();
  test::TempDir dir;
  const std::string settings = "[settings]\r\nTcpPort=12345\r\nXPos=7\r\n";
  std::ofstream(dir / kSettingsFile) << settings << "[window]\r\n" << c.window;
  const platform::IniFile ini{dir / kSettingsFile};
  const WindowChoices read = loadWindowChoices(ini);
  EXPECT_EQ(read.page, c.page);
  EXPECT_EQ(read.gpsKind, c.gpsKind);
  EXPECT_EQ(read.gpsFile, c.gpsFile);
  EXPECT_DOUBLE_EQ(read.gpsTimeFactor, c.gpsTimeFactor);
  ASSERT_TRUE(saveWindowChoices(ini, read));
  EXPECT_EQ(test::readFile(dir / kSettingsFile).substr(0, settings.size()), settings);
  EXPECT_EQ(loadWindowChoices(ini).gpsFile, c.gpsFile);
}

INSTANTIATE_TEST_SUITE_P(
    Values, WindowChoicesTest,
    testing::Values(
        ChoicesCase{"Kept", "Page=gps\r\nGpsKind=2\r\nGpsFile=/t/a.plt\r\nGpsTimeFactor=2.5\r\n",
                    "gps", 2, "/t/a.plt", 2.5},
        ChoicesCase{"Missing", "", "map", 1, "", 1.0},
        ChoicesCase{"OutOfRange", "Page=../x\r\nGpsKind=3\r\nGpsTimeFactor=-2\r\n", "map", 1, "",
                    1.0},
        ChoicesCase{"NotANumber", "GpsKind=x\r\nGpsTimeFactor=nan\r\n", "map", 0, "", 1.0}),
    [](const testing::TestParamInfo<ChoicesCase>& p) { return std::string(p.param.name); });

// A value comes back cut to 127 bytes: a longer file name is not written as another file's.
TEST(WindowChoicesSaveTest, LongTrackFileNameIsDropped) {
  test::TempDir dir;
  const platform::IniFile ini{dir / kSettingsFile};
  WindowChoices choices;
  choices.gpsFile = "/" + std::string(127, 'a');
  ASSERT_TRUE(saveWindowChoices(ini, choices));
  EXPECT_EQ(loadWindowChoices(ini).gpsFile, "");
  choices.gpsFile = "/" + std::string(126, 'a');
  ASSERT_TRUE(saveWindowChoices(ini, choices));
  EXPECT_EQ(loadWindowChoices(ini).gpsFile, choices.gpsFile);
}

}  // namespace
}  // namespace tivra::app

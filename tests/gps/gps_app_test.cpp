// The GPS page and endpoints inside the program: Start and its status texts, the three endpoints
// over real sockets, and the demo followed by the simulated globe.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/http_response.h"
#include "support/app_harness.h"
#include "support/nmea_text.h"
#include "support/process.h"
#include "support/raw_client.h"
#include "support/temp_dir.h"

namespace tivra::gps {
namespace {

using namespace std::chrono_literals;

class StatusLog {
 public:
  std::function<void(std::string_view)> sink() {
    return [this](std::string_view text) {
      std::lock_guard lock(m_mutex);
      m_lines.emplace_back(text);
    };
  }
  std::vector<std::string> lines() {
    std::lock_guard lock(m_mutex);
    return m_lines;
  }
  bool waitFor(const std::string& text, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      const auto all = lines();
      if (std::find(all.begin(), all.end(), text) != all.end()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

 private:
  std::mutex m_mutex;
  std::vector<std::string> m_lines;
};

class GpsApp : public ::testing::Test {
 protected:
  void start(bool useEarth = false) {
    harness = std::make_unique<test::AppHarness>(std::string(), useEarth);
    harness->options().gpsStatus = status.sink();
    harness->options().gpsStartWait = 100ms;
    harness->options().gpsController.probeSteps = 3;
    harness->options().gpsController.probeStep = 10ms;
    ASSERT_TRUE(harness->start());
  }
  void startGps(GpsPageSettings settings) {
    harness->onLoop([&] {
      harness->window().gpsPage().settings() = settings;
      harness->window().gpsPage().start();
    });
  }
  std::string get(std::string_view path) {
    return test::exchange(harness->port(), "GET " + std::string(path) + " HTTP/1.1\r\n\r\n")
        .value_or("(no answer)");
  }

  test::TempDir dir;
  StatusLog status;
  std::unique_ptr<test::AppHarness> harness;
};

const char kTrack[] =
    "$GPGGA,083259.000,2445.4970,N,12057.4576,E,1,08,1.0,38.2,M,,,,*36\r\n"
    "$GPGSA,A,3,05,02,,,,,,,,,,,2.5,1.5,2.0*34\r\n"
    "$GPGSV,1,1,02,05,58,310,45,02,40,068,43*7F\r\n"
    "$GPGGA,083300.000,2445.4980,N,12057.4576,E,1,08,1.0,38.2,M,,,,*34\r\n"
    "$GPGGA,083301.000,2445.4990,N,12057.4576,E,1,08,1.0,38.2,M,,,,*34\r\n";

TEST_F(GpsApp, EndpointsAnswerHiddenWithoutASourceAndTheTrackWithOne) {
  start();
  for (const char* path :
       {"/GPSServer/1.kml", "/SatUpdateServer/SatellitesUpdate.kml", "/PosUpdateServer/Update.kml"})
    EXPECT_EQ(get(path), platform::kEmptyKmlDocument) << path;

  std::ofstream(dir / "t.nmea", std::ios::binary) << kTrack;
  GpsPageSettings settings;
  settings.kind = SourceKind::File;
  settings.fileName = (dir / "t.nmea").string();
  settings.timeFactor = 0;
  startGps(settings);
  ASSERT_TRUE(status.waitFor("读取数据文件结束."));
  EXPECT_EQ(status.lines(),
            (std::vector<std::string>{"就绪", "正在读取数据.", "读取数据文件结束."}));

  const std::string gps = get("/GPSServer/anything.kml");
  ASSERT_TRUE(gps.starts_with("HTTP/1.1 200 OK\r\nContent-Length:")) << gps;
  const auto body = gps.find("\r\n\r\n") + 4;
  EXPECT_EQ(std::to_string(gps.size() - body), gps.substr(32, gps.find("\r\n", 32) - 32));
  EXPECT_NE(gps.find("<Placemark id=\"Point1\">"), std::string::npos);
  EXPECT_EQ(gps.find("<Placemark id=\"Point2\">"), std::string::npos);
  const std::string update = get("/PosUpdateServer/Update.kml");
  EXPECT_NE(update.find("<Placemark targetId=\"Car\">"), std::string::npos);
  const std::string sats = get("/SatUpdateServer/SatellitesUpdate.kml");
  EXPECT_NE(sats.find("<name>PRN05</name>"), std::string::npos);
  EXPECT_NE(sats.find("<tr><td><b>UsedInFix</b> yes </td></tr>"), std::string::npos);

  harness->onLoop([&] { harness->window().gpsPage().stop(); });
  EXPECT_EQ(get("/GPSServer/1.kml"), platform::kEmptyKmlDocument);
}

const auto sentence = test::nmeaSentence;

TEST_F(GpsApp, AnswersBeyondTheResponseBufferArriveWhole) {
  start();
  // 200 GLONASS-talker satellites: a satellites document of several hundred kilobytes.
  std::string text = kTrack;
  for (int page = 1; page <= 50; ++page) {
    std::string body = "GLGSV,50," + std::to_string(page) + ",200";
    for (int i = 0; i < 4; ++i) body += "," + std::to_string((page - 1) * 4 + i + 1) + ",45,90,40";
    text += sentence(body);
  }
  text += sentence("GPGGA,083302.000,2445.5000,N,12057.4576,E,1,08,1.0,38.2,M,,,,");
  std::ofstream(dir / "many.nmea", std::ios::binary) << text;
  GpsPageSettings settings;
  settings.kind = SourceKind::File;
  settings.fileName = (dir / "many.nmea").string();
  settings.timeFactor = 0;
  startGps(settings);
  ASSERT_TRUE(status.waitFor("读取数据文件结束."));
  const std::string sats = get("/SatUpdateServer/SatellitesUpdate.kml");
  const auto body = sats.find("\r\n\r\n") + 4;
  EXPECT_GT(sats.size() - body, 81920u);
  EXPECT_EQ(std::to_string(sats.size() - body), sats.substr(32, sats.find("\r\n", 32) - 32));
  EXPECT_TRUE(sats.ends_with("</Folder>\n</kml>\n"));
  EXPECT_NE(sats.find("<name>PRN200</name>"), std::string::npos);
}

struct StartCase {
  const char* name;
  SourceKind kind;
  const char* fileName;
  const char* port;
  const char* baud;
  std::vector<std::string> statuses;
  std::vector<std::string> messages;
  bool gpsdAway = false;  // gpsd on a port where nothing listens
};

class PageStart : public GpsApp, public ::testing::WithParamInterface<StartCase> {};

TEST_P(PageStart, StatusTextsAndMessages) {
  const auto& c = GetParam();
  start();
  GpsPageSettings settings;
  settings.kind = c.kind;
  settings.fileName = c.fileName;
  settings.port = c.port;
  settings.baud = c.baud;
  settings.timeFactor = 0;
  if (c.gpsdAway) settings.gpsdPort = test::freePort();
  startGps(settings);
  ASSERT_TRUE(status.waitFor(c.statuses.back()));
  std::this_thread::sleep_for(200ms);  // nothing else follows
  EXPECT_EQ(status.lines(), c.statuses);
  EXPECT_EQ(harness->frontend().messages(), c.messages);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PageStart,
    ::testing::Values(
        StartCase{"MissingFile",
                  SourceKind::File,
                  "/nonexistent/x.nmea",
                  "<自动>",
                  "<自动>",
                  {"就绪", "打开文件失败!"},
                  {}},
        // Neither waits nor plays: a FIFO would wait for a writer, a device never ends.
        StartCase{
            "Directory", SourceKind::File, "/", "<自动>", "<自动>", {"就绪", "打开文件失败!"}, {}},
        StartCase{"Device",
                  SourceKind::File,
                  "/dev/null",
                  "<自动>",
                  "<自动>",
                  {"就绪", "打开文件失败!"},
                  {}},
        StartCase{"GpsdAway",
                  SourceKind::Gpsd,
                  "",
                  "<自动>",
                  "<自动>",
                  {"就绪", "就绪"},
                  {"Tivra|获取数据源失败!"},
                  true},
        StartCase{"EmptyFileNamePlaysTheDemo",
                  SourceKind::File,
                  "",
                  "<自动>",
                  "<自动>",
                  {"就绪", "Demo模式.", "Demo结束."},
                  {}},
        StartCase{"MissingPort",
                  SourceKind::Com,
                  "",
                  "/dev/ttyNoSuch0",
                  "9600",
                  {"就绪", "就绪"},
                  {"Tivra|获取数据源失败!"}},
        StartCase{"ProbeFails",
                  SourceKind::Com,
                  "",
                  "/dev/ttyNoSuch0",
                  "<自动>",
                  {"就绪", "就绪"},
                  {"Tivra|获取数据源失败!"}},
        StartCase{"NoPortToDetect",
                  SourceKind::Com,
                  "",
                  "<自动>",
                  "<自动>",
                  {"就绪", "自动检测GPS...", "就绪"},
                  {"Tivra|获取数据源失败!"}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(GpsApp, TrackWithoutDatesShowsItsPointsAndSaysWhatWasRefused) {
  start();
  std::ofstream(dir / "t.plt", std::ios::binary)
      << "OziExplorer Track Point File Version 2.1\r\nWGS 84\r\nAltitude is in Feet\r\n"
         "Reserved 3\r\n0,2,255,track,0,0,2,8421376\r\n4\r\n"
         "58.8,42.6,0,500,0\r\nnan,42.6,0,500,0\r\n58.9,42.6,0,500,0\r\n59.0,42.6,0,500,0\r\n";
  GpsPageSettings settings;
  settings.kind = SourceKind::File;
  settings.fileName = (dir / "t.plt").string();
  startGps(settings);
  ASSERT_TRUE(status.waitFor("读取数据文件结束. 已拒绝1个无效轨迹点.")) << status.lines().back();
  const std::string gps = get("/GPSServer/1.kml");
  EXPECT_NE(gps.find("<Placemark id=\"Point1\">"), std::string::npos);
  EXPECT_EQ(gps.find("<TimeStamp>"), std::string::npos);
  EXPECT_EQ(gps.find("nan"), std::string::npos);
}

// Played without pauses, the file has ended long before the start wait is over.
TEST_F(GpsApp, FileThatEndedWithinTheStartWaitIsHandedToTheGlobe) {
  start(true);
  std::ofstream(dir / "t.nmea", std::ios::binary) << kTrack;
  GpsPageSettings settings;
  settings.kind = SourceKind::File;
  settings.fileName = (dir / "t.nmea").string();
  settings.timeFactor = 0;
  startGps(settings);
  ASSERT_TRUE(status.waitFor("读取数据文件结束."));
  globe::SimGlobe* globe = harness->globe();
  ASSERT_NE(globe, nullptr);
  std::optional<globe::FeatureInfo> points;
  ASSERT_TRUE(test::eventually(
      [&] { return (points = globe->featureById("TrackPoints")) && points->childCount == 2; },
      10s));
  EXPECT_TRUE(globe->featureByName("Tivra GPS"));
}

TEST_F(GpsApp, DemoIsFollowedByTheGlobe) {
  start(true);
  GpsPageSettings settings;
  settings.timeFactor = 20;
  startGps(settings);
  ASSERT_TRUE(status.waitFor("Demo模式."));
  globe::SimGlobe* globe = harness->globe();
  ASSERT_NE(globe, nullptr);
  // The entry document's link, then position updates (every 2 s) adding points to the 20.
  std::optional<globe::FeatureInfo> points;
  for (int i = 0; i < 150 && !(points && points->childCount > 20); ++i) {
    std::this_thread::sleep_for(100ms);
    points = globe->featureById("TrackPoints");
  }
  ASSERT_TRUE(globe->featureByName("Tivra GPS"));
  ASSERT_TRUE(points);
  EXPECT_GT(points->childCount, 20u);
  const auto car = globe->featureById("Car");
  ASSERT_TRUE(car && car->model && car->model->location);
  // The demo drives around Beijing from 116.3962 E, 39.9070 N.
  EXPECT_NEAR(car->model->location->lon, 116.40, 0.05);
  EXPECT_NEAR(car->model->location->lat, 39.91, 0.05);
  EXPECT_FALSE(std::filesystem::exists(harness->options().tempDirectory / "tivragps.kml"));
}

}  // namespace
}  // namespace tivra::gps

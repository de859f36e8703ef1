// The tivra binary with --gps: status lines on standard error, endpoints over its socket, and
// what the command line refuses.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <pugixml.hpp>
#include <random>

#include "platform/http_response.h"
#include "support/app_harness.h"
#include "support/process.h"
#include "support/raw_client.h"
#include "support/temp_dir.h"

namespace tivra::gps {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<test::Process> launch(const test::TempDir& dir, std::uint16_t port,
                                      std::vector<std::string> extra) {
  std::ofstream(dir / "Tivra.ini") << "[settings]\r\nTcpPort=" << port << "\r\n";
  std::vector<std::string> args = {"--headless", "-WW", "--data-dir", dir.path().string()};
  args.insert(args.end(), extra.begin(), extra.end());
  return std::make_unique<test::Process>(
      TIVRA_BINARY, args, std::vector<std::string>{"XDG_RUNTIME_DIR=" + dir.path().string()},
      dir / "err.txt");
}

TEST(GpsBinary, FileSourceWithoutGlobePrintsItsStatusAndServesTheTrack) {
  test::TempDir dir;
  std::ofstream(dir / "t.nmea", std::ios::binary)
      << "$GPGGA,083259.000,2445.4970,N,12057.4576,E,1,08,1.0,38.2,M,,,,*36\r\n"
         "$GPGGA,083300.000,2445.4980,N,12057.4576,E,1,08,1.0,38.2,M,,,,*34\r\n"
         "$GPGGA,083301.000,2445.4990,N,12057.4576,E,1,08,1.0,38.2,M,,,,*34\r\n";
  const std::uint16_t port = test::freePort();
  auto tivra =
      launch(dir, port,
             {"--gps", "file:" + (dir / "t.nmea").string(), "--time-factor", "0", "--no-follow"});
  const auto err = [&] { return test::readFile(dir / "err.txt"); };
  ASSERT_TRUE(test::eventually(
      [&] { return err().find("GPS: 读取数据文件结束.\n") != std::string::npos; }, 20s))
      << err();
  EXPECT_EQ(err(), "GPS: 就绪\nGPS: 正在读取数据.\nGPS: 读取数据文件结束.\n");
  const auto update = test::exchange(port, "GET /PosUpdateServer/Update.kml HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(update);
  EXPECT_NE(update->find("<Placemark id=\"Point1\">"), std::string::npos);
  tivra->signal(SIGTERM);
  EXPECT_EQ(tivra->wait(20s), 0);
}

// A FIFO would hold the program in open() until a writer came: no answers, no SIGTERM.
TEST(GpsBinary, FifoSourceIsRefusedAndTheProgramStillAnswersAndStops) {
  test::TempDir dir;
  const auto fifo = dir / "track.nmea";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::uint16_t port = test::freePort();
  auto tivra = launch(dir, port, {"--gps", "file:" + fifo.string()});
  const auto err = [&] { return test::readFile(dir / "err.txt"); };
  ASSERT_TRUE(test::eventually(
      [&] { return err().find("GPS: 打开文件失败!\n") != std::string::npos; }, 20s))
      << err();
  EXPECT_EQ(test::exchange(port, "GET /GPSServer/1.kml HTTP/1.1\r\n\r\n"),
            std::string(platform::kEmptyKmlDocument));
  tivra->signal(SIGTERM);
  EXPECT_EQ(tivra->wait(20s), 0);
}

// A recording killed at a random moment while a track plays into it: a whole GPX document that
// holds, in order, at least every fix published more than 5 s before the kill.
TEST(GpsBinary, RecordingKilledAtAnyMomentIsWholeAndKeepsTheOlderFixes) {
  test::TempDir dir;
  std::string points;
  for (int i = 0; i < 200; ++i) {
    points += "<trkpt lat=\"" + std::to_string(30 + i * 0.001) +
              "\" lon=\"120\"><time>2020-01-01T00:" + (i / 60 < 10 ? "0" : "") +
              std::to_string(i / 60) + ":" + (i % 60 < 10 ? "0" : "") + std::to_string(i % 60) +
              "Z</time></trkpt>\n";
  }
  std::ofstream(dir / "in.gpx") << "<gpx version=\"1.1\"><trk><trkseg>\n"
                                << points << "</trkseg></trk></gpx>\n";
  const auto out = dir / "out.gpx";
  constexpr double kFixesPerSecond = 4.0;  // one second apart, played four times as fast
  auto tivra = launch(dir, test::freePort(),
                      {"--gps", "file:" + (dir / "in.gpx").string(), "--time-factor", "4",
                       "--no-follow", "--record", out.string()});
  ASSERT_TRUE(test::eventually(
      [&] { return test::readFile(out).find("<trkpt") != std::string::npos; }, 20s))
      << test::readFile(dir / "err.txt");
  const auto first = std::chrono::steady_clock::now();
  std::mt19937 random(std::random_device{}());
  std::this_thread::sleep_for(
      std::chrono::milliseconds(std::uniform_int_distribution<int>(5500, 8000)(random)));
  tivra->signal(SIGKILL);
  const auto killed = std::chrono::steady_clock::now();
  tivra->wait(20s);

  pugi::xml_document document;
  const auto parsed = document.load_file(out.c_str());
  ASSERT_TRUE(parsed) << parsed.description();
  const auto recorded = document.select_nodes("/gpx/trk/trkseg/trkpt");
  const double older = std::chrono::duration<double>(killed - first - 5s).count();
  EXPECT_GE(static_cast<double>(recorded.size()), std::floor(older * kFixesPerSecond));
  int i = 0;
  for (const auto& point : recorded) {
    EXPECT_NEAR(point.node().attribute("lat").as_double(), 30 + i * 0.001, 1e-7) << i;
    ++i;
  }
}

TEST(GpsBinary, RefusesMalformedGpsOptions) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--gps", "bogus"},
                                               {"--gps", "serial:/dev/x:fast"},
                                               {"--gps", "demo", "--time-factor", "x"},
                                               {"--gps", "demo", "--follow", "roll"},
                                               {"--no-follow"},
                                               {"--record", ""}}) {
    test::TempDir dir;
    auto tivra = launch(dir, test::freePort(), args);
    EXPECT_EQ(tivra->wait(20s), 2) << args[0] << " " << args.back();
  }
}

}  // namespace
}  // namespace tivra::gps

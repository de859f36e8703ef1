// The tivra binary with --gps: status lines on standard error, endpoints over its socket, and
// what the command line refuses.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>

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

TEST(GpsBinary, RefusesMalformedGpsOptions) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--gps", "bogus"},
                                               {"--gps", "serial:/dev/x:fast"},
                                               {"--gps", "demo", "--time-factor", "x"},
                                               {"--gps", "demo", "--follow", "roll"},
                                               {"--no-follow"}}) {
    test::TempDir dir;
    auto tivra = launch(dir, test::freePort(), args);
    EXPECT_EQ(tivra->wait(20s), 2) << args[0] << " " << args.back();
  }
}

}  // namespace
}  // namespace tivra::gps

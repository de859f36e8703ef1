// The tivra binary with its globe: a snapshot of a view, and a run that ends on SIGTERM with
// the globe's camera written.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

#include "platform/socket.h"
#include "support/fake_tile_server.h"
#include "support/png_reader.h"
#include "support/process.h"
#include "support/raw_client.h"
#include "support/temp_dir.h"

namespace tivra::app {
namespace {

using namespace std::chrono_literals;

class HeadlessGlobeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto probe = platform::TcpListener::listen("127.0.0.1", 0, 1);
    ASSERT_TRUE(probe);
    port = probe->port();
    probe.reset();
    std::ofstream(dir / "Tivra.ini")
        << "[settings]\r\nTcpPort=" << port << "\r\nTileHost=127.0.0.1:" << tiles.port()
        << "\r\nTransparentMode=false\r\nTransParency=100\r\n"
           "CameraLongitude=116.39\r\nCameraLatitude=39.9\r\n"
           "CameraRange=3000\r\n";
  }
  std::unique_ptr<test::Process> launch(const std::string& name, std::vector<std::string> extra) {
    std::vector<std::string> args = {"--headless", "--data-dir", dir.path().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<test::Process>(
        TIVRA_BINARY, args, std::vector<std::string>{"XDG_RUNTIME_DIR=" + dir.path().string()},
        dir / name);
  }
  double iniReal(const std::string& key) {
    const std::string ini = test::readFile(dir / "Tivra.ini");
    const auto at = ini.find("\n" + key + "=");
    if (at == std::string::npos) return -1;
    return std::strtod(ini.c_str() + at + key.size() + 2, nullptr);
  }

  test::TempDir dir;
  test::FakeTileServer tiles;
  std::uint16_t port = 0;
};

TEST_F(HeadlessGlobeTest, SnapshotWritesThePictureOfTheView) {
  const auto file = dir / "view.png";
  auto tivra = launch("snap.err", {"--snapshot", file.string(), "--look-at", "121.47,31.23,3000"});
  ASSERT_EQ(tivra->wait(60s), 0) << test::readFile(dir / "snap.err");
  const std::string bytes = test::readFile(file);
  const auto png =
      test::readPng({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
  EXPECT_EQ(png.width, 1024u);
  EXPECT_EQ(png.height, 768u);
  // The middle of the view shows a map tile, not the empty background.
  const std::uint8_t* centre = png.at(512, 384);
  EXPECT_FALSE(centre[0] == 16 && centre[1] == 24 && centre[2] == 40);
  EXPECT_GE(tiles.requestCount("/googlechina/maptile"), 15u);
  // The camera of the snapshot is the one written at shutdown.
  EXPECT_NEAR(iniReal("CameraLongitude"), 121.47, 1e-6);
  EXPECT_NEAR(iniReal("CameraLatitude"), 31.23, 1e-6);
  EXPECT_NEAR(iniReal("CameraRange"), 3000, 1e-6);
  EXPECT_FALSE(std::filesystem::exists(dir / "tivra" / "tivra.kml"));
}

TEST_F(HeadlessGlobeTest, SnapshotThatCannotBeWrittenFailsWithAMessage) {
  auto tivra = launch("nowrite.err", {"--snapshot", (dir / "missing" / "v.png").string()});
  const auto code = tivra->wait(60s);
  ASSERT_TRUE(code);
  EXPECT_NE(*code, 0);
  EXPECT_NE(test::readFile(dir / "nowrite.err").find("cannot write"), std::string::npos);
}

TEST_F(HeadlessGlobeTest, SnapshotWhileAnotherInstanceRunsFails) {
  auto first = launch("first.err", {"-WW"});
  ASSERT_TRUE(test::eventually(
      [&] { return test::exchange(port, "GET /GPSServer HTTP/1.1\r\n\r\n", 2s).has_value(); },
      10s));
  auto second = launch("second.err", {"--snapshot", (dir / "v.png").string()});
  const auto code = second->wait(10s);
  ASSERT_TRUE(code);
  EXPECT_NE(*code, 0);
  EXPECT_NE(test::readFile(dir / "second.err").find("Tivra已经在运行！"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "v.png"));
  first->signal(SIGTERM);
  EXPECT_EQ(first->wait(10s), 0);
}

TEST_F(HeadlessGlobeTest, SnapshotWithoutTheGlobeIsAUsageError) {
  auto tivra = launch("usage.err", {"-WW", "--snapshot", (dir / "v.png").string()});
  EXPECT_EQ(tivra->wait(10s), 2);
  EXPECT_NE(test::readFile(dir / "usage.err").find("usage:"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "v.png"));
}

TEST_F(HeadlessGlobeTest, RunsTheGlobeServesAndWritesItsCameraOnSigterm) {
  auto tivra = launch("run.err", {});
  const auto serving = [&] {
    const auto answer = test::exchange(port, "GET /GPSServer HTTP/1.1\r\n\r\n", 2s);
    return answer && answer->find("<Document>") != std::string::npos;
  };
  ASSERT_TRUE(test::eventually(serving, 10s));
  EXPECT_TRUE(std::filesystem::exists(dir / "tivra" / "tivra.kml"));
  // The tiles of the entry view, as our own KmlServer names them for a 768 pixel high view.
  const auto doc = test::exchange(
      port, "GET /KmlServer?BBOX=0,0,0,0,116.39,39.9,3000,0,0,60,45,1024,768 HTTP/1.1\r\n\r\n", 2s);
  ASSERT_TRUE(doc);
  std::vector<std::string> queries;
  for (std::size_t at = doc->find("/ImageServer/F00/"); at != std::string::npos;
       at = doc->find("/ImageServer/F00/", at + 1)) {
    const auto start = at + 17;
    queries.push_back(doc->substr(start, doc->find('<', start) - start));
  }
  ASSERT_EQ(queries.size(), 15u);
  // The globe flies to the entry view and asks for its overlay, whose tiles reach the service.
  const auto allFetched = [&] {
    const auto requests = tiles.requests();
    for (std::string q : queries) {
      for (auto amp = q.find("&amp;"); amp != std::string::npos; amp = q.find("&amp;"))
        q.replace(amp, 5, "&");
      bool found = false;
      for (const auto& r : requests) found = found || r.target.find(q) != std::string::npos;
      if (!found) return false;
    }
    return true;
  };
  EXPECT_TRUE(test::eventually(allFetched, 30s));
  tivra->signal(SIGTERM);
  EXPECT_EQ(tivra->wait(20s), 0);
  EXPECT_NEAR(iniReal("CameraLongitude"), 116.39, 1e-3);
  EXPECT_NEAR(iniReal("CameraLatitude"), 39.9, 1e-3);
  EXPECT_NEAR(iniReal("CameraRange"), 3000, 50);
  EXPECT_FALSE(std::filesystem::exists(dir / "tivra" / "tivra.kml"));
}

}  // namespace
}  // namespace tivra::app

// The tivra binary run as a user runs it: start-up, single instance, listen failure, shutdown.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/socket.h"
#include "support/fake_tile_server.h"
#include "support/process.h"
#include "support/raw_client.h"
#include "support/temp_dir.h"

namespace tivra::app {
namespace {

using namespace std::chrono_literals;

const std::filesystem::path kStoreTool =
    std::filesystem::path(TIVRA_BINARY).parent_path() / "tivra-store";

std::uint16_t freePort() {
  auto probe = platform::TcpListener::listen("127.0.0.1", 0, 1);
  return probe ? probe->port() : 0;
}

class HeadlessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = freePort();
    ASSERT_NE(port, 0);
    std::ofstream(dir / "Tivra.ini") << "[settings]\r\nTcpPort=" << port << "\r\n";
  }
  std::unique_ptr<test::Process> launch(const std::string& name,
                                        std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--headless", "-WW", "--data-dir", dir.path().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<test::Process>(
        TIVRA_BINARY, args, std::vector<std::string>{"XDG_RUNTIME_DIR=" + dir.path().string()},
        dir / name);
  }
  bool serving() {
    const auto answer = test::exchange(port, "GET /GPSServer HTTP/1.1\r\n\r\n", 2s);
    return answer && answer->find("<Document>") != std::string::npos;
  }

  test::TempDir dir;
  std::uint16_t port = 0;
};

class StopSignalTest : public HeadlessTest, public ::testing::WithParamInterface<int> {};
TEST_P(StopSignalTest, ServesUntilTheSignalThenWritesSettingsAndExitsZero) {
  auto tivra = launch("first.err");
  ASSERT_TRUE(test::eventually([&] { return serving(); }, 10s));
  tivra->signal(GetParam());
  EXPECT_EQ(tivra->wait(10s), 0);
  const std::string ini = test::readFile(dir / "Tivra.ini");
  EXPECT_NE(ini.find("Xoff=0\r\n"), std::string::npos);
  EXPECT_NE(ini.find("CameraRange=4750000.000000\r\n"), std::string::npos);
  EXPECT_NE(ini.find("TcpPort=" + std::to_string(port) + "\r\n"), std::string::npos);
  // The store was closed in order: its lock file is gone.
  EXPECT_FALSE(std::filesystem::exists(dir / "TivraCache.lck"));
}
// A closed terminal (SIGHUP) ends the program as orderly as Ctrl-C or a polite kill.
INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest, ::testing::Values(SIGTERM, SIGINT, SIGHUP));

TEST_F(HeadlessTest, SecondInstanceSaysSoAndLeavesTheFirstRunning) {
  auto first = launch("first.err");
  ASSERT_TRUE(test::eventually([&] { return serving(); }, 10s));
  auto second = launch("second.err");
  EXPECT_EQ(second->wait(10s), 0);
  EXPECT_NE(test::readFile(dir / "second.err").find("Tivra已经在运行！"), std::string::npos);
  EXPECT_TRUE(serving());
  first->signal(SIGINT);
  EXPECT_EQ(first->wait(10s), 0);
}

TEST_F(HeadlessTest, SecondWriterOfTheStoreIsRefusedWhateverItsRuntimeDirectory) {
  auto first = launch("first.err");
  ASSERT_TRUE(test::eventually([&] { return serving(); }, 10s));
  // Another runtime directory: the single-instance lock does not meet the first one.
  test::TempDir otherRuntime;
  test::Process second(TIVRA_BINARY, {"--headless", "-WW", "--data-dir", dir.path().string()},
                       {"XDG_RUNTIME_DIR=" + otherRuntime.path().string()}, dir / "second.err");
  second.wait(10s);
  EXPECT_NE(test::readFile(dir / "second.err").find("无法创建缓存文件！"), std::string::npos);
  // The store tool, writing or reading, is refused as well.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"rm", dir.path().string(), "demo.nmea"},
        std::vector<std::string>{"ls", dir.path().string()}}) {
    test::Process tool(kStoreTool, args, {}, dir / "tool.err");
    EXPECT_EQ(tool.wait(10s), 1) << args[0];
    EXPECT_NE(test::readFile(dir / "tool.err").find("in use"), std::string::npos) << args[0];
  }
  EXPECT_TRUE(serving());
  first->signal(SIGTERM);
  EXPECT_EQ(first->wait(10s), 0);
  test::Process tool(kStoreTool, {"cat", dir.path().string(), "demo.nmea"}, {}, dir / "tool.err");
  EXPECT_EQ(tool.wait(10s), 0) << "the entry was never removed";
}

TEST_F(HeadlessTest, InstanceLockFailureIsReportedAsItselfNotAsASecondInstance) {
  test::Process tivra(TIVRA_BINARY, {"--headless", "-WW", "--data-dir", dir.path().string()},
                      {"XDG_RUNTIME_DIR=" + (dir / "no-such-dir").string()}, dir / "lock.err");
  EXPECT_EQ(tivra.wait(10s), 2);
  const std::string err = test::readFile(dir / "lock.err");
  EXPECT_EQ(err.find("Tivra已经在运行！"), std::string::npos);
  EXPECT_NE(err.find("no-such-dir"), std::string::npos);
}

// A tile source that answers tiles of even x and takes those of odd x without answering.
class HangingSourceTest : public HeadlessTest {
 protected:
  void SetUp() override {
    HeadlessTest::SetUp();
    source.setTileAnswer([](long x, long, long) -> std::optional<std::string> {
      if (x % 2 == 0) return std::nullopt;
      return std::string(test::FakeTileServer::kHang);
    });
    std::ofstream(dir / "Tivra.ini")
        << "[settings]\r\nTcpPort=" << port << "\r\nTileHost=127.0.0.1:" << source.port() << "\r\n";
  }
  test::FakeTileServer source;
};

TEST_F(HangingSourceTest, ThirtySigtermsDuringDownloadsAllExitZeroWithinTheBound) {
  for (int round = 0; round < 30; ++round) {
    auto tivra = launch("round.err");
    ASSERT_TRUE(test::eventually([&] { return serving(); }, 10s)) << "round " << round;
    const std::size_t before = source.requests().size();
    std::vector<platform::UniqueFd> clients;
    for (int i = 0; i < 6; ++i) {
      clients.push_back(platform::connectLoopback(port));
      ASSERT_TRUE(clients.back());
      const std::string query = "x=" + std::to_string(round * 6 + i) + "&y=0&zoom=5";
      ASSERT_TRUE(platform::sendAll(clients.back().get(),
                                    "GET /ImageServer/F00/" + query + " HTTP/1.1\r\n\r\n"));
    }
    // Four downloads run at once; the hung ones keep their turns.
    ASSERT_TRUE(test::eventually([&] { return source.requests().size() >= before + 4; }, 10s));
    const auto signalled = std::chrono::steady_clock::now();
    tivra->signal(SIGTERM);
    EXPECT_EQ(tivra->wait(10s), 0)
        << "round " << round << ": " << test::readFile(dir / "round.err");
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 5s) << "round " << round;
    EXPECT_NE(test::readFile(dir / "Tivra.ini").find("CameraRange="), std::string::npos);
  }
}

TEST_F(HeadlessTest, BurstOfNonReadingClientsGivesItsMemoryBack) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's allocator keeps freed memory and adds shadow memory of its own";
#endif
  // One large tile, stored by a client that reads it, then asked for by 40 that never read.
  const std::vector<std::uint8_t> large = test::FakeTileServer::paddedPng(8u << 20);
  test::FakeTileServer source;
  source.setTileAnswer([&large](long, long, long) -> std::optional<std::string> {
    return test::FakeTileServer::answerWith(200, "image/png", test::FakeTileServer::asText(large));
  });
  std::ofstream(dir / "Tivra.ini")
      << "[settings]\r\nTcpPort=" << port << "\r\nTileHost=127.0.0.1:" << source.port() << "\r\n";
  auto tivra = launch("burst.err");
  ASSERT_TRUE(test::eventually([&] { return serving(); }, 10s));
  const std::string request = "GET /ImageServer/F00/x=7&y=0&zoom=5 HTTP/1.1\r\n\r\n";
  const auto first = test::exchange(port, request, 30s);
  ASSERT_TRUE(first);
  ASSERT_TRUE(first->ends_with(test::FakeTileServer::asText(large)));
  std::this_thread::sleep_for(300ms);
  // Resident memory, and its anonymous part: pages of the store's mapping may stay resident
  // after a read, the answers' own memory must not.
  struct Figures {
    long all = 0;
    long anonymous = 0;
  };
  const auto measure = [&] {
    return Figures{test::residentKiB(tivra->pid()).value_or(0),
                   test::residentKiB(tivra->pid(), "RssAnon").value_or(0)};
  };
  const Figures before = measure();

  std::vector<platform::UniqueFd> clients;
  for (int i = 0; i < 40; ++i) {
    clients.push_back(test::connectWithSmallWindow(port));
    ASSERT_TRUE(clients.back());
    ASSERT_TRUE(platform::sendAll(clients.back().get(), request));
  }
  // Every answer has begun: each connection holds the tile.
  for (const auto& client : clients) ASSERT_EQ(platform::waitReadable(client.get(), -1, 10s), 1);
  std::this_thread::sleep_for(300ms);
  const Figures during = measure();
  clients.clear();
  Figures after;
  const long bound = before.anonymous + 8 * 1024;
  test::eventually(
      [&] {
        after = measure();
        return after.anonymous < bound;
      },
      10s);
  std::printf(
      "KiB resident (anonymous) with 40 non-reading clients of an 8 MiB tile: before "
      "%ld (%ld), during %ld (%ld), after %ld (%ld)\n",
      before.all, before.anonymous, during.all, during.anonymous, after.all, after.anonymous);
  EXPECT_GT(before.anonymous, 0);
  // One copy of the tile shared by all 40 answers, not one each.
  EXPECT_LT(during.all - before.all, 48 * 1024);
  EXPECT_LT(after.anonymous, bound);
  tivra->signal(SIGTERM);
  EXPECT_EQ(tivra->wait(10s), 0);
}

TEST_F(HeadlessTest, PortInUseExitsOneWithTheMessage) {
  auto holder = platform::TcpListener::listen("127.0.0.1", 0, 1);
  ASSERT_TRUE(holder);
  std::ofstream(dir / "Tivra.ini") << "[settings]\r\nTcpPort=" << holder->port() << "\r\n";
  auto tivra = launch("busy.err");
  EXPECT_EQ(tivra->wait(10s), 1);
  EXPECT_NE(test::readFile(dir / "busy.err")
                .find("无法监听端口:" + std::to_string(holder->port()) + "！"),
            std::string::npos);
}

TEST_F(HeadlessTest, ShutdownWithASilentConnectionEndsWithinTheBound) {
  auto tivra = launch("silent.err");
  ASSERT_TRUE(test::eventually([&] { return serving(); }, 10s));
  platform::UniqueFd silent = platform::connectLoopback(port);
  ASSERT_TRUE(silent);
  // The kernel hands a connection that has sent nothing to the program after a second.
  std::this_thread::sleep_for(1500ms);
  const auto started = std::chrono::steady_clock::now();
  tivra->signal(SIGTERM);
  EXPECT_EQ(tivra->wait(10s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 6s);
  EXPECT_TRUE(test::closedWithoutData(silent.get(), 2s));
}

// A FIFO named Tivra.ini is reported and the defaults are used: among them port 11000, so the
// program runs in a network namespace of its own, where that port is surely free.
TEST_F(HeadlessTest, FifoSettingsFileIsReportedAndTheDefaultsServeUntilAnOrderlyExit) {
  const std::filesystem::path unshare = "/usr/bin/unshare";
  if (!std::filesystem::exists(unshare)) GTEST_SKIP() << "no unshare(1) for a network of its own";
  std::filesystem::remove(dir / "Tivra.ini");
  ASSERT_EQ(::mkfifo((dir / "Tivra.ini").c_str(), 0600), 0);
  std::vector<std::string> args = {"--net"};
  if (::geteuid() != 0) args.emplace_back("--map-root-user");
  for (const char* arg : {TIVRA_BINARY, "--headless", "-WW", "--verbose", "--data-dir"})
    args.emplace_back(arg);
  args.push_back(dir.path().string());
  test::Process tivra(unshare, args, {"XDG_RUNTIME_DIR=" + dir.path().string()}, dir / "fifo.err");
  const auto said = [&] { return test::readFile(dir / "fifo.err"); };
  ASSERT_TRUE(test::eventually(
      [&] {
        return said().find("listening on port 11000") != std::string::npos || !tivra.running();
      },
      20s))
      << said();
  if (said().find("unshare:") != std::string::npos) GTEST_SKIP() << said();
  EXPECT_NE(said().find("cannot read the settings file"), std::string::npos) << said();
  EXPECT_NE(said().find("Tivra.ini: not a regular file"), std::string::npos) << said();
  tivra.signal(SIGTERM);
  EXPECT_EQ(tivra.wait(10s), 0) << said();
  EXPECT_NE(said().find("the settings were not saved"), std::string::npos) << said();
  EXPECT_TRUE(std::filesystem::is_fifo(dir / "Tivra.ini"));
}

TEST_F(HeadlessTest, UnknownOptionIsAUsageError) {
  auto tivra = launch("usage.err", {"--bogus"});
  EXPECT_EQ(tivra->wait(10s), 2);
  EXPECT_NE(test::readFile(dir / "usage.err").find("usage:"), std::string::npos);
}

}  // namespace
}  // namespace tivra::app

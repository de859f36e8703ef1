// The tivra binary run as a user runs it: start-up, single instance, listen failure, shutdown.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/socket.h"
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

TEST_F(HeadlessTest, ShutdownWithADownloadInFlightStaysWithinTheBound) {
  // A tile source that takes the connection but never answers: the download blocks.
  auto silentSource = platform::TcpListener::listen("127.0.0.1", 0, 4);
  ASSERT_TRUE(silentSource);
  std::ofstream(dir / "Tivra.ini") << "[settings]\r\nTcpPort=" << port
                                   << "\r\nTileHost=127.0.0.1:" << silentSource->port() << "\r\n";
  auto tivra = launch("download.err");
  ASSERT_TRUE(test::eventually([&] { return serving(); }, 10s));
  platform::UniqueFd client = platform::connectLoopback(port);
  ASSERT_TRUE(client);
  const std::string request = "GET /ImageServer/F00/x=1%30&y=2%30&zoom=5 HTTP/1.1\r\n\r\n";
  ASSERT_TRUE(platform::sendAll(client.get(), request));
  // The download's connection waits in the silent source's queue.
  ASSERT_TRUE(test::eventually(
      [&] { return platform::waitReadable(silentSource->fd(), -1, 0ms) == 1; }, 10s));
  const auto started = std::chrono::steady_clock::now();
  tivra->signal(SIGTERM);
  EXPECT_EQ(tivra->wait(10s), 0);
  // The promised 5000 ms for connection threads, plus the rest of an orderly shutdown.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 6500ms);
  EXPECT_NE(test::readFile(dir / "Tivra.ini").find("CameraRange="), std::string::npos);
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
  std::this_thread::sleep_for(100ms);
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

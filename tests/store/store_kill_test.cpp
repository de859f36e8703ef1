// The real program killed at random moments while it downloads and stores tiles: every restart
// opens the store, the files are sound, every tile stored before the last checkpoint reads back
// byte for byte, and the offsets saved before the kill are there.
// TIVRA_KILL_ROUNDS sets the number of rounds (30 by default).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "platform/socket.h"
#include "store/location_map.h"
#include "store/store.h"
#include "store/tile_cache.h"
#include "support/fake_tile_server.h"
#include "support/process.h"
#include "support/raw_client.h"
#include "support/temp_dir.h"

namespace tivra::store {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

const std::filesystem::path kTool =
    std::filesystem::path(TIVRA_BINARY).parent_path() / "tivra-store";

#if defined(__SANITIZE_THREAD__)
constexpr int kDefaultRounds = 8;  // every step of the program runs many times slower
#else
constexpr int kDefaultRounds = 30;
#endif

int roundsWanted() {
  const char* text = std::getenv("TIVRA_KILL_ROUNDS");
  return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : kDefaultRounds;
}

std::int64_t nanos(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

int runTool(const std::vector<std::string>& args) {
  std::string cmd = "'" + kTool.string() + "'";
  for (const auto& a : args) cmd += " '" + a + "'";
  cmd += " >/dev/null 2>&1";
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// The start of the latest checkpoint the program finished, from its trace: everything stored
// before that instant is durable. 0 when none finished.
std::int64_t lastCheckpoint(const std::string& trace) {
  std::int64_t last = 0;
  const std::string mark = "store: checkpoint (";
  for (std::size_t at = trace.find(mark); at != std::string::npos; at = trace.find(mark, at + 1)) {
    const std::size_t of = trace.find(") of ", at);
    const std::size_t eol = trace.find('\n', at);
    if (of == std::string::npos || eol == std::string::npos || of > eol) continue;
    last = std::max<std::int64_t>(last, std::atoll(trace.c_str() + of + 5));
  }
  return last;
}

struct StoredTile {
  long x, y, zoom;
  std::int64_t received;  // when the whole answer had arrived
};

class KillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kTool)) GTEST_SKIP() << "tivra-store not built";
    writeSettings();
  }
  void writeSettings() {
    auto probe = platform::TcpListener::listen("127.0.0.1", 0, 1);
    ASSERT_TRUE(probe);
    m_port = probe->port();
    std::ofstream(m_dir / "Tivra.ini") << "[settings]\r\nTcpPort=" << m_port
                                       << "\r\nTileHost=127.0.0.1:" << m_tiles.port() << "\r\n";
  }
  std::string tileName(long x, long y, long zoom) const {
    return "http://127.0.0.1:" + std::to_string(m_tiles.port()) +
           "/googlechina/maptile?x=" + std::to_string(x) + "&y=" + std::to_string(y) +
           "&zoom=" + std::to_string(zoom);
  }
  std::unique_ptr<test::Process> launch(const std::filesystem::path& trace) {
    return std::make_unique<test::Process>(
        TIVRA_BINARY,
        std::vector<std::string>{"--headless", "-WW", "--verbose", "--data-dir",
                                 m_dir.path().string()},
        std::vector<std::string>{"XDG_RUNTIME_DIR=" + m_dir.path().string(),
                                 "TIVRA_CHECKPOINT_MS=100"},
        trace);
  }
  bool serving() {
    const auto answer = test::exchange(m_port, "GET /GPSServer HTTP/1.1\r\n\r\n", 2s);
    return answer && answer->find("<Document>") != std::string::npos;
  }
  // Tile and overlay requests from two clients until stop; the tiles answered whole are kept.
  // Each round asks mostly for tiles of its own, so long runs keep storing new ones.
  void load(std::atomic<bool>& stop, unsigned seed, int round) {
    std::mt19937 rng(seed);
    while (!stop) {
      if (rng() % 5 == 0) {
        const std::string bbox =
            std::to_string(100 + rng() % 20) + ".5," + std::to_string(20 + rng() % 20) + ".25,4000";
        test::exchange(
            m_port, "GET /KmlServer?BBOX=0,0,0,0," + bbox + ",0,0,60,45,1024,768 HTTP/1.1\r\n\r\n",
            2s);
        continue;
      }
      const long x = static_cast<long>(rng() % 40) + 20L * round;
      const long y = static_cast<long>(rng() % 40);
      const long zoom = 10 + static_cast<long>(rng() % 3);
      const std::string query =
          "x=" + std::to_string(x) + "&y=" + std::to_string(y) + "&zoom=" + std::to_string(zoom);
      const auto answer =
          test::exchange(m_port, "GET /ImageServer/F00/" + query + " HTTP/1.1\r\n\r\n", 2s);
      const auto received = nanos(Clock::now());
      if (!answer || answer->rfind("HTTP/1.1 200", 0) != 0) continue;
      const Bytes expected = test::FakeTileServer::tileBytes(x, y, zoom);
      const auto body = answer->find("\r\n\r\n");
      if (body == std::string::npos || answer->size() - body - 4 != expected.size()) continue;
      std::lock_guard guard(m_mutex);
      // The first answer counts: a tile stored again has the same bytes.
      m_stored.try_emplace(tileName(x, y, zoom), StoredTile{x, y, zoom, received});
    }
  }
  // The files as the kill left them, checked on a copy (the program's data stays untouched).
  void checkAfterKill(std::int64_t checkpoint, int round) {
    tivra::test::TempDir copy;
    for (const char* ext : {".idx", ".dat", ".jnl"}) {
      const auto from = m_dir / (std::string("TivraCache") + ext);
      if (std::filesystem::exists(from))
        std::filesystem::copy_file(from, copy / (std::string("TivraCache") + ext));
    }
    EXPECT_EQ(runTool({"verify", copy.path().string()}), 0) << "round " << round;
    StorePtr s = store_open(copy / "TivraCache", kModeRead);
    ASSERT_TRUE(s) << "round " << round;
    Bytes buf(kTileReadLimit);
    std::lock_guard guard(m_mutex);
    for (const auto& [name, t] : m_stored) {
      if (t.received >= checkpoint) continue;
      const int h = entry_open(s.get(), name, kOpenReadOnly);
      ASSERT_GE(h, 0) << name << " round " << round;
      const int n = entry_read(s.get(), h, buf);
      entry_close(s.get(), h);
      ASSERT_GT(n, 0) << name;
      EXPECT_EQ(Bytes(buf.begin(), buf.begin() + n),
                test::FakeTileServer::tileBytes(t.x, t.y, t.zoom))
          << name << " round " << round;
    }
    // What came after the checkpoint may or may not have survived the kill: forget it.
    std::erase_if(m_stored,
                  [&](const auto& stored) { return stored.second.received >= checkpoint; });
    if (m_offsets.empty()) return;
    LocationMap map;
    const auto stored = readLocationEntry(s.get());
    ASSERT_TRUE(stored && map.parse(*stored)) << "round " << round;
    for (const auto& [key, value] : m_offsets) EXPECT_EQ(map.find(key), value) << key;
  }
  // Offsets saved into the store while the program is down, as a user importing a file would.
  void importOffsets(int round) {
    LocationPairs pairs;
    for (int i = 0; i < 20; ++i) {
      const std::string key = std::to_string(round * 100 + i) + "," + std::to_string(-i);
      const std::string value = std::to_string(i * 3) + "," + std::to_string(round);
      pairs.emplace_back(key, value);
      m_offsets[key] = value;
    }
    const Bytes bytes = serializeLocationPairs(pairs);
    std::ofstream(m_dir / "share.tds", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    std::filesystem::remove(m_dir / "TivraCache.lck");  // stale: the program was killed
    ASSERT_EQ(runTool({"import-tds", m_dir.path().string(), (m_dir / "share.tds").string()}), 0);
  }

  test::FakeTileServer m_tiles;
  tivra::test::TempDir m_dir;
  std::uint16_t m_port = 0;
  std::mutex m_mutex;
  std::map<std::string, StoredTile> m_stored;  // by name
  std::map<std::string, std::string> m_offsets;
};

TEST_F(KillTest, EveryRestartOpensTheStoreWithEverythingCheckpointed) {
  const int rounds = roundsWanted();
  std::mt19937 rng(20261208);
  int checkpointedRounds = 0;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // Every fifth restart follows an import; the others find the files as the kill left them.
    if (round % 5 == 1) importOffsets(round);
    const auto trace = m_dir / ("round" + std::to_string(round) + ".err");
    auto tivra = launch(trace);
    if (!test::eventually([&] { return serving(); }, 15s)) {
      // The port may still be held by the killed program's connections: take another.
      tivra.reset();
      writeSettings();
      tivra = launch(trace);
      ASSERT_TRUE(test::eventually([&] { return serving(); }, 15s)) << test::readFile(trace);
    }
    EXPECT_EQ(test::readFile(trace).find("无法创建缓存文件"), std::string::npos);

    std::atomic<bool> stop{false};
    // Seeds drawn here: the generator is not shared with the load threads.
    const auto seedA = rng();
    const auto seedB = rng();
    std::thread a([&stop, seedA, round, this] { load(stop, seedA, round); });
    std::thread b([&stop, seedB, round, this] { load(stop, seedB, round); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + rng() % 900));
    tivra->signal(SIGKILL);
    tivra->wait(10s);
    stop = true;
    a.join();
    b.join();

    const std::int64_t checkpoint = lastCheckpoint(test::readFile(trace));
    if (checkpoint > 0) ++checkpointedRounds;
    checkAfterKill(checkpoint, round);
    if (HasFatalFailure()) return;
  }
  // The last start after a kill, then an orderly end.
  auto tivra = launch(m_dir / "last.err");
  ASSERT_TRUE(test::eventually([&] { return serving(); }, 15s));
  EXPECT_EQ(test::readFile(m_dir / "last.err").find("无法创建缓存文件"), std::string::npos);
  tivra->signal(SIGTERM);
  EXPECT_EQ(tivra->wait(10s), 0);
  std::filesystem::remove(m_dir / "TivraCache.lck");
  EXPECT_EQ(runTool({"verify", m_dir.path().string()}), 0);
  EXPECT_GT(checkpointedRounds, rounds / 2) << "the kills should mostly follow a checkpoint";
}

}  // namespace
}  // namespace tivra::store

// The real program killed at random moments while it downloads and stores tiles: every restart
// opens the store, the files are sound, every tile stored before the last checkpoint reads back
// byte for byte, and the offsets saved before the kill are there. Some rounds also damage the
// data file while the program is down; no answer ever carries other bytes than the tile's.
// TIVRA_KILL_ROUNDS sets the number of rounds (30 by default).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "platform/socket.h"
#include "store/location_map.h"
#include "store/store.h"
#include "store/store_internal.h"
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

Bytes fileBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::filesystem::path& p, const Bytes& bytes) {
  std::ofstream(p, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// Copies the store files of `from` into `to` (the program's own stay untouched).
void copyStore(const std::filesystem::path& from, const std::filesystem::path& to) {
  for (const char* ext : {".idx", ".dat", ".sum", ".jnl"}) {
    const auto file = from / (std::string("TivraCache") + ext);
    if (std::filesystem::exists(file))
      std::filesystem::copy_file(file, to / (std::string("TivraCache") + ext));
  }
}

// Where an entry's content lies in the data file, when its blocks follow each other.
std::optional<std::pair<std::size_t, std::size_t>> extentOf(Store* s, const std::string& name) {
  try {
    const std::int32_t node = detail::findName(*s, detail::Key(name));
    if (node <= 0) return std::nullopt;
    const Descriptor d = detail::readDescriptor(*s, detail::readNode(*s, node).descriptor);
    const auto walk = detail::walkChain(*s, d.firstBlock, (d.size + 511) / 512);
    for (std::size_t i = 1; i < walk.blocks.size(); ++i)
      if (walk.blocks[i] != walk.blocks[i - 1] + 1) return std::nullopt;
    const auto begin = static_cast<std::size_t>(d.firstBlock) * 512;
    return std::pair{begin, begin + static_cast<std::size_t>(d.size)};
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

int runTool(const std::vector<std::string>& args) {
  std::string cmd = "'" + kTool.string() + "'";
  for (const auto& a : args) cmd += " '" + a + "'";
  cmd += " >/dev/null 2>&1";
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// What `tivra-store verify DIR` prints.
std::string verifyOutput(const std::filesystem::path& dir) {
  const std::string cmd = "'" + kTool.string() + "' verify '" + dir.string() + "' 2>/dev/null";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return "cannot run the tool";
  std::string out;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  ::pclose(p);
  return out;
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
      if (!std::equal(expected.begin(), expected.end(),
                      reinterpret_cast<const std::uint8_t*>(answer->data() + body + 4))) {
        ++m_wrongBodies;
        continue;
      }
      std::lock_guard guard(m_mutex);
      // The first answer counts: a tile stored again has the same bytes.
      m_stored.try_emplace(tileName(x, y, zoom), StoredTile{x, y, zoom, received});
    }
  }
  // The files as the kill left them, checked on a copy (the program's data stays untouched).
  void checkAfterKill(std::int64_t checkpoint, int round) {
    tivra::test::TempDir copy;
    copyStore(m_dir.path(), copy.path());
    expectSound(copy.path(), round);
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
    // The lock file the killed program left is no obstacle: nobody holds the store's lock.
    ASSERT_EQ(runTool({"import-tds", m_dir.path().string(), (m_dir / "share.tds").string()}), 0);
  }

  // A tile the damage hit: asked for again at the next start, not expected in the store.
  void forget(const std::string& name) {
    const auto it = m_stored.find(name);
    if (it == m_stored.end()) return;
    m_askAgain.push_back(it->second);
    m_stored.erase(it);
  }
  // The tiles the damage hit, served whole all the same (fetched again).
  void askAgain(int round) {
    for (const StoredTile& t : m_askAgain) {
      const std::string query = "x=" + std::to_string(t.x) + "&y=" + std::to_string(t.y) +
                                "&zoom=" + std::to_string(t.zoom);
      const auto answer =
          test::exchange(m_port, "GET /ImageServer/F00/" + query + " HTTP/1.1\r\n\r\n", 5s);
      ASSERT_TRUE(answer) << query << " round " << round;
      const auto body = answer->find("\r\n\r\n");
      const Bytes expected = test::FakeTileServer::tileBytes(t.x, t.y, t.zoom);
      EXPECT_EQ(answer->substr(body == std::string::npos ? answer->size() : body + 4),
                std::string(expected.begin(), expected.end()))
          << query << " round " << round;
    }
    m_askAgain.clear();
  }

  // Sound, but for the tiles whose bytes were flipped and which were not stored again since.
  void expectSound(const std::filesystem::path& dir, int round) {
    std::istringstream verify(verifyOutput(dir));
    int lines = 0;
    for (std::string line; std::getline(verify, line); ++lines) {
      if (line.rfind("sound: ", 0) == 0) continue;
      const bool flipped = std::any_of(m_flipped.begin(), m_flipped.end(), [&](const auto& name) {
        return line.find("\"" + name + "\"): content does not match its sum") != std::string::npos;
      });
      EXPECT_TRUE(flipped) << line << " (round " << round << ")";
    }
    EXPECT_GT(lines, 0) << "round " << round;
  }

  // Damage to the data file while the program is down: one byte of a durable tile flipped, or
  // the file cut short in the middle of one. The tiles it hit are forgotten: they are fetched
  // again. A cut leaves a damaged store for the next round, which the user then repairs.
  void damageData(int round, bool cut, std::mt19937& rng) {
    // A checkpoint the kill cut short is completed at the next start, over the damage: wait for
    // a round that leaves none.
    const auto journal = m_dir / "TivraCache.jnl";
    if (std::filesystem::exists(journal) && std::filesystem::file_size(journal) > 0) return;
    std::map<std::string, std::pair<std::size_t, std::size_t>> extents;
    std::optional<std::pair<std::size_t, std::size_t>> offsets;
    {
      tivra::test::TempDir copy;
      copyStore(m_dir.path(), copy.path());
      StorePtr s = store_open(copy / "TivraCache", kModeRead);
      ASSERT_TRUE(s) << "round " << round;
      std::lock_guard guard(m_mutex);
      for (const auto& [name, t] : m_stored)
        if (const auto e = extentOf(s.get(), name)) extents.emplace(name, *e);
      offsets = extentOf(s.get(), std::string(kLocationEntry));
    }
    const auto path = m_dir / "TivraCache.dat";
    Bytes dat = fileBytes(path);
    std::erase_if(extents, [&](const auto& e) { return e.second.second > dat.size(); });
    if (extents.empty()) return;
    auto victim = extents.begin();
    std::advance(victim, static_cast<std::ptrdiff_t>(rng() % extents.size()));
    const auto [begin, end] = victim->second;
    std::lock_guard guard(m_mutex);
    if (cut) {
      dat.resize(begin + (end - begin) / 2);
      for (const auto& [name, e] : extents)
        if (e.second > dat.size()) forget(name);
      // The offsets go with their entry when the cut hits it: they are learned again.
      if (!offsets || offsets->second > dat.size()) m_offsets.clear();
      m_damagedStore = true;
      ++m_damages;
    } else {
      dat[(begin + end) / 2] ^= 0x20;
      m_flipped.insert(victim->first);
      ++m_damages;
      forget(victim->first);
    }
    // A tile the tree no longer finds whole may lie anywhere: forget those too.
    std::erase_if(m_stored, [&](const auto& stored) { return !extents.count(stored.first); });
    writeBytes(path, dat);
  }

  test::FakeTileServer m_tiles;
  tivra::test::TempDir m_dir;
  std::atomic<int> m_wrongBodies{0};
  std::set<std::string> m_flipped;  // tiles whose stored bytes were changed
  std::vector<StoredTile> m_askAgain;
  bool m_damagedStore = false;
  int m_damages = 0;  // the data file was cut: the next run finds the store damaged
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
    EXPECT_EQ(test::readFile(trace).find("缓存文件已损坏") != std::string::npos, m_damagedStore);
    askAgain(round);

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
    if (m_damagedStore) {
      // Told so by the program, the user repairs the store; it wrote nothing meanwhile.
      EXPECT_EQ(checkpoint, 0);
      ASSERT_EQ(runTool({"repair", m_dir.path().string()}), 0) << "round " << round;
      m_damagedStore = false;
    }
    checkAfterKill(checkpoint, round);
    if (HasFatalFailure()) return;
    if (round + 1 < rounds && round % 4 == 2) damageData(round, round % 8 == 6, rng);
    if (HasFatalFailure()) return;
  }
  // The last start after a kill, then an orderly end.
  auto tivra = launch(m_dir / "last.err");
  ASSERT_TRUE(test::eventually([&] { return serving(); }, 15s));
  EXPECT_EQ(test::readFile(m_dir / "last.err").find("无法创建缓存文件"), std::string::npos);
  tivra->signal(SIGTERM);
  EXPECT_EQ(tivra->wait(10s), 0);
  expectSound(m_dir.path(), rounds);
  EXPECT_GT(checkpointedRounds, rounds / 2) << "the kills should mostly follow a checkpoint";
  EXPECT_EQ(m_wrongBodies, 0) << "answers with other bytes than the tile's";
  EXPECT_GT(m_damages, 0) << "no round damaged the data file";
}

// Damage to the data file between two orderly runs of the real program: a tile whose bytes it
// hit is fetched again, served right and stored again. A cut file leaves a damaged store: the
// run says so once and stores nothing until the user repairs it.
struct RunDamage {
  const char* what;
  bool cut;
};

class DamageBetweenRuns : public KillTest, public ::testing::WithParamInterface<RunDamage> {
 protected:
  static constexpr long kTiles = 10;
  // Asks for every tile through the real server; each answer must be the tile's bytes.
  void askAll(const std::filesystem::path& trace) {
    auto tivra = launch(trace);
    ASSERT_TRUE(test::eventually([&] { return serving(); }, 15s)) << test::readFile(trace);
    for (long i = 0; i < kTiles; ++i) {
      const std::string query = "x=" + std::to_string(1000 + i) + "&y=7&zoom=12";
      const auto answer =
          test::exchange(m_port, "GET /ImageServer/F00/" + query + " HTTP/1.1\r\n\r\n", 5s);
      ASSERT_TRUE(answer) << i;
      const Bytes expected = test::FakeTileServer::tileBytes(1000 + i, 7, 12);
      const auto body = answer->find("\r\n\r\n");
      ASSERT_NE(body, std::string::npos);
      EXPECT_EQ(answer->substr(body + 4), std::string(expected.begin(), expected.end())) << i;
    }
    tivra->signal(SIGTERM);
    EXPECT_EQ(tivra->wait(10s), 0);
  }
  // How often each tile was fetched from the tile service.
  std::vector<int> fetches() const {
    std::vector<int> n(kTiles, 0);
    for (const auto& r : m_tiles.requests())
      for (long i = 0; i < kTiles; ++i)
        if (r.target == "/googlechina/maptile?x=" + std::to_string(1000 + i) + "&y=7&zoom=12")
          ++n[static_cast<std::size_t>(i)];
    return n;
  }
  static int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
};

TEST_P(DamageBetweenRuns, DamagedTilesAreFetchedAgainAndServedRight) {
  askAll(m_dir / "first.err");
  ASSERT_EQ(fetches(), std::vector<int>(kTiles, 1));
  // The tiles went into the data file one after the other: damage tile 3, or cut inside tile 5.
  Bytes dat = fileBytes(m_dir / "TivraCache.dat");
  std::vector<std::size_t> at;
  for (long i = 0; i < kTiles; ++i) {
    const Bytes tile = test::FakeTileServer::tileBytes(1000 + i, 7, 12);
    const auto it = std::search(dat.begin(), dat.end(), tile.begin(), tile.end());
    ASSERT_NE(it, dat.end()) << i;
    at.push_back(static_cast<std::size_t>(it - dat.begin()));
  }
  std::vector<int> hit(kTiles, 0);
  if (GetParam().cut) {
    dat.resize(at[5] + 100);
    for (long i = 5; i < kTiles; ++i) hit[static_cast<std::size_t>(i)] = 1;
  } else {
    dat[at[3] + 200] ^= 0x04;
    hit[3] = 1;
  }
  writeBytes(m_dir / "TivraCache.dat", dat);

  askAll(m_dir / "second.err");
  std::vector<int> expected(kTiles, 1);
  for (long i = 0; i < kTiles; ++i)
    expected[static_cast<std::size_t>(i)] += hit[static_cast<std::size_t>(i)];
  EXPECT_EQ(fetches(), expected);
  EXPECT_EQ(count(test::readFile(m_dir / "second.err"), "缓存文件已损坏"), GetParam().cut ? 1 : 0);

  if (GetParam().cut) {
    // Nothing was stored into the damaged store: after the repair those tiles come once more.
    ASSERT_EQ(runTool({"repair", m_dir.path().string()}), 0);
    askAll(m_dir / "third.err");
    for (long i = 0; i < kTiles; ++i)
      expected[static_cast<std::size_t>(i)] += hit[static_cast<std::size_t>(i)];
    EXPECT_EQ(fetches(), expected);
  }
  // Stored again: the next run fetches nothing.
  askAll(m_dir / "last.err");
  EXPECT_EQ(fetches(), expected);
  EXPECT_EQ(count(test::readFile(m_dir / "last.err"), "缓存文件已损坏"), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, DamageBetweenRuns,
                         ::testing::Values(RunDamage{"FlippedByte", false},
                                           RunDamage{"CutFile", true}),
                         [](const ::testing::TestParamInfo<RunDamage>& param) {
                           return std::string(param.param.what);
                         });

}  // namespace
}  // namespace tivra::store

// Tile store against SQLite: store N tiles of 10-25 KB (one transaction per tile for SQLite),
// then read R tiles at random (R = 100,000 over the N keys, so each key is read several times)
// from a warm store, timing only the reads. Each phase runs once per backend; the summary at
// the end gives tiles per second, the ratios to each SQLite setup, the time to open our store,
// and a plain loop over SQLite WAL (one prepared statement, nothing else) to check the SQLite
// figure against.
// Then, in the same run: the warm random reads of our store and of the plain WAL loop over the
// same tiles in the same order, interleaved for TIVRA_BENCH_ROUNDS rounds (default 5) so both
// see the same machine load; and the time to open stores of each size in TIVRA_BENCH_OPEN
// (default "20000,65000" tiles of 10-25 KB, built in the temporary directory; 0 skips: a store
// names at most 65,536 descriptors, so 200,000 tiles do not fit in one), each
// opened TIVRA_BENCH_ROUNDS times with the files in the page cache. Figures are given as
// minimum / median / maximum.
// TIVRA_BENCH_TILES overrides N (default 20,000), TIVRA_BENCH_READS overrides R.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/frontend.h"
#include "store/tile_cache.h"

namespace {

using Clock = std::chrono::steady_clock;

int tileCount() {
  const char* env = std::getenv("TIVRA_BENCH_TILES");
  return env != nullptr && std::atoi(env) > 0 ? std::atoi(env) : 20000;
}

std::string tileKey(int i) {
  const int x = 13000 + i % 400, y = 6000 + i / 400;
  return "http://host/googlechina/maptile?x=" + std::to_string(x) + "&y=" + std::to_string(y) +
         "&zoom=15";
}

// Incompressible tile bodies: slices of one random pool, 10-25 KB each.
struct Tiles {
  std::vector<std::uint8_t> pool;
  std::vector<std::size_t> sizes;
  Tiles() {
    std::mt19937 rng(42);
    pool.resize(1 << 20);
    for (auto& b : pool) b = static_cast<std::uint8_t>(rng());
    for (int i = 0; i < tileCount(); ++i) sizes.push_back(10240 + rng() % (15 * 1024 + 1));
  }
  std::span<const std::uint8_t> tile(int i) const {
    const std::size_t off = (static_cast<std::size_t>(i) * 7919) % (pool.size() - 26000);
    return {pool.data() + off, sizes[static_cast<std::size_t>(i)]};
  }
};

const Tiles& tiles() {
  static const Tiles t;
  return t;
}

int readCount() {
  const char* env = std::getenv("TIVRA_BENCH_READS");
  return env != nullptr && std::atoi(env) > 0 ? std::atoi(env) : 100000;
}

std::vector<int> readOrder() {
  std::mt19937 rng(7);
  std::vector<int> order(static_cast<std::size_t>(readCount()));
  for (auto& i : order) i = static_cast<int>(rng() % static_cast<unsigned>(tileCount()));
  return order;
}

std::filesystem::path benchDir(const std::string& name) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("tivra-store-bench-" + std::to_string(::getpid())) / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

std::map<std::string, double>& results() {  // "backend/phase" -> tiles per second
  static std::map<std::string, double> r;
  return r;
}

void record(benchmark::State& state, const std::string& key, int count, double seconds) {
  state.SetIterationTime(seconds);
  state.counters["tiles_per_s"] = count / seconds;
  state.SetBytesProcessed(0);
  results()[key] = count / seconds;
}

class NullFrontend final : public tivra::platform::Frontend {
 public:
  void messageBox(std::string_view, std::string_view) override {}
};

// ---- Tivra's store ------------------------------------------------------------------------

void BM_TivraWrite(benchmark::State& state) {
  for (auto _ : state) {
    const auto dir = benchDir("tivra");
    NullFrontend fe;
    tivra::store::TileCache cache(dir, fe, "http:///host/404.png");
    if (cache.OpenCache() != 0) state.SkipWithError("open failed");
    const auto t0 = Clock::now();
    for (int i = 0; i < tileCount(); ++i) {
      if (cache.StoreTile(tileKey(i), tiles().tile(i)) != 0) state.SkipWithError("store failed");
    }
    cache.CloseCache();  // everything written back
    record(state, "tivra/write", tileCount(),
           std::chrono::duration<double>(Clock::now() - t0).count());
  }
}

void BM_TivraRead(benchmark::State& state) {
  const auto order = readOrder();
  for (auto _ : state) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("tivra-store-bench-" + std::to_string(::getpid())) / "tivra";
    NullFrontend fe;
    tivra::store::TileCache cache(dir, fe, "http:///host/404.png");
    const auto opening = Clock::now();
    if (cache.OpenCache() != 0) state.SkipWithError("open failed");
    results()["tivra/open-ms"] =
        std::chrono::duration<double, std::milli>(Clock::now() - opening).count();
    const auto t0 = Clock::now();
    for (const int i : order) {
      const auto t = cache.ReadTileEntry(tileKey(i));
      if (!t || t->size() != tiles().sizes[static_cast<std::size_t>(i)])
        state.SkipWithError("bad read");
    }
    record(state, "tivra/read", readCount(),
           std::chrono::duration<double>(Clock::now() - t0).count());
    cache.CloseCache();
  }
}

// ---- SQLite -------------------------------------------------------------------------------

struct SqliteSetup {
  const char* name;
  const char* pragmas;
};
const SqliteSetup kSetups[] = {
    {"sqlite-full", "PRAGMA synchronous=FULL;"},
    {"sqlite-off", "PRAGMA synchronous=OFF;"},
    {"sqlite-wal", "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"},
};

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StmtCloser {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;
using Stmt = std::unique_ptr<sqlite3_stmt, StmtCloser>;

Db openDb(const std::filesystem::path& file, const SqliteSetup& setup) {
  sqlite3* raw = nullptr;
  sqlite3_open(file.c_str(), &raw);
  Db db(raw);
  sqlite3_exec(db.get(), setup.pragmas, nullptr, nullptr, nullptr);
  sqlite3_exec(db.get(), "CREATE TABLE IF NOT EXISTS tiles(name TEXT PRIMARY KEY, data BLOB)",
               nullptr, nullptr, nullptr);
  return db;
}

Stmt prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
  return Stmt(s);
}

void BM_SqliteWrite(benchmark::State& state) {
  const SqliteSetup& setup = kSetups[state.range(0)];
  state.SetLabel(setup.name);
  for (auto _ : state) {
    const auto dir = benchDir(setup.name);
    Db db = openDb(dir / "tiles.db", setup);
    Stmt insert = prepare(db.get(), "INSERT OR REPLACE INTO tiles(name, data) VALUES(?, ?)");
    const auto t0 = Clock::now();
    for (int i = 0; i < tileCount(); ++i) {
      const std::string key = tileKey(i);
      const auto tile = tiles().tile(i);
      // One transaction per tile, as a tile server stores each download on its own.
      sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr);
      sqlite3_bind_text(insert.get(), 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
      sqlite3_bind_blob(insert.get(), 2, tile.data(), static_cast<int>(tile.size()), SQLITE_STATIC);
      if (sqlite3_step(insert.get()) != SQLITE_DONE) state.SkipWithError("insert failed");
      sqlite3_reset(insert.get());
      sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr);
    }
    insert.reset();
    db.reset();
    record(state, std::string(setup.name) + "/write", tileCount(),
           std::chrono::duration<double>(Clock::now() - t0).count());
  }
}

void BM_SqliteRead(benchmark::State& state) {
  const SqliteSetup& setup = kSetups[state.range(0)];
  state.SetLabel(setup.name);
  const auto order = readOrder();
  for (auto _ : state) {
    const auto file = std::filesystem::temp_directory_path() /
                      ("tivra-store-bench-" + std::to_string(::getpid())) / setup.name / "tiles.db";
    Db db = openDb(file, setup);
    Stmt select = prepare(db.get(), "SELECT data FROM tiles WHERE name = ?");
    const auto t0 = Clock::now();
    for (const int i : order) {
      const std::string key = tileKey(i);
      sqlite3_bind_text(select.get(), 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
      if (sqlite3_step(select.get()) != SQLITE_ROW) state.SkipWithError("missing row");
      // Copied out, as the tile cache hands the caller its own buffer.
      const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(select.get(), 0));
      std::vector<std::uint8_t> copy(p, p + sqlite3_column_bytes(select.get(), 0));
      if (copy.size() != tiles().sizes[static_cast<std::size_t>(i)])
        state.SkipWithError("bad read");
      benchmark::DoNotOptimize(copy.data());
      sqlite3_reset(select.get());
    }
    record(state, std::string(setup.name) + "/read", readCount(),
           std::chrono::duration<double>(Clock::now() - t0).count());
  }
}

// The check on the figure above: the plainest loop over the WAL database, copying each tile
// into one reused buffer.
double plainSqliteReads(const std::filesystem::path& file) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return 0;
  sqlite3_stmt* select = nullptr;
  sqlite3_prepare_v2(db, "SELECT data FROM tiles WHERE name = ?", -1, &select, nullptr);
  const auto order = readOrder();
  std::vector<std::string> keys;
  keys.reserve(order.size());
  for (const int i : order) keys.push_back(tileKey(i));
  std::vector<std::uint8_t> buffer(40960);
  std::size_t bytes = 0;
  const auto t0 = Clock::now();
  for (const std::string& key : keys) {
    sqlite3_bind_text(select, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    if (sqlite3_step(select) == SQLITE_ROW) {
      const int n = sqlite3_column_bytes(select, 0);
      std::memcpy(buffer.data(), sqlite3_column_blob(select, 0), static_cast<std::size_t>(n));
      bytes += static_cast<std::size_t>(n);
    }
    sqlite3_reset(select);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  benchmark::DoNotOptimize(bytes);
  sqlite3_finalize(select);
  sqlite3_close(db);
  return static_cast<double>(keys.size()) / seconds;
}

std::filesystem::path runDir() {
  return std::filesystem::temp_directory_path() /
         ("tivra-store-bench-" + std::to_string(::getpid()));
}

int envInt(const char* name, int fallback) {
  const char* env = std::getenv(name);
  return env != nullptr && std::atoi(env) > 0 ? std::atoi(env) : fallback;
}

struct Spread {
  double low = 0, median = 0, high = 0;
};

Spread spread(std::vector<double> values) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  return {values.front(), values[values.size() / 2], values.back()};
}

// Warm random reads of the store written above, through the tile cache as the endpoint reads.
double tivraReads(tivra::store::TileCache& cache, const std::vector<std::string>& keys) {
  std::size_t bytes = 0;
  const auto t0 = Clock::now();
  for (const std::string& key : keys) {
    if (const auto t = cache.ReadTileEntry(key)) bytes += t->size();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  benchmark::DoNotOptimize(bytes);
  return static_cast<double>(keys.size()) / seconds;
}

// Our reads and the plain WAL loop, one after the other, round after round.
void interleavedReads(int rounds) {
  NullFrontend fe;
  tivra::store::TileCache cache(runDir() / "tivra", fe, "http:///host/404.png");
  if (cache.OpenCache() != 0) return;
  std::vector<std::string> keys;
  for (const int i : readOrder()) keys.push_back(tileKey(i));
  std::vector<double> ours, plain;
  for (int round = 0; round < rounds; ++round) {
    ours.push_back(tivraReads(cache, keys));
    plain.push_back(plainSqliteReads(runDir() / "sqlite-wal" / "tiles.db"));
  }
  cache.CloseCache();
  const Spread a = spread(ours), b = spread(plain);
  std::printf("\nwarm random reads, %d interleaved rounds (reads/s, min / median / max)\n", rounds);
  std::printf("tivra store:      %8.0f %8.0f %8.0f\n", a.low, a.median, a.high);
  std::printf("plain sqlite-wal: %8.0f %8.0f %8.0f\n", b.low, b.median, b.high);
  std::vector<double> ratios;
  for (std::size_t i = 0; i < ours.size(); ++i) ratios.push_back(ours[i] / plain[i]);
  const Spread r = spread(ratios);
  std::printf("tivra / plain:    %8.2f %8.2f %8.2f\n", r.low, r.median, r.high);
}

// A store of n tiles of 10-25 KB written afresh, then opened and closed `rounds` times.
void openTimes(int n, int rounds) {
  const auto dir = runDir() / ("open-" + std::to_string(n));
  std::filesystem::create_directories(dir);
  std::mt19937 rng(11);
  {
    NullFrontend fe;
    tivra::store::TileCache cache(dir, fe, "http:///host/404.png");
    if (cache.OpenCache() != 0) return;
    const auto& pool = tiles().pool;
    for (int i = 0; i < n; ++i) {
      const std::size_t size = 10240 + rng() % (15 * 1024 + 1);
      const std::size_t off = (static_cast<std::size_t>(i) * 7919) % (pool.size() - 26000);
      if (cache.StoreTile(tileKey(i), {pool.data() + off, size}) != 0) {
        std::printf("opening a store of %d tiles: store failed at tile %d\n", n, i);
        return;
      }
    }
    cache.CloseCache();
  }
  std::vector<double> ms;
  for (int round = 0; round < rounds; ++round) {
    NullFrontend fe;
    tivra::store::TileCache cache(dir, fe, "http:///host/404.png");
    const auto t0 = Clock::now();
    if (cache.OpenCache() != 0) return;
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    if (!cache.ReadTileEntry(tileKey(n - 1))) std::printf("the last tile is missing\n");
    cache.CloseCache();
  }
  const Spread t = spread(ms);
  std::uintmax_t size = 0;
  for (const auto& file : std::filesystem::directory_iterator(dir)) {
    if (file.is_regular_file()) size += file.file_size();
  }
  std::printf(
      "opening our store of %6d tiles (%5.0f MB): %7.1f %7.1f %7.1f ms "
      "(min / median / max of %d)\n",
      n, static_cast<double>(size) / 1e6, t.low, t.median, t.high, rounds);
  std::filesystem::remove_all(dir);
}

BENCHMARK(BM_TivraWrite)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TivraRead)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteWrite)
    ->DenseRange(0, 2)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteRead)
    ->DenseRange(0, 2)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const double plain = plainSqliteReads(runDir() / "sqlite-wal" / "tiles.db");
  const int rounds = envInt("TIVRA_BENCH_ROUNDS", 5);
  interleavedReads(rounds);
  const char* sizes = std::getenv("TIVRA_BENCH_OPEN");
  std::istringstream sizeList(sizes != nullptr ? sizes : "20000,65000");
  for (std::string size; std::getline(sizeList, size, ',');) {
    if (std::atoi(size.c_str()) > 0) openTimes(std::atoi(size.c_str()), rounds);
  }
  std::error_code ec;
  std::filesystem::remove_all(
      std::filesystem::temp_directory_path() / ("tivra-store-bench-" + std::to_string(::getpid())),
      ec);

  auto& r = results();
  std::printf("\n%d tiles of 10-25 KB, %d random reads; tiles per second (ratio = tivra / other)\n",
              tileCount(), readCount());
  std::printf("%-14s %12s %12s %10s %10s\n", "backend", "write", "read", "tivra/w", "tivra/r");
  for (const char* name : {"tivra", "sqlite-full", "sqlite-off", "sqlite-wal"}) {
    const double w = r[std::string(name) + "/write"], rd = r[std::string(name) + "/read"];
    std::printf("%-14s %12.0f %12.0f %10.2f %10.2f\n", name, w, rd,
                w > 0 ? r["tivra/write"] / w : 0.0, rd > 0 ? r["tivra/read"] / rd : 0.0);
  }
  const double wal = r["sqlite-wal/read"];
  std::printf("plain loop over sqlite-wal: %.0f reads/s (%.2f of the figure above%s)\n", plain,
              wal > 0 ? plain / wal : 0.0,
              wal > 0 && (plain / wal > 1.25 || plain / wal < 0.8) ? "; they disagree" : "");
  std::printf("opening our store of %d tiles: %.1f ms\n", tileCount(), r["tivra/open-ms"]);
  return 0;
}

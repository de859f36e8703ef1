// Tile store against SQLite: store N tiles of 10-25 KB (one transaction per tile for SQLite),
// then read N tiles at random. Each phase runs once per backend; the summary at the end gives
// tiles per second and the ratios to each SQLite setup.
// TIVRA_BENCH_TILES overrides N (default 20,000).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
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

std::vector<int> readOrder() {
  std::mt19937 rng(7);
  std::vector<int> order(static_cast<std::size_t>(tileCount()));
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
    if (cache.OpenCache() != 0) state.SkipWithError("open failed");
    const auto t0 = Clock::now();
    for (const int i : order) {
      const auto t = cache.ReadTileEntry(tileKey(i));
      if (!t || t->size() != tiles().sizes[static_cast<std::size_t>(i)])
        state.SkipWithError("bad read");
    }
    record(state, "tivra/read", tileCount(),
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
    record(state, std::string(setup.name) + "/read", tileCount(),
           std::chrono::duration<double>(Clock::now() - t0).count());
  }
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
  std::error_code ec;
  std::filesystem::remove_all(
      std::filesystem::temp_directory_path() / ("tivra-store-bench-" + std::to_string(::getpid())),
      ec);

  auto& r = results();
  std::printf("\n%d tiles of 10-25 KB, tiles per second (ratio = tivra / other)\n", tileCount());
  std::printf("%-14s %12s %12s %10s %10s\n", "backend", "write", "read", "tivra/w", "tivra/r");
  for (const char* name : {"tivra", "sqlite-full", "sqlite-off", "sqlite-wal"}) {
    const double w = r[std::string(name) + "/write"], rd = r[std::string(name) + "/read"];
    std::printf("%-14s %12.0f %12.0f %10.2f %10.2f\n", name, w, rd,
                w > 0 ? r["tivra/write"] / w : 0.0, rd > 0 ? r["tivra/read"] / rd : 0.0);
  }
  return 0;
}

// Tile store against SQLite: store N tiles of 10-25 KB (one transaction per tile for SQLite),
// then read R tiles at random (R = 100,000 over the N keys, so each key is read several times)
// from a warm store, timing only the reads. Each phase runs once per backend; the summary at
// the end gives tiles per second, the ratios to each SQLite setup, the time to open our store,
// and a plain loop over SQLite WAL (one prepared statement, nothing else) to check the SQLite
// figure against.
// TIVRA_BENCH_TILES overrides N (default 20,000), TIVRA_BENCH_READS overrides R.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
  const double plain = plainSqliteReads(std::filesystem::temp_directory_path() /
                                        ("tivra-store-bench-" + std::to_string(::getpid())) /
                                        "sqlite-wal" / "tiles.db");
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

// What a kill or a file error leaves behind: the store reopens sound with everything made
// durable before it, and a data file that cannot be opened never costs the index.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <optional>

#include "store/store.h"
#include "store/store_inspect.h"
#include "store/tile_cache.h"
#include "store_test_util.h"
#include "support/hang_guard.h"
#include "support/temp_dir.h"

namespace tivra::store {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kP = 256;  // small pages: many units, many reads of the index file

std::string nameOf(int i) {
  return "http://127.0.0.1/googlechina/maptile?x=" + std::to_string(i) + "&y=7&zoom=12";
}

Bytes contentOf(int i) {
  Bytes b(static_cast<std::size_t>(100 + 517 * (i % 5)));
  for (std::size_t k = 0; k < b.size(); ++k) b[k] = static_cast<std::uint8_t>(k * 31 + i);
  return b;
}

void put(Store* s, const std::string& name, const Bytes& data) {
  const int h = entry_create(s, name);
  ASSERT_GE(h, 0) << name;
  ASSERT_EQ(entry_write(s, h, data), static_cast<int>(data.size()));
  entry_close(s, h);
}

std::optional<Bytes> get(Store* s, const std::string& name) {
  const int h = entry_open(s, name, kOpenReadOnly);
  if (h < 0) return std::nullopt;
  Bytes buf(1 << 16);
  const int n = entry_read(s, h, buf);
  entry_close(s, h);
  if (n < 0) return std::nullopt;
  buf.resize(static_cast<std::size_t>(n));
  return buf;
}

// Runs body in a child process that then ends without closing anything, as a kill would.
void inKilledChild(const std::function<void()>& body) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    body();
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Opens after an unclean end: the lock file it left is stale.
StorePtr reopen(const std::filesystem::path& base, const FileSystem* fs = nullptr) {
  std::filesystem::remove(std::filesystem::path(base) += ".lck");
  return store_open(base, kModeReadWrite, {fs, kP});
}

void expectSound(Store* s) {
  const auto problems = verify_store(s);
  EXPECT_TRUE(problems.empty()) << problems.front();
}

TEST(Kill, FirstRunStoreReopensWithItsSeeds) {
  tivra::test::TempDir dir;
  const Bytes seed = contentOf(3);
  const SeedEntry seeds[] = {{"default.png", seed}};
  inKilledChild([&] {
    test::RecordingFrontend frontend;
    TileCache cache(dir.path(), frontend, "http:///h/404.png", {nullptr, kP});
    EXPECT_EQ(cache.OpenCache(seeds), 0);
  });
  test::RecordingFrontend frontend;
  TileCache cache(dir.path(), frontend, "http:///h/404.png", {nullptr, kP});
  ASSERT_EQ(cache.OpenCache(), 0);
  EXPECT_TRUE(frontend.boxes().empty());
  EXPECT_EQ(cache.ReadModelEntry("default.png"), seed);
}

TEST(Kill, LosesOnlyWhatFollowsTheLastCheckpoint) {
  tivra::test::TempDir dir;
  const auto base = dir / "T";
  inKilledChild([&] {
    StorePtr s = store_open(base, kModeReadWrite, {nullptr, kP});
    for (int i = 0; i < 150; ++i) put(s.get(), nameOf(i), contentOf(i));
    EXPECT_EQ(store_checkpoint(s.get()), 0);
    // Later work moves units and windows out of memory and rewrites older entries in place.
    for (int i = 150; i < 400; ++i) put(s.get(), nameOf(i), contentOf(i));
    for (int i = 0; i < 150; i += 2) put(s.get(), nameOf(i), contentOf(i + 1));
    for (int i = 1; i < 150; i += 4) entry_remove(s.get(), nameOf(i));
    s.release();  // the child ends without closing
  });
  StorePtr s = reopen(base);
  ASSERT_TRUE(s);
  expectSound(s.get());
  for (int i = 0; i < 150; ++i) EXPECT_EQ(get(s.get(), nameOf(i)), contentOf(i)) << i;
  for (int i = 150; i < 400; ++i) EXPECT_FALSE(get(s.get(), nameOf(i))) << i;
  put(s.get(), "after", contentOf(9));  // usable at once
  EXPECT_EQ(store_close(std::move(s)), 0);
}

// A checkpoint that stops at any write (as a kill or a full disk would stop it) leaves either
// the state before it or the state after it, never a mixture.
TEST(Kill, CheckpointCutShortLeavesOneWholeState) {
  int before = 0, after = 0;
  for (const bool shortWrites : {false, true}) {
    for (const long budget : {0, 1, 2, 3, 5, 8, 13, 21, 34}) {
      tivra::test::TempDir dir;
      const auto base = dir / "T";
      test::FaultFileSystem fs;
      fs.shortWrites = shortWrites;
      {
        StorePtr s = store_open(base, kModeReadWrite, {&fs, kP});
        ASSERT_TRUE(s);
        for (int i = 0; i < 100; ++i) put(s.get(), nameOf(i), contentOf(i));
        ASSERT_EQ(store_checkpoint(s.get()), 0);
        for (int i = 100; i < 200; ++i) put(s.get(), nameOf(i), contentOf(i));
        for (int i = 0; i < 20; ++i) ASSERT_EQ(entry_remove(s.get(), nameOf(i)), 0);
        fs.writesLeft = budget;
        if (store_checkpoint(s.get()) == 0) continue;
        store_close(std::move(s));  // a failed store writes nothing more
      }
      StorePtr s = reopen(base);
      ASSERT_TRUE(s) << budget;
      expectSound(s.get());
      const bool newState = get(s.get(), nameOf(150)).has_value();
      (newState ? after : before) += 1;
      for (int i = 0; i < 200; ++i) {
        const bool present = newState ? i >= 20 : i < 100;
        EXPECT_EQ(get(s.get(), nameOf(i)), present ? std::optional(contentOf(i)) : std::nullopt)
            << "budget " << budget << " entry " << i;
      }
    }
  }
  EXPECT_GT(before, 0);
  EXPECT_GT(after, 0);  // some stopped after the journal was durable: completed at the open
}

TEST(IoFailure, HalfDoneInsertIsNeverWrittenBack) {
  tivra::test::TempDir dir;
  const auto base = dir / "T";
  {
    StorePtr s = store_open(base, kModeReadWrite, {nullptr, kP});
    for (int i = 0; i < 40; ++i) put(s.get(), nameOf(i), contentOf(i));
    // Descriptor 15 ends the first unit of descriptors: taking it makes the engine look for
    // the next free one in a unit that is read only then, after the name went into the tree.
    ASSERT_EQ(entry_remove(s.get(), nameOf(15)), 0);
    ASSERT_EQ(store_close(std::move(s)), 0);
  }
  const Bytes index = test::fileBytes(dir / "T.idx"), data = test::fileBytes(dir / "T.dat");
  int failed = 0;
  for (long budget = 0; budget < 40; ++budget) {
    test::writeFileBytes(dir / "T.idx", index);
    test::writeFileBytes(dir / "T.dat", data);
    test::FaultFileSystem fs;
    {
      // The index read from its file as needed, not kept in memory: reads may fail anywhere.
      StorePtr s = store_open(base, kModeReadWrite, {&fs, kP, false});
      ASSERT_TRUE(s);
      fs.readsLeft = budget;  // the insert stops at a read that fails
      const int h = entry_create(s.get(), "new");
      if (h < 0 || entry_write(s.get(), h, contentOf(2)) < 0) ++failed;
      if (h >= 0) entry_close(s.get(), h);
      fs.readsLeft = -1;  // the file is readable again by the time the store closes
      store_close(std::move(s));
    }
    StorePtr s = store_open(base, kModeRead, {nullptr, kP});
    ASSERT_TRUE(s);
    expectSound(s.get());
    // Every entry is absent or whole.
    for (const EntryInfo& e : list_entries(s.get())) {
      const bool fresh = e.name == "new";
      EXPECT_EQ(get(s.get(), e.name),
                contentOf(fresh ? 2 : std::stoi(e.name.substr(e.name.find("x=") + 2))))
          << e.name << " with " << budget << " reads";
    }
  }
  EXPECT_GT(failed, 3);
}

TEST(OpenFailure, DataFileThatCannotBeOpenedNeverCostsTheIndex) {
  tivra::test::TempDir dir;
  const auto base = dir / "TivraCache";
  {
    StorePtr s = store_open(base, kModeReadWrite, {nullptr, kP});
    put(s.get(), nameOf(1), contentOf(1));
    ASSERT_EQ(store_close(std::move(s)), 0);
  }
  const Bytes index = test::fileBytes(dir / "TivraCache.idx");
  const Bytes data = test::fileBytes(dir / "TivraCache.dat");
  std::filesystem::rename(dir / "TivraCache.dat", dir / "saved.dat");
  std::filesystem::create_directory(dir / "TivraCache.dat");  // not a regular file
  EXPECT_FALSE(store_open(base, kModeReadWrite, {nullptr, kP}));
  test::RecordingFrontend frontend;
  TileCache cache(dir.path(), frontend, "http:///h/404.png", {nullptr, kP});
  EXPECT_EQ(cache.OpenCache(), -1);
  EXPECT_EQ(frontend.boxes().size(), 1u);
  EXPECT_EQ(test::fileBytes(dir / "TivraCache.idx"), index);
  // Once the file is back, so is the store.
  std::filesystem::remove(dir / "TivraCache.dat");
  std::filesystem::rename(dir / "saved.dat", dir / "TivraCache.dat");
  StorePtr s = store_open(base, kModeReadWrite, {nullptr, kP});
  ASSERT_TRUE(s);
  EXPECT_EQ(get(s.get(), nameOf(1)), contentOf(1));
  EXPECT_EQ(test::fileBytes(dir / "TivraCache.dat"), data);
}

// A FIFO under a store file's name would make a reading open wait for a writer for ever.
TEST(OpenFailure, FifoInPlaceOfAStoreFileIsRefusedAtOnce) {
  for (const char* ext : {".idx", ".dat", ".lck"}) {
    tivra::test::TempDir dir;
    {
      StorePtr s = store_open(dir / "T", kModeReadWrite, {nullptr, kP});
      ASSERT_TRUE(s);
      ASSERT_EQ(store_close(std::move(s)), 0);
    }
    const auto fifo = dir / (std::string("T") + ext);
    std::filesystem::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    tivra::test::HangGuard guard(20);
    for (const int mode : {kModeRead, kModeReadWrite})
      EXPECT_FALSE(store_open(dir / "T", mode, {nullptr, kP})) << ext << " mode " << mode;
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
  }
}

// Left by a first run of an older version that was killed: a header without channels.
TEST(OpenFailure, IndexWithoutChannelsIsReplacedByAFreshStore) {
  for (const Bytes& shell : {Bytes{}, Bytes{'A', 'B', 'C', 'D', 0, 0, 0, 0}}) {
    tivra::test::TempDir dir;
    test::writeFileBytes(dir / "T.idx", shell);
    test::writeFileBytes(dir / "T.dat", Bytes(700, 9));
    EXPECT_FALSE(store_open(dir / "T", kModeRead, {nullptr, kP}));
    StorePtr s = store_open(dir / "T", kModeReadWrite, {nullptr, kP});
    ASSERT_TRUE(s);
    put(s.get(), nameOf(5), contentOf(5));
    ASSERT_EQ(store_close(std::move(s)), 0);
    s = store_open(dir / "T", kModeRead, {nullptr, kP});
    ASSERT_TRUE(s);
    EXPECT_EQ(get(s.get(), nameOf(5)), contentOf(5));
  }
}

// ---- when the tile cache makes the store durable --------------------------------------------

// The entry as the files on disk hold it now (a copy is opened, the live store stays open).
std::optional<Bytes> durable(const std::filesystem::path& dir, const std::string& name) {
  tivra::test::TempDir copy;
  for (const char* ext : {".idx", ".dat", ".jnl"}) {
    const auto from = dir / (std::string("TivraCache") + ext);
    if (std::filesystem::exists(from))
      std::filesystem::copy_file(from, copy / (std::string("TivraCache") + ext));
  }
  StorePtr s = store_open(copy / "TivraCache", kModeRead, {nullptr, kP});
  return s ? get(s.get(), name) : std::nullopt;
}

TEST(TileCacheCheckpoints, MapIsSavedOnceItRestsAndChangesBecomeDurableOnTime) {
  using namespace std::chrono_literals;
  tivra::test::TempDir dir;
  test::RecordingFrontend frontend;
  TileCache cache(dir.path(), frontend, "http:///h/404.png", {nullptr, kP}, {30s, 5s});
  ASSERT_EQ(cache.OpenCache(), 0);
  const auto t0 = std::chrono::steady_clock::now();
  cache.locationMap().insert("100,200", "3,4", true);
  cache.maintain(t0);
  cache.maintain(t0 + 4s);
  EXPECT_FALSE(durable(dir.path(), std::string(kLocationEntry)));
  cache.maintain(t0 + 5s);
  EXPECT_EQ(durable(dir.path(), std::string(kLocationEntry)), cache.locationMap().serialize());

  ASSERT_EQ(cache.StoreTile("tile", contentOf(4)), 0);
  const auto t1 = std::chrono::steady_clock::now();
  cache.maintain(t1 + 20s);
  EXPECT_FALSE(durable(dir.path(), "tile"));
  cache.maintain(t1 + 31s);
  EXPECT_EQ(durable(dir.path(), "tile"), contentOf(4));
  EXPECT_EQ(cache.CloseCache(), 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "TivraCache.jnl"));
}

}  // namespace
}  // namespace tivra::store

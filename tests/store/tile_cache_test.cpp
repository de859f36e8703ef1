// The tile cache object over the store, from one thread and from many.
#include <gtest/gtest.h>

#include <thread>

#include "store/store.h"
#include "store/tile_cache.h"
#include "store_test_util.h"
#include "support/temp_dir.h"

namespace tivra::store {
namespace {

using test::bytesOf;

const std::string kMissing = "http:///tiles.example/404.png";

std::vector<std::uint8_t> pattern(std::size_t n, unsigned seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>((i * 31 + seed * 17) >> 2);
  return v;
}

// The raw bytes of one entry, read through the engine.
std::vector<std::uint8_t> rawEntry(const std::filesystem::path& dir, std::string_view name) {
  StorePtr s = store_open(dir / "TivraCache", kModeRead);
  if (!s) return {};
  const int h = entry_open(s.get(), name, kOpenReadOnly);
  if (h < 0) return {};
  std::vector<std::uint8_t> buf(1 << 20);
  const int n = entry_read(s.get(), h, buf);
  buf.resize(static_cast<std::size_t>(std::max(n, 0)));
  return buf;
}

class TileCacheTest : public ::testing::Test {
 protected:
  tivra::test::TempDir m_dir;
  test::RecordingFrontend m_frontend;
};

TEST_F(TileCacheTest, StoresAndReadsTilesAcrossSessions) {
  {
    TileCache cache(m_dir.path(), m_frontend, kMissing);
    ASSERT_EQ(cache.OpenCache(), 0);
    EXPECT_TRUE(cache.isOpen());
    EXPECT_EQ(cache.StoreTile("http://h/t?x=1", pattern(20000, 1)), 0);
    EXPECT_EQ(cache.ReadTileEntry("http://h/t?x=1"), pattern(20000, 1));
    EXPECT_FALSE(cache.ReadTileEntry("http://h/t?x=2"));
    cache.locationMap().insert("100,200", "3,4", true);
    EXPECT_EQ(cache.CloseCache(), 0);
    EXPECT_FALSE(cache.isOpen());
    EXPECT_FALSE(cache.ReadTileEntry("http://h/t?x=1"));
  }
  TileCache cache(m_dir.path(), m_frontend, kMissing);
  ASSERT_EQ(cache.OpenCache(), 0);
  EXPECT_EQ(cache.ReadTileEntry("http://h/t?x=1"), pattern(20000, 1));
  EXPECT_EQ(cache.locationMap().find("100,200"), "3,4");
  EXPECT_TRUE(m_frontend.boxes().empty());
}

TEST_F(TileCacheTest, TilesAreReadWholeModelsCutToTheReadersBuffer) {
  TileCache cache(m_dir.path(), m_frontend, kMissing);
  ASSERT_EQ(cache.OpenCache(), 0);
  ASSERT_EQ(cache.StoreTile("big", pattern(50000, 2)), 0);
  // A tile longer than the 40,960-byte buffer is read to its end.
  EXPECT_EQ(cache.ReadTileEntry("big"), pattern(50000, 2));
  ASSERT_EQ(cache.StoreTile("twice", pattern(81920, 4)), 0);
  EXPECT_EQ(cache.ReadTileEntry("twice"), pattern(81920, 4));
  const auto model = cache.ReadModelEntry("big");
  ASSERT_TRUE(model);
  EXPECT_EQ(model->size(), 50000u);
  ASSERT_EQ(cache.StoreTile("huge", pattern(300000, 3)), 0);
  EXPECT_EQ(cache.ReadModelEntry("huge")->size(), 262144u);
}

TEST_F(TileCacheTest, EmptyEntryIsRemovedByTheReader) {
  TileCache cache(m_dir.path(), m_frontend, kMissing);
  ASSERT_EQ(cache.OpenCache(), 0);
  ASSERT_EQ(cache.StoreTile("empty", {}), 0);
  EXPECT_FALSE(cache.ReadTileEntry("empty"));
  ASSERT_EQ(cache.CloseCache(), 0);
  StorePtr s = store_open(m_dir / "TivraCache", kModeRead);
  EXPECT_EQ(entry_exists(s.get(), "empty"), 0);
}

TEST_F(TileCacheTest, MissingTilesShareOneStoredImage) {
  TileCache cache(m_dir.path(), m_frontend, kMissing);
  ASSERT_EQ(cache.OpenCache(), 0);
  EXPECT_EQ(cache.StoreMissingTile("http://h/t?x=5", bytesOf("PNG-404")), 0);
  EXPECT_EQ(cache.StoreMissingTile("http://h/t?x=6", bytesOf("other data, ignored")), 0);
  EXPECT_EQ(cache.ReadTileEntry("http://h/t?x=5"), bytesOf("PNG-404"));
  EXPECT_EQ(cache.ReadTileEntry("http://h/t?x=6"), bytesOf("PNG-404"));
  EXPECT_EQ(cache.ReadTileEntry(kMissing), bytesOf("PNG-404"));
  ASSERT_EQ(cache.CloseCache(), 0);
  {
    StorePtr s = store_open(m_dir / "TivraCache", kModeReadWrite);
    ASSERT_EQ(entry_remove(s.get(), "http://h/t?x=5"), 0);
  }
  ASSERT_EQ(cache.OpenCache(), 0);
  EXPECT_FALSE(cache.ReadTileEntry("http://h/t?x=5"));
  EXPECT_EQ(cache.ReadTileEntry("http://h/t?x=6"), bytesOf("PNG-404"));
}

TEST_F(TileCacheTest, EmptyLocationMapIsStoredAsTwoZeroBytes) {
  TileCache cache(m_dir.path(), m_frontend, kMissing);
  ASSERT_EQ(cache.OpenCache(), 0);
  ASSERT_EQ(cache.CloseCache(), 0);
  EXPECT_EQ(rawEntry(m_dir.path(), kLocationEntry), (std::vector<std::uint8_t>{0, 0}));
}

TEST_F(TileCacheTest, ShorterMapLeavesTheOldTailWhichReadersIgnore) {
  TileCache cache(m_dir.path(), m_frontend, kMissing);
  ASSERT_EQ(cache.OpenCache(), 0);
  for (int i = 0; i < 10; ++i) cache.locationMap().insert(std::to_string(i) + ",0", "1,1", true);
  ASSERT_EQ(cache.SaveLocationMap(), 1);
  const auto longForm = cache.locationMap().serialize();
  cache.locationMap().clear();
  cache.locationMap().insert("7,7", "2,2", true);
  ASSERT_EQ(cache.CloseCache(), 0);
  EXPECT_EQ(rawEntry(m_dir.path(), kLocationEntry).size(), longForm.size());
  ASSERT_EQ(cache.OpenCache(), 0);
  EXPECT_EQ(cache.locationMap().size(), 1u);
  EXPECT_EQ(cache.locationMap().find("7,7"), "2,2");
}

TEST_F(TileCacheTest, SeedsAreWrittenOnlyWhenAbsent) {
  const auto a = bytesOf("seed-a");
  const auto b = bytesOf("seed-b");
  {
    TileCache cache(m_dir.path(), m_frontend, kMissing);
    const SeedEntry seeds[] = {{"default.png", a}};
    ASSERT_EQ(cache.OpenCache(seeds), 0);
    ASSERT_EQ(cache.StoreTile("default.png", bytesOf("changed")), 0);
  }
  TileCache cache(m_dir.path(), m_frontend, kMissing);
  const SeedEntry seeds[] = {{"default.png", b}, {"car.kmz", b}};
  ASSERT_EQ(cache.OpenCache(seeds), 0);
  EXPECT_EQ(cache.ReadTileEntry("default.png"), bytesOf("changed"));
  EXPECT_EQ(cache.ReadModelEntry("car.kmz"), b);
}

TEST_F(TileCacheTest, StaleLockFileIsRemovedAtOpen) {
  test::writeFileBytes(m_dir / "TivraCache.lck", {3, 0, 0, 0, 1, 0, 0, 0});
  TileCache cache(m_dir.path(), m_frontend, kMissing);
  EXPECT_EQ(cache.OpenCache(), 0);
  EXPECT_TRUE(m_frontend.boxes().empty());
}

TEST_F(TileCacheTest, StoreThatCannotBeCreatedShowsOneMessageAndFailsHarmlessly) {
  TileCache cache(m_dir / "no" / "such" / "dir", m_frontend, kMissing);
  EXPECT_EQ(cache.OpenCache(), -1);
  const auto boxes = m_frontend.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].first, "无法创建缓存文件！");
  EXPECT_EQ(boxes[0].second, "Tivra");
  EXPECT_FALSE(cache.isOpen());
  EXPECT_FALSE(cache.ReadTileEntry("x"));
  EXPECT_FALSE(cache.ReadModelEntry("x"));
  EXPECT_EQ(cache.StoreTile("x", bytesOf("1")), -1);
  EXPECT_EQ(cache.StoreMissingTile("x", bytesOf("1")), -1);
  EXPECT_EQ(cache.SaveLocationMap(), 0);
  EXPECT_EQ(cache.CloseCache(), -1);
  cache.locationMap().insert("1,1", "2,2", false);  // the map still works without a store
  EXPECT_EQ(cache.locationMap().size(), 1u);
}

TEST_F(TileCacheTest, DamagedLocationEntryStartsAnEmptyMap) {
  {
    StorePtr s = store_open(m_dir / "TivraCache", kModeReadWrite);
    const int h = entry_create(s.get(), kLocationEntry);
    entry_write(s.get(), h,
                std::vector<std::uint8_t>{5, 0, 3, 'a'});  // 5 pairs promised, none there
    entry_close(s.get(), h);
  }
  TileCache cache(m_dir.path(), m_frontend, kMissing);
  ASSERT_EQ(cache.OpenCache(), 0);
  EXPECT_EQ(cache.locationMap().size(), 0u);
}

TEST_F(TileCacheTest, ManyThreadsStoreAndReadConcurrently) {
  TileCache cache(m_dir.path(), m_frontend, kMissing);
  ASSERT_EQ(cache.OpenCache(), 0);
  constexpr int kThreads = 8, kTiles = 60;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kTiles; ++i) {
        const std::string name =
            "http://h/t?thread=" + std::to_string(t) + "&i=" + std::to_string(i);
        const auto data = pattern(static_cast<std::size_t>(1000 + (i * 977) % 30000),
                                  static_cast<unsigned>(t * 1000 + i));
        if (cache.StoreTile(name, data) != 0) ++mismatches;
        if (cache.ReadTileEntry(name) != data) ++mismatches;
        if (i % 7 == 0 && cache.StoreMissingTile(name + "&missing", bytesOf("404")) != 0)
          ++mismatches;
        cache.locationMap().insert(std::to_string(t) + "," + std::to_string(i), "1,2", false);
        if (i % 20 == 0) cache.SaveLocationMap();
        // Read another thread's tiles too: present or not, never torn.
        const auto other = cache.ReadTileEntry(
            "http://h/t?thread=" + std::to_string((t + 1) % kThreads) + "&i=" + std::to_string(i));
        if (other && other->size() < 1000) ++mismatches;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(cache.locationMap().size(), static_cast<std::size_t>(kThreads * kTiles));
  ASSERT_EQ(cache.CloseCache(), 0);
  ASSERT_EQ(cache.OpenCache(), 0);
  EXPECT_EQ(cache.locationMap().size(), static_cast<std::size_t>(kThreads * kTiles));
  for (int t = 0; t < kThreads; ++t) {
    const auto data = pattern(1000 + (5 * 977) % 30000, static_cast<unsigned>(t * 1000 + 5));
    EXPECT_EQ(cache.ReadTileEntry("http://h/t?thread=" + std::to_string(t) + "&i=5"), data);
  }
  EXPECT_EQ(cache.ReadTileEntry("http://h/t?thread=3&i=14&missing"), bytesOf("404"));
}

}  // namespace
}  // namespace tivra::store

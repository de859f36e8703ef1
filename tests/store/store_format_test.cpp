// On-disk bytes of the store files, the lock file protocol and the index page cache.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "store/byte_order.h"
#include "store/index_container.h"
#include "store/lock_file.h"
#include "store/store.h"
#include "store/store_internal.h"
#include "store_test_util.h"
#include "support/temp_dir.h"

namespace tivra::store {
namespace {

using test::fileBytes;

constexpr std::size_t kP = 4096;

std::filesystem::path withSuffix(std::filesystem::path p, const char* suffix) {
  p += suffix;
  return p;
}

TEST(StoreFormat, FreshStoreHasExactBytesAfterClose) {
  tivra::test::TempDir dir;
  const auto base = dir / "TivraCache";
  StorePtr s = store_open(base, kModeReadWrite, {nullptr, kP});
  ASSERT_TRUE(s);
  EXPECT_TRUE(std::filesystem::exists(withSuffix(base, ".lck")));
  ASSERT_EQ(store_close(std::move(s)), 0);

  std::vector<std::uint8_t> expected(143360, 0);
  const std::uint8_t header[] = {'A', 'B', 'C', 'D', 4, 0, 0,  0, 4, 0, 0, 0, 16, 0,
                                 0,   0,   8,   0,   0, 0, 64, 0, 0, 0, 1, 0, 0,  0,
                                 0,   0,   0,   0,   4, 0, 0,  0, 0, 0, 0, 0};
  std::memcpy(expected.data(), header, sizeof header);
  // Node 0 (file page 1): descriptor 0, bit -1, name chunk 0 in use, links 0.
  const std::uint8_t node0[] = {0, 0, 0xFF, 0xFF, 0, 0, 0, 0x80};
  std::memcpy(&expected[kP], node0, sizeof node0);
  // Chunk 0 (file page 1 + 4): in use, last, text ".".
  const std::uint8_t chunk0[] = {0, 0, 0, 0x80, '.'};
  std::memcpy(&expected[5 * kP], chunk0, sizeof chunk0);

  EXPECT_EQ(fileBytes(withSuffix(base, ".idx")), expected);
  EXPECT_TRUE(fileBytes(withSuffix(base, ".dat")).empty());
  EXPECT_FALSE(std::filesystem::exists(withSuffix(base, ".lck")));
}

// The sum file beside the two: "TSUM", a reserved word, then per descriptor the size with bit 31
// set and zlib's CRC-32 of the content. A content rewritten in pieces is summed whole at close;
// a removed one keeps no record.
TEST(StoreFormat, SumFileHoldsEveryContentsSizeAndCrc) {
  tivra::test::TempDir dir;
  const auto base = dir / "TivraCache";
  StorePtr s = store_open(base, kModeReadWrite, {nullptr, kP});
  ASSERT_TRUE(s);
  const std::vector<std::vector<std::uint8_t>> contents = {
      test::bytesOf("first"), std::vector<std::uint8_t>(1300, 0xA5), {}, test::bytesOf("gone")};
  for (std::size_t i = 0; i < contents.size(); ++i) {
    const int h = entry_create(s.get(), "e" + std::to_string(i));
    ASSERT_GE(h, 0);
    ASSERT_EQ(entry_write(s.get(), h, contents[i]), static_cast<int>(contents[i].size()));
    entry_close(s.get(), h);
  }
  // Descriptor 1 rewritten from its middle: summed again over the whole content.
  const int h = entry_open(s.get(), "e1", kOpenReadWrite);
  ASSERT_EQ(entry_seek(s.get(), h, 700, kSeekSet), 0);
  ASSERT_EQ(entry_write(s.get(), h, test::bytesOf("middle")), 6);
  entry_close(s.get(), h);
  auto rewritten = contents[1];
  std::memcpy(&rewritten[700], "middle", 6);
  ASSERT_EQ(entry_remove(s.get(), "e3"), 0);
  ASSERT_EQ(store_close(std::move(s)), 0);

  const auto sums = fileBytes(withSuffix(base, ".sum"));
  ASSERT_EQ(sums.size(), 8u + 8 * 4);
  EXPECT_EQ(std::string(sums.begin(), sums.begin() + 4), "TSUM");
  EXPECT_EQ(getLe32(&sums[4]), 0u);
  const std::vector<std::uint8_t>* expected[] = {&contents[0], &rewritten, &contents[2]};
  for (std::size_t d = 0; d < 3; ++d) {
    const auto& c = *expected[d];
    EXPECT_EQ(getLe32(&sums[8 + 8 * d]), 0x80000000u | c.size()) << d;
    EXPECT_EQ(getLe32(&sums[12 + 8 * d]), ::crc32(0, c.data(), static_cast<uInt>(c.size()))) << d;
  }
  EXPECT_EQ(getLe32(&sums[8 + 8 * 3]), 0u);
  EXPECT_EQ(getLe32(&sums[12 + 8 * 3]), 0u);
}

TEST(StoreFormat, IndexIsCutToTheStripesItsLongestChannelNeeds) {
  tivra::test::TempDir dir;
  const auto base = dir / "TivraCache";
  StorePtr s = store_open(base, kModeReadWrite, {nullptr, kP});
  ASSERT_TRUE(s);
  // 300 entries: 300 descriptors of 16 bytes = 4800 bytes of channel 2 (factor 1).
  for (int i = 0; i < 300; ++i) {
    const int h = entry_create(s.get(), "tile" + std::to_string(i));
    ASSERT_GE(h, 0);
    entry_close(s.get(), h);
  }
  ASSERT_EQ(store_close(std::move(s)), 0);
  const auto idx = fileBytes(withSuffix(base, ".idx"));
  ASSERT_GE(idx.size(), 40u);
  const std::int64_t l2 = getLe32(&idx[8 + 8 * 2 + 4]);
  EXPECT_EQ(l2, 300 * 16);
  std::uint64_t r = 0;
  for (int i = 0; i < 4; ++i) {
    const std::uint64_t f = getLe32(&idx[8 + 8 * i]);
    const std::uint64_t l = getLe32(&idx[12 + 8 * i]);
    r = std::max<std::uint64_t>(r, ((l / kP) + 1) / f + 1);
  }
  EXPECT_EQ(r, 3u);  // channel 2: (4800/4096 + 1)/1 + 1
  EXPECT_EQ(idx.size(), kP * (r * 17 + 1));
  // Reopened, every entry is still there.
  s = store_open(base, kModeRead, {nullptr, kP});
  ASSERT_TRUE(s);
  for (int i = 0; i < 300; i += 37) EXPECT_EQ(entry_exists(s.get(), "tile" + std::to_string(i)), 1);
}

TEST(StoreFormat, BadMagicCannotBeOpened) {
  tivra::test::TempDir dir;
  const auto base = dir / "TivraCache";
  ASSERT_EQ(store_close(store_open(base, kModeReadWrite, {nullptr, kP})), 0);
  auto idx = fileBytes(withSuffix(base, ".idx"));
  idx[0] = 'X';
  test::writeFileBytes(withSuffix(base, ".idx"), idx);
  EXPECT_FALSE(store_open(base, kModeRead, {nullptr, kP}));
  EXPECT_FALSE(store_open(base, kModeReadWrite, {nullptr, kP}));
  EXPECT_FALSE(std::filesystem::exists(withSuffix(base, ".lck")));
}

TEST(StoreFormat, LoneDataFileIsReplacedByAFreshStoreInReadWriteMode) {
  tivra::test::TempDir dir;
  const auto base = dir / "TivraCache";
  test::writeFileBytes(withSuffix(base, ".dat"), std::vector<std::uint8_t>(5000, 0xAB));
  EXPECT_FALSE(store_open(base, kModeRead, {nullptr, kP}));
  StorePtr s = store_open(base, kModeReadWrite, {nullptr, kP});
  ASSERT_TRUE(s);
  EXPECT_EQ(entry_exists(s.get(), "."), 1);
  ASSERT_EQ(store_close(std::move(s)), 0);
  EXPECT_TRUE(fileBytes(withSuffix(base, ".dat")).empty());
  EXPECT_EQ(fileBytes(withSuffix(base, ".idx")).size(), 143360u);
}

TEST(StoreFormat, ReadOnlyOpenOfMissingStoreFails) {
  tivra::test::TempDir dir;
  EXPECT_FALSE(store_open(dir / "TivraCache", kModeRead));
  EXPECT_FALSE(std::filesystem::exists(dir / "TivraCache.idx"));
}

// ---- lock file ----------------------------------------------------------------------------

std::vector<std::uint8_t> lockBytes(std::int32_t mode, std::int32_t count) {
  std::vector<std::uint8_t> b(8);
  putLe32(b.data(), static_cast<std::uint32_t>(mode));
  putLe32(b.data() + 4, static_cast<std::uint32_t>(count));
  return b;
}

struct LockCase {
  std::int32_t holderMode;  // 0: no lock file
  int requested;
  bool opens;
};

class StoreLock : public ::testing::TestWithParam<LockCase> {};

TEST_P(StoreLock, OpenFollowsTheHoldersMode) {
  const LockCase c = GetParam();
  tivra::test::TempDir dir;
  const auto base = dir / "TivraCache";
  ASSERT_EQ(store_close(store_open(base, kModeReadWrite, {nullptr, kP})), 0);
  if (c.holderMode != 0) test::writeFileBytes(lockPath(base), lockBytes(c.holderMode, 1));
  StorePtr s = store_open(base, c.requested, {nullptr, kP});
  EXPECT_EQ(static_cast<bool>(s), c.opens);
  const auto lock = fileBytes(lockPath(base));
  if (c.opens) {
    ASSERT_EQ(lock.size(), 8u);
    EXPECT_EQ(lock, lockBytes(c.requested, c.holderMode != 0 ? 2 : 1));
  } else {
    EXPECT_EQ(lock, lockBytes(c.holderMode, 1));  // a refused open leaves the lock alone
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, StoreLock,
                         ::testing::Values(LockCase{0, 1, true}, LockCase{0, 3, true},
                                           LockCase{1, 1, true}, LockCase{1, 3, false},
                                           LockCase{3, 1, false}, LockCase{3, 3, false},
                                           LockCase{2, 1, false}));

TEST(StoreLockCount, LastCloserDeletesTheLockFile) {
  tivra::test::TempDir dir;
  const auto base = dir / "TivraCache";
  ASSERT_EQ(store_close(store_open(base, kModeReadWrite, {nullptr, kP})), 0);
  StorePtr a = store_open(base, kModeRead, {nullptr, kP});
  StorePtr b = store_open(base, kModeRead, {nullptr, kP});
  ASSERT_TRUE(a && b);
  EXPECT_EQ(fileBytes(lockPath(base)), lockBytes(1, 2));
  EXPECT_EQ(entry_exists(b.get(), "."), 1);
  ASSERT_EQ(store_close(std::move(a)), 0);
  EXPECT_EQ(fileBytes(lockPath(base)), lockBytes(1, 1));
  ASSERT_EQ(store_close(std::move(b)), 0);
  EXPECT_FALSE(std::filesystem::exists(lockPath(base)));
}

TEST(StoreLockCount, ReadOnlyStoreRefusesChanges) {
  tivra::test::TempDir dir;
  const auto base = dir / "TivraCache";
  {
    StorePtr s = store_open(base, kModeReadWrite, {nullptr, kP});
    const int h = entry_create(s.get(), "a");
    ASSERT_EQ(entry_write(s.get(), h, test::bytesOf("hello")), 5);
    entry_close(s.get(), h);
  }
  const auto before = fileBytes(withSuffix(base, ".idx"));
  StorePtr s = store_open(base, kModeRead, {nullptr, kP});
  ASSERT_TRUE(s);
  EXPECT_EQ(entry_create(s.get(), "b"), -1);
  EXPECT_EQ(entry_remove(s.get(), "a"), -1);
  EXPECT_EQ(entry_link(s.get(), "a", "c"), -1);
  EXPECT_EQ(entry_open(s.get(), "a", kOpenReadWrite), -1);
  const int h = entry_open(s.get(), "a", kOpenReadOnly);
  ASSERT_GE(h, 0);
  EXPECT_EQ(entry_write(s.get(), h, test::bytesOf("x")), -1);
  std::uint8_t buf[16];
  EXPECT_EQ(entry_read(s.get(), h, buf), 5);
  ASSERT_EQ(store_close(std::move(s)), 0);
  EXPECT_EQ(fileBytes(withSuffix(base, ".idx")), before);
}

// ---- index page cache -----------------------------------------------------------------------

class PageCache : public ::testing::Test {
 protected:
  void SetUp() override {
    m_c = container_create(m_fs, m_dir / "c.idx", kP);
    ASSERT_TRUE(m_c);
    for (const std::int32_t f : kChannelFactors) ASSERT_GE(channel_add(*m_c, f), 0);
    m_fs.clearWrites();
  }
  // One byte into unit u of channel 3 (factor 4: a unit is 16,384 bytes).
  void touch(std::uint64_t u, bool write) {
    std::uint8_t b = static_cast<std::uint8_t>(u + 1);
    channel_seek(*m_c, 3, u * 4 * kP + 7);
    if (write) {
      channel_write(*m_c, 3, std::span<const std::uint8_t>(&b, 1));
    } else {
      channel_read(*m_c, 3, std::span<std::uint8_t>(&b, 1));
    }
  }
  std::uint64_t unitOffset(std::uint64_t u) { return kP * (1 + 4 + 8 + 1 + u * 17); }

  test::FaultFileSystem m_fs;
  tivra::test::TempDir m_dir;
  std::unique_ptr<Container> m_c;
};

TEST_F(PageCache, NinthUnitDisplacesTheLeastRecentlyUsedAndWritesItBackWhenChanged) {
  for (std::uint64_t u = 0; u < 8; ++u) touch(u, true);
  EXPECT_TRUE(m_fs.writes().empty());
  EXPECT_EQ(m_c->channels[3].pages.size(), kMaxCachePages);
  touch(0, false);  // unit 0 is now the most recent; unit 1 the least
  touch(8, true);
  const auto w = m_fs.writes();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].offset, unitOffset(1));
  EXPECT_EQ(w[0].size, kP);  // only the changed page of the unit
  EXPECT_EQ(m_c->channels[3].pages.size(), kMaxCachePages);
  // Unit 1 comes back from the file with its byte.
  std::uint8_t b = 0;
  channel_seek(*m_c, 3, 1 * 4 * kP + 7);
  channel_read(*m_c, 3, std::span<std::uint8_t>(&b, 1));
  EXPECT_EQ(b, 2);
}

TEST_F(PageCache, CleanUnitsAreDisplacedWithoutWriting) {
  for (std::uint64_t u = 0; u < 20; ++u) touch(u, false);
  EXPECT_TRUE(m_fs.writes().empty());
  EXPECT_EQ(m_c->channels[3].length, 0);
  EXPECT_LE(m_c->channels[3].pages.size(), kMaxCachePages);
}

TEST_F(PageCache, OtherChannelsKeepTheirOwnUnits) {
  for (std::uint64_t u = 0; u < 8; ++u) touch(u, true);
  std::uint8_t b = 9;
  for (std::uint64_t u = 0; u < 8; ++u) {
    channel_seek(*m_c, 2, u * kP);
    channel_write(*m_c, 2, std::span<const std::uint8_t>(&b, 1));
  }
  EXPECT_TRUE(m_fs.writes().empty());  // 8 units in each channel fit without displacement
}

TEST_F(PageCache, ReadsSpanningUnitsAndLengthGrowth) {
  std::vector<std::uint8_t> data(3 * 4 * kP + 100);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  channel_seek(*m_c, 3, 50);
  ASSERT_EQ(channel_write(*m_c, 3, data), static_cast<std::int64_t>(data.size()));
  EXPECT_EQ(m_c->channels[3].length, static_cast<std::int64_t>(50 + data.size()));
  std::vector<std::uint8_t> back(data.size() + 20);
  channel_seek(*m_c, 3, 50);
  ASSERT_EQ(channel_read(*m_c, 3, back), static_cast<std::int64_t>(back.size()));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
  EXPECT_EQ(back.back(), 0);  // never written: zero
  EXPECT_EQ(channel_read(*m_c, 9, back), -1);
  EXPECT_EQ(channel_seek(*m_c, -1, 0), -1);
  ASSERT_TRUE(container_close(std::move(m_c), true));
}

}  // namespace
}  // namespace tivra::store

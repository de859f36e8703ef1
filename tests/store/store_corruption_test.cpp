// Damaged, truncated and stale store files, and files that fail to read or write: the engine
// must neither crash nor hang, and a damaged entry reads as absent.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "store/byte_order.h"
#include "store/store.h"
#include "store/store_inspect.h"
#include "store/store_internal.h"
#include "store_test_util.h"
#include "support/temp_dir.h"

namespace tivra::store {
namespace {

using test::bytesOf;
using test::fileBytes;
using test::writeFileBytes;

constexpr std::size_t kP = 4096;
// File pages of unit 0 of each channel with P = 4096 (factors 4, 8, 1, 4).
constexpr std::size_t kNodePage = 1, kChunkPage = 5, kDescriptorPage = 13, kMapPage = 14;

// Longer than one name chunk: entry i's name takes chunks 2i+1 and 2i+2.
std::string tileName(int i) {
  return "http://tiles.example.org/googlechina/maptile?x=" + std::to_string(i) +
         "&y=3&zoom=7&v=w2.9";
}

// A closed store with `count` entries of 1..3 blocks.
void buildStore(const std::filesystem::path& base, int count) {
  StorePtr s = store_open(base, kModeReadWrite, {nullptr, kP});
  ASSERT_TRUE(s);
  for (int i = 0; i < count; ++i) {
    const int h = entry_create(s.get(), tileName(i));
    ASSERT_GE(h, 0);
    const std::vector<std::uint8_t> data(static_cast<std::size_t>(100 + 500 * (i % 3)),
                                         static_cast<std::uint8_t>(i));
    ASSERT_EQ(entry_write(s.get(), h, data), static_cast<int>(data.size()));
    entry_close(s.get(), h);
  }
  if (count > 2) {
    ASSERT_EQ(entry_link(s.get(), tileName(0), "alias"), 0);
  }
  ASSERT_EQ(store_close(std::move(s)), 0);
}

// Opens the store and uses every entry it can find; returns how many read back intact.
int exercise(const std::filesystem::path& base, int count) {
  StorePtr s = store_open(base, kModeReadWrite, {nullptr, kP});
  if (!s) return 0;
  int intact = 0;
  std::set<std::string> names;
  for (const EntryInfo& e : list_entries(s.get())) names.insert(e.name);
  for (int i = 0; i < count; ++i) names.insert(tileName(i));
  std::vector<std::uint8_t> buf(40960);
  for (const std::string& name : names) {
    entry_exists(s.get(), name);
    const int h = entry_open(s.get(), name, kOpenReadWrite);
    if (h < 0) continue;
    const int n = entry_read(s.get(), h, buf);
    entry_close(s.get(), h);
    if (n > 0 && buf[0] == buf[static_cast<std::size_t>(n) - 1]) ++intact;
  }
  verify_store(s.get());
  // Changes on a damaged store must stay bounded too.
  for (int i = 0; i < 5; ++i) {
    const int h = entry_create(s.get(), "new" + std::to_string(i));
    if (h >= 0) {
      entry_write(s.get(), h, std::vector<std::uint8_t>(1500, 1));
      entry_close(s.get(), h);
    }
    entry_remove(s.get(), tileName(i * 3));
    entry_link(s.get(), "new0", "link" + std::to_string(i));
  }
  store_close(std::move(s));
  return intact;
}

class Corruption : public ::testing::Test {
 protected:
  void SetUp() override {
    buildStore(m_dir / "good", kCount);
    m_idx = fileBytes(m_dir / "good.idx");
    m_dat = fileBytes(m_dir / "good.dat");
    m_sum = fileBytes(m_dir / "good.sum");
  }
  // The store "bad" with these files; without sums it is a store of a program that keeps none.
  std::filesystem::path install(const std::vector<std::uint8_t>& idx,
                                const std::vector<std::uint8_t>& dat, bool withSums = true) {
    const auto base = m_dir / "bad";
    writeFileBytes(m_dir / "bad.idx", idx);
    writeFileBytes(m_dir / "bad.dat", dat);
    if (withSums) {
      writeFileBytes(m_dir / "bad.sum", m_sum);
    } else {
      std::filesystem::remove(m_dir / "bad.sum");
    }
    std::filesystem::remove(m_dir / "bad.lck");
    return base;
  }
  static constexpr int kCount = 120;
  tivra::test::TempDir m_dir;
  std::vector<std::uint8_t> m_idx, m_dat, m_sum;
};

TEST_F(Corruption, IntactCopyReadsEverything) {
  EXPECT_EQ(exercise(install(m_idx, m_dat), kCount), kCount + 1);
}

TEST_F(Corruption, RandomByteFlipsNeitherCrashNorHang) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 150; ++round) {
    auto idx = m_idx;
    const int flips = 1 + static_cast<int>(rng() % 40);
    for (int f = 0; f < flips; ++f) {
      // Mostly where the records live, sometimes anywhere (the header included).
      std::size_t at = rng() % 4 == 0 ? rng() % idx.size() : (kNodePage * kP + rng() % (14 * kP));
      idx[at % idx.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    }
    exercise(install(idx, m_dat), kCount);
  }
}

TEST_F(Corruption, TruncatedFilesNeitherCrashNorHang) {
  for (std::size_t cut :
       {0ul, 3ul, 8ul, 30ul, kP, kP + 17, 5 * kP + 64, 13 * kP + 100, 14 * kP + 40, 20 * kP}) {
    exercise(install(std::vector<std::uint8_t>(
                         m_idx.begin(),
                         m_idx.begin() + static_cast<std::ptrdiff_t>(std::min(cut, m_idx.size()))),
                     m_dat),
             kCount);
  }
  for (std::size_t cut : {0ul, 511ul, 4096ul, 30000ul}) {
    exercise(install(m_idx, std::vector<std::uint8_t>(
                                m_dat.begin(), m_dat.begin() + static_cast<std::ptrdiff_t>(
                                                                   std::min(cut, m_dat.size())))),
             kCount);
  }
}

// Targeted damage: each case must leave the named entry absent and the rest readable.
struct Damage {
  const char* what;
  std::size_t offset;  // into the index file
  std::uint32_t value;
};

class TargetedDamage : public Corruption, public ::testing::WithParamInterface<Damage> {};

TEST_P(TargetedDamage, DamagedEntryReadsAsAbsentOthersSurvive) {
  auto idx = m_idx;
  putLe32(&idx[GetParam().offset], GetParam().value);
  const auto base = install(idx, m_dat);
  StorePtr s = store_open(base, kModeReadWrite, {nullptr, kP});
  ASSERT_TRUE(s);
  EXPECT_FALSE(verify_store(s.get()).empty());
  int readable = 0;
  std::vector<std::uint8_t> buf(40960);
  for (int i = 0; i < kCount; ++i) {
    const int h = entry_open(s.get(), tileName(i), kOpenReadWrite);
    if (h < 0) continue;
    const int n = entry_read(s.get(), h, buf);
    entry_close(s.get(), h);
    if (n == 100 + 500 * (i % 3)) ++readable;
  }
  EXPECT_LT(readable, kCount);
  EXPECT_GE(readable, kCount - 3);
  store_close(std::move(s));
}

// Entry 1 has descriptor 1; blocks: entry 0 -> 1, entry 1 -> 2,3, entry 2 -> 4,5,6.
INSTANTIATE_TEST_SUITE_P(
    Cases, TargetedDamage,
    ::testing::Values(
        Damage{"block map cycle", kMapPage* kP + 4 * 5, 4},
        Damage{"block map self loop", kMapPage* kP + 4 * 5, 5},
        Damage{"block map out of range", kMapPage* kP + 4 * 2, 0x7FFFFFF0},
        Damage{"block marked free inside chain", kMapPage* kP + 4 * 4, 0},
        Damage{"descriptor size beyond chain", kDescriptorPage* kP + 16 * 2 + 4, 1 << 20},
        Damage{"descriptor negative size", kDescriptorPage* kP + 16 * 2 + 4, 0x80000000u},
        Damage{"descriptor first block 0", kDescriptorPage* kP + 16 * 1 + 8, 0},
        Damage{"descriptor first block huge", kDescriptorPage* kP + 16 * 1 + 8, 0x40000000},
        Damage{"descriptor unused", kDescriptorPage* kP + 16 * 1, 0},
        Damage{"chunk chain cycle", kChunkPage* kP + 64 * 3, 0x80000003u},
        Damage{"chunk chain out of range", kChunkPage* kP + 64 * 1, 0x80FFFFFFu}));

// Damage to the data file of a closed store: an entry whose bytes it hit reads as absent (so the
// tile is fetched again), every other entry reads whole, verify names each damaged one, and a
// cut file makes the store read-only. Without the sum file a changed byte goes unnoticed, as
// it did before sums were kept; a cut file does not.
struct DataDamage {
  const char* what;
  bool cut;  // cut the data file in half; otherwise flip one byte of entry kFlipped
  bool withSums;
};

class DamagedData : public Corruption, public ::testing::WithParamInterface<DataDamage> {
 protected:
  static constexpr int kFlipped = 7;
};

TEST_P(DamagedData, EntriesItHitReadAsAbsent) {
  const DataDamage& damage = GetParam();
  // Where each entry's bytes lie: a fresh store writes each content into consecutive blocks.
  std::map<int, std::pair<std::size_t, std::size_t>> extent;  // entry -> [begin, end) in .dat
  {
    StorePtr s = store_open(m_dir / "good", kModeRead, {nullptr, kP});
    ASSERT_TRUE(s);
    for (int i = 0; i < kCount; ++i) {
      const Descriptor d = detail::readDescriptor(
          *s, detail::readNode(*s, detail::findName(*s, detail::Key(tileName(i)))).descriptor);
      const auto begin = static_cast<std::size_t>(d.firstBlock) * 512;
      extent[i] = {begin, begin + static_cast<std::size_t>(d.size)};
    }
  }
  auto dat = m_dat;
  std::set<int> hit;
  if (damage.cut) {
    dat.resize(dat.size() / 2);
    for (const auto& [i, e] : extent)
      if (e.second > dat.size()) hit.insert(i);
  } else {
    dat[(extent[kFlipped].first + extent[kFlipped].second) / 2] ^= 0x10;
    if (damage.withSums) hit.insert(kFlipped);
  }
  ASSERT_FALSE(damage.cut && hit.empty());

  StorePtr s = store_open(install(m_idx, dat, damage.withSums), kModeReadWrite, {nullptr, kP});
  ASSERT_TRUE(s);
  EXPECT_EQ(store_damaged(s.get()), damage.cut);
  std::vector<std::uint8_t> buf(40960);
  for (int i = 0; i < kCount; ++i) {
    const int h = entry_open(s.get(), tileName(i), kOpenReadWrite);
    ASSERT_GE(h, 0) << i;
    const int n = entry_read(s.get(), h, buf);
    entry_close(s.get(), h);
    if (hit.count(i) != 0) {
      EXPECT_EQ(n, -1) << i;
    } else {
      EXPECT_EQ(n, 100 + 500 * (i % 3)) << i;
    }
  }
  const auto problems = verify_store(s.get());
  for (const int i : hit) {
    const std::string name = "\"" + tileName(i) + "\"";
    EXPECT_TRUE(std::any_of(problems.begin(), problems.end(), [&](const std::string& p) {
      return p.find(damage.cut ? "past the end of the data file"
                               : name + "): content does not match") != std::string::npos;
    })) << i;
  }
  EXPECT_EQ(problems.empty(), hit.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedData,
                         ::testing::Values(DataDamage{"FlippedByte", false, true},
                                           DataDamage{"FlippedByteWithoutSums", false, false},
                                           DataDamage{"CutInHalf", true, true},
                                           DataDamage{"CutInHalfWithoutSums", true, false}),
                         [](const ::testing::TestParamInfo<DataDamage>& param) {
                           return std::string(param.param.what);
                         });

TEST_F(Corruption, NameTreeLinkOutOfRangeOrToAFreeNode) {
  for (const std::uint32_t bad : {0x7FFFFFFFu, 0xFFFFFFFEu, 5000u}) {
    auto idx = m_idx;
    putLe32(&idx[kNodePage * kP + 16 * 40 + 8], bad);   // left link of node 40
    putLe32(&idx[kNodePage * kP + 16 * 41 + 12], bad);  // right link of node 41
    exercise(install(idx, m_dat), kCount);
    StorePtr s = store_open(m_dir / "bad", kModeRead, {nullptr, kP});
    ASSERT_TRUE(s);
    EXPECT_FALSE(verify_store(s.get()).empty());
  }
}

TEST_F(Corruption, ImplausibleHeadersAreRefused) {
  for (const auto& [offset, value] : std::vector<std::pair<std::size_t, std::uint32_t>>{
           {4, 600},          // channel count beyond the header page
           {4, 2},            // too few channels for a store
           {8, 0},            // factor 0
           {8, 100000},       // absurd factor
           {12, 0x80000000},  // negative length
           {12, 0x7FFFFFF0},  // a channel far longer than the file holds
           {36, 40000}}) {    // the block map ending past the end of the file
    auto idx = m_idx;
    putLe32(&idx[offset], value);
    EXPECT_FALSE(store_open(install(idx, m_dat), kModeReadWrite, {nullptr, kP}))
        << offset << "=" << value;
  }
}

TEST_F(Corruption, StaleHeaderAfterACrashStaysBounded) {
  // The process ended without closing: the header still has the lengths of an older close.
  auto idx = m_idx;
  for (int ch = 0; ch < 4; ++ch) putLe32(&idx[12 + 8 * ch], ch == 1 ? 64 : 16);
  exercise(install(idx, m_dat), kCount);
  StorePtr s = store_open(m_dir / "bad", kModeRead, {nullptr, kP});
  ASSERT_TRUE(s);
  EXPECT_EQ(entry_open(s.get(), tileName(50), kOpenReadOnly), -1);
}

// ---- failing files ------------------------------------------------------------------------

TEST(FailingFiles, WriteFailuresAreReportedAndNeverCrash) {
  for (const bool shortWrites : {false, true}) {
    for (long budget = 0; budget < 20; budget += 2) {
      tivra::test::TempDir dir;
      test::FaultFileSystem fs;
      fs.shortWrites = shortWrites;
      StorePtr s = store_open(dir / "T", kModeReadWrite, {&fs, 256});
      ASSERT_TRUE(s);
      fs.writesLeft = budget;
      bool sawFailure = false;
      for (int i = 0; i < 300; ++i) {
        const int h = entry_create(s.get(), "entry" + std::to_string(i));
        if (h < 0) {
          sawFailure = true;
          continue;
        }
        if (entry_write(s.get(), h, std::vector<std::uint8_t>(3000, 7)) != 3000) sawFailure = true;
        entry_close(s.get(), h);
        // Writes reach the files at checkpoints.
        if (i % 10 == 9 && store_checkpoint(s.get()) != 0) sawFailure = true;
      }
      EXPECT_TRUE(sawFailure) << budget;
      // Once a write failed the store refuses everything, and close says so.
      EXPECT_EQ(entry_create(s.get(), "after"), -1);
      EXPECT_EQ(store_close(std::move(s)), -1);
    }
  }
}

TEST(FailingFiles, ReadFailureOnOpenGivesNoStore) {
  tivra::test::TempDir dir;
  buildStore(dir / "T", 10);
  test::FaultFileSystem fs;
  fs.failReads = true;
  EXPECT_FALSE(store_open(dir / "T", kModeReadWrite, {&fs, kP}));
}

TEST(FailingFiles, ReadFailureLaterFailsOperations) {
  tivra::test::TempDir dir;
  buildStore(dir / "T", 300);
  test::FaultFileSystem fs;
  StorePtr s = store_open(dir / "T", kModeRead, {&fs, kP});
  ASSERT_TRUE(s);
  fs.failReads = true;
  int failures = 0;
  std::vector<std::uint8_t> buf(2000);
  for (int i = 0; i < 300; ++i) {
    const int h = entry_open(s.get(), tileName(i), kOpenReadOnly);
    if (h < 0 || entry_read(s.get(), h, buf) < 0) ++failures;
    if (h >= 0) entry_close(s.get(), h);
  }
  EXPECT_GT(failures, 0);
  EXPECT_EQ(entry_exists(s.get(), tileName(1)), 0);
}

}  // namespace
}  // namespace tivra::store

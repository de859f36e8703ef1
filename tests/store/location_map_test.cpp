// The stored form of the location map and the data-share files built on it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include <thread>

#include "store/data_share.h"
#include "store/location_map.h"
#include "store/tile_cache.h"
#include "store_test_util.h"
#include "support/hang_guard.h"
#include "support/temp_dir.h"

namespace tivra::store {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct FormCase {
  const char* what;
  LocationPairs pairs;
  Bytes bytes;
};

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes repeat(std::size_t n, std::uint8_t b) {
  return Bytes(n, b);
}

class StoredForm : public ::testing::TestWithParam<FormCase> {};

TEST_P(StoredForm, SerialisesToTheseBytesAndBack) {
  EXPECT_EQ(serializeLocationPairs(GetParam().pairs), GetParam().bytes);
  const auto parsed = parseLocationPairs(GetParam().bytes);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, GetParam().pairs);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, StoredForm,
    ::testing::Values(
        FormCase{"empty", {}, {0, 0}},
        FormCase{"one pair", {{"1,2", "-3,4"}}, {1, 0, 3, '1', ',', '2', 4, '-', '3', ',', '4'}},
        FormCase{"empty strings", {{"", ""}}, {1, 0, 0, 0}},
        FormCase{"254-byte key: one length byte",
                 {{std::string(254, 'k'), "v"}},
                 concat({{1, 0, 254}, repeat(254, 'k'), {1, 'v'}})},
        FormCase{"255-byte key: 0xFF and 16 bits",
                 {{std::string(255, 'k'), ""}},
                 concat({{1, 0, 0xFF, 0xFF, 0x00}, repeat(255, 'k'), {0}})},
        FormCase{"0xFFFD bytes: still 16 bits",
                 {{std::string(0xFFFD, 'k'), ""}},
                 concat({{1, 0, 0xFF, 0xFD, 0xFF}, repeat(0xFFFD, 'k'), {0}})},
        FormCase{"0xFFFE bytes: 32 bits",
                 {{std::string(0xFFFE, 'k'), ""}},
                 concat({{1, 0, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0, 0}, repeat(0xFFFE, 'k'), {0}})}),
    [](const ::testing::TestParamInfo<FormCase>& param) {
      return "Case" + std::to_string(param.index);
    });

TEST(StoredFormCount, SixtyFiveThousandFiveHundredThirtyFivePairsUseThe32BitCount) {
  LocationPairs pairs;
  for (int i = 0; i < 0xFFFF; ++i) pairs.emplace_back(std::to_string(i), "");
  const Bytes b = serializeLocationPairs(pairs);
  ASSERT_GE(b.size(), 6u);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 6), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0, 0}));
  EXPECT_EQ(parseLocationPairs(b)->size(), 0xFFFFu);
  pairs.pop_back();
  const Bytes shorter = serializeLocationPairs(pairs);
  EXPECT_EQ(Bytes(shorter.begin(), shorter.begin() + 2), (Bytes{0xFE, 0xFF}));
}

TEST(StoredFormParse, TruncatedOrGarbageInputFailsCleanly) {
  const Bytes good = serializeLocationPairs({{"12,34", "5,6"}, {"7,8", "9,10"}});
  for (std::size_t cut = 0; cut < good.size(); ++cut)
    EXPECT_FALSE(
        parseLocationPairs(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut))))
        << cut;
  EXPECT_FALSE(
      parseLocationPairs(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}));  // 2^31 pairs promised
  EXPECT_FALSE(parseLocationPairs(Bytes{1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_FALSE(parseLocationPairs(Bytes{1}));
  // Bytes after the last pair are an old tail: ignored.
  Bytes tail = good;
  tail.insert(tail.end(), {9, 9, 9});
  EXPECT_EQ(parseLocationPairs(tail)->size(), 2u);
}

TEST(LocationMapTest, LaterKeysReplaceEarlierOnesAndFailedParseKeepsTheMap) {
  LocationMap map;
  ASSERT_TRUE(map.parse(serializeLocationPairs({{"a", "1"}, {"b", "2"}, {"a", "3"}})));
  EXPECT_EQ(map.size(), 2u);
  EXPECT_EQ(map.find("a"), "3");
  EXPECT_FALSE(map.parse(Bytes{3, 0, 1}));
  EXPECT_EQ(map.size(), 2u);
  map.insert("a", "x", false);
  EXPECT_EQ(map.find("a"), "3");
  map.insert("a", "x", true);
  EXPECT_EQ(map.find("a"), "x");
  EXPECT_EQ(map.merge({{"a", "no"}, {"c", "4"}}), 1u);
  EXPECT_EQ(map.find("a"), "x");
  EXPECT_EQ(map.find("c"), "4");
  EXPECT_FALSE(map.find("zz"));
}

// ---- data sharing -------------------------------------------------------------------------

class DataShare : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(m_cache.OpenCache(), 0); }
  tivra::test::TempDir m_dir;
  test::RecordingFrontend m_frontend;
  TileCache m_cache{m_dir.path(), m_frontend, "http:///h/404.png"};
};

TEST_F(DataShare, EmptyMapExportsTwoZeroBytesAndImportsAsNothing) {
  const ExportResult out = exportDataShare(m_cache.locationMap(), m_dir / "empty");
  ASSERT_TRUE(out.ok) << out.error;
  EXPECT_EQ(out.path, m_dir / "empty.tds");
  EXPECT_EQ(out.pairs, 0u);
  EXPECT_EQ(test::fileBytes(m_dir / "empty.tds"), (Bytes{0, 0}));
  const ImportResult in = importDataShare(m_cache, out.path);
  ASSERT_TRUE(in.ok) << in.error;
  EXPECT_EQ(in.pairsRead, 0u);
  EXPECT_EQ(in.before, 0u);
  EXPECT_EQ(in.after, 0u);
  EXPECT_TRUE(in.saved);
}

TEST_F(DataShare, ExtensionIsAddedOnlyWhenMissing) {
  EXPECT_EQ(dataShareFileName("a/b"), "a/b.tds");
  EXPECT_EQ(dataShareFileName("a/b.dat"), "a/b.dat");
  EXPECT_EQ(dataShareFileName("a/b.tds"), "a/b.tds");
  ASSERT_TRUE(exportDataShare(m_cache.locationMap(), m_dir / "x.bin").ok);
  EXPECT_TRUE(std::filesystem::exists(m_dir / "x.bin"));
  EXPECT_FALSE(std::filesystem::exists(m_dir / "x.bin.tds"));
}

TEST_F(DataShare, ExportedPairsImportExactlyAndExistingKeysKeepTheirValues) {
  LocationMap& map = m_cache.locationMap();
  map.insert("100,200", "1,2", true);
  map.insert("300,400", "3,4", true);
  map.insert("-5,6", "-7,8", true);
  const ExportResult out = exportDataShare(map, m_dir / "share");
  ASSERT_TRUE(out.ok);
  EXPECT_EQ(out.pairs, 3u);

  // Into an empty map: the same pairs.
  tivra::test::TempDir other;
  TileCache fresh(other.path(), m_frontend, "http:///h/404.png");
  ASSERT_EQ(fresh.OpenCache(), 0);
  const ImportResult in = importDataShare(fresh, out.path);
  ASSERT_TRUE(in.ok);
  EXPECT_EQ(in.pairsRead, 3u);
  EXPECT_EQ(in.before, 0u);
  EXPECT_EQ(in.after, 3u);
  EXPECT_EQ(fresh.locationMap().pairs().size(), 3u);
  for (const auto& [k, v] : map.pairs()) EXPECT_EQ(fresh.locationMap().find(k), v);
  ASSERT_EQ(fresh.CloseCache(), 0);  // the merge reached the store
  ASSERT_EQ(fresh.OpenCache(), 0);
  EXPECT_EQ(fresh.locationMap().size(), 3u);

  // Into a map that has every key already: nothing changes.
  map.insert("100,200", "9,9", true);
  const ImportResult again = importDataShare(m_cache, out.path);
  ASSERT_TRUE(again.ok);
  EXPECT_EQ(again.before, 3u);
  EXPECT_EQ(again.after, 3u);
  EXPECT_EQ(map.find("100,200"), "9,9");
  EXPECT_EQ(dataShareImportCacheText(again.before, again.after),
            "文件名:Cache\r\n原始信息数:3\r\n导入后总信息数:3\r\n");
  EXPECT_EQ(dataShareCacheText(3), "文件名:Cache\r\n信息数:3\r\n");
  EXPECT_EQ(dataShareFileText("/x/share.tds", 3), "文件名:/x/share.tds\r\n信息数:3\r\n");
}

TEST_F(DataShare, UnreadableOrTruncatedFilesLeaveTheMapUnchanged) {
  LocationMap& map = m_cache.locationMap();
  map.insert("1,1", "2,2", true);
  const ImportResult missing = importDataShare(m_cache, m_dir / "nope.tds");
  EXPECT_FALSE(missing.ok);
  EXPECT_FALSE(missing.error.empty());
  Bytes good = serializeLocationPairs({{"5,5", "6,6"}, {"7,7", "8,8"}});
  good.resize(good.size() - 2);
  test::writeFileBytes(m_dir / "cut.tds", good);
  const ImportResult cut = importDataShare(m_cache, m_dir / "cut.tds");
  EXPECT_FALSE(cut.ok);
  EXPECT_NE(cut.error.find("truncated"), std::string::npos);
  EXPECT_EQ(map.size(), 1u);
  EXPECT_FALSE(map.find("5,5"));
  // The lock was released on the error path.
  std::thread t([&] { map.insert("9,9", "0,0", true); });
  t.join();
  EXPECT_EQ(map.size(), 2u);
  const ExportResult bad = exportDataShare(map, m_dir / "no" / "dir" / "x");
  EXPECT_FALSE(bad.ok);
  EXPECT_FALSE(bad.error.empty());
}

TEST_F(DataShare, FifoIsRefusedAtOnceAndLeftAsItIs) {
  m_cache.locationMap().insert("1,1", "2,2", true);
  ASSERT_EQ(::mkfifo((m_dir / "pipe.tds").c_str(), 0600), 0);
  tivra::test::HangGuard guard(20);
  const ImportResult in = importDataShare(m_cache, m_dir / "pipe.tds");
  EXPECT_FALSE(in.ok);
  EXPECT_NE(in.error.find("not a regular file"), std::string::npos) << in.error;
  const ExportResult out = exportDataShare(m_cache.locationMap(), m_dir / "pipe.tds");
  EXPECT_FALSE(out.ok);
  EXPECT_FALSE(out.error.empty());
  EXPECT_TRUE(std::filesystem::is_fifo(m_dir / "pipe.tds"));
  EXPECT_EQ(m_cache.locationMap().size(), 1u);
}

TEST_F(DataShare, OversizedOrMalformedFilesAreRefusedAndTheMapStaysUnchanged) {
  LocationMap& map = m_cache.locationMap();
  map.insert("1,1", "2,2", true);
  {
    std::ofstream big(m_dir / "big.tds", std::ios::binary);
    const Bytes head = serializeLocationPairs({{"5,5", "6,6"}});
    big.write(reinterpret_cast<const char*>(head.data()),
              static_cast<std::streamsize>(head.size()));
  }
  std::filesystem::resize_file(m_dir / "big.tds", (std::uintmax_t{64} << 20) + 1);
  const ImportResult big = importDataShare(m_cache, m_dir / "big.tds");
  EXPECT_FALSE(big.ok);
  EXPECT_NE(big.error.find("larger than"), std::string::npos);
  for (const LocationPairs& bad : std::vector<LocationPairs>{
           {{"5,5", "6,6"}, {"7,7", "8"}},       // a value without its second number
           {{"a,5", "6,6"}},                     // not a number
           {{"5,5", "6,6,7"}},                   // three numbers
           {{"", "6,6"}},                        // empty key
           {{"5, 5", "6,6"}},                    // a space
           {{"5,5", std::string(300, '9')}}}) {  // far too long
    test::writeFileBytes(m_dir / "bad.tds", serializeLocationPairs(bad));
    const ImportResult in = importDataShare(m_cache, m_dir / "bad.tds");
    EXPECT_FALSE(in.ok) << bad.back().first << " = " << bad.back().second;
    EXPECT_FALSE(in.error.empty());
  }
  EXPECT_EQ(map.pairs(), (LocationPairs{{"1,1", "2,2"}}));
  test::writeFileBytes(m_dir / "good.tds", serializeLocationPairs({{"-5,5", "6,-6"}}));
  EXPECT_TRUE(importDataShare(m_cache, m_dir / "good.tds").ok);
  EXPECT_EQ(map.find("-5,5"), "6,-6");
}

}  // namespace
}  // namespace tivra::store

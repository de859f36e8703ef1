// Names, contents and links of the store engine.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "store/store.h"
#include "store/store_inspect.h"
#include "store/store_internal.h"
#include "store_test_util.h"
#include "support/temp_dir.h"

namespace tivra::store {
namespace {

using test::bytesOf;

class Entries : public ::testing::Test {
 protected:
  void SetUp() override { reopen(); }
  void reopen() {
    if (m_s) {
      ASSERT_EQ(store_close(std::move(m_s)), 0);
    }
    m_s = store_open(m_dir / "TivraCache", kModeReadWrite, {nullptr, 4096});
    ASSERT_TRUE(m_s);
  }
  Store* s() { return m_s.get(); }

  void put(std::string_view name, std::string_view content) {
    const int h = entry_create(s(), name);
    ASSERT_GE(h, 0) << name;
    ASSERT_EQ(entry_write(s(), h, bytesOf(content)), static_cast<int>(content.size()));
    ASSERT_EQ(entry_close(s(), h), 0);
  }
  // The whole content, or "<absent>".
  std::string get(std::string_view name) {
    const int h = entry_open(s(), name, kOpenReadWrite);
    if (h < 0) return "<absent>";
    std::string out;
    std::uint8_t buf[700];
    for (int n; (n = entry_read(s(), h, buf)) > 0;)
      out.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n));
    entry_close(s(), h);
    return out;
  }
  Descriptor descriptorOf(std::string_view name) {
    const detail::Key key(name);
    const auto path = detail::search(*s(), key);
    return detail::readDescriptor(*s(), detail::readNode(*s(), path.x).descriptor);
  }
  std::int64_t chainLength(std::string_view name) {
    std::int64_t n = 1;
    for (std::int32_t b = descriptorOf(name).firstBlock; (b = detail::readMap(*s(), b)) != -1;) ++n;
    return n;
  }
  void expectSound() {
    const auto problems = verify_store(s());
    EXPECT_TRUE(problems.empty()) << problems.front();
  }

  tivra::test::TempDir m_dir;
  StorePtr m_s;
};

TEST_F(Entries, HeaderNameIsAlwaysPresentButNamesNoContent) {
  EXPECT_EQ(entry_exists(s(), "."), 1);
  EXPECT_EQ(entry_open(s(), ".", kOpenReadWrite), -1);
  EXPECT_EQ(entry_create(s(), "."), -1);
  EXPECT_EQ(entry_remove(s(), "."), -1);
  put("first", "x");  // takes descriptor 0, which the header also names
  EXPECT_EQ(entry_link(s(), ".", "alias"), -1);
  EXPECT_EQ(entry_remove(s(), "."), -1);
  EXPECT_EQ(entry_exists(s(), "."), 1);
  EXPECT_EQ(get("first"), "x");
  EXPECT_EQ(entry_exists(nullptr, "."), 0);
}

struct ChunkCase {
  std::size_t length;
  std::int64_t chunks;
};
class NameChunks : public Entries, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(NameChunks, NameOfNBytesTakesNDiv60PlusOneChunks) {
  const std::string name(GetParam().length, 'n');
  put(name, "c");
  const detail::Key key(name);
  const Node node = detail::readNode(*s(), detail::search(*s(), key).x);
  std::int64_t count = 0;
  for (std::uint32_t c = node.firstChunk();; ++count) {
    const Chunk chunk = detail::readChunk(*s(), c);
    ASSERT_TRUE(chunk.inUse());
    if (chunk.next() == 0) {
      ++count;
      break;
    }
    c = chunk.next();
  }
  EXPECT_EQ(count, GetParam().chunks);
  reopen();
  EXPECT_EQ(get(name), "c");
  expectSound();
}

INSTANTIATE_TEST_SUITE_P(Lengths, NameChunks,
                         ::testing::Values(ChunkCase{0, 1}, ChunkCase{1, 1}, ChunkCase{59, 1},
                                           ChunkCase{60, 2}, ChunkCase{61, 2}, ChunkCase{119, 2},
                                           ChunkCase{120, 3}, ChunkCase{1000, 17}));

struct LookupCase {
  std::string stored;
  std::string key;
};
class NameLookup : public Entries, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(NameLookup, PrefixesAndExtensionsOfAStoredNameAreAbsent) {
  put(GetParam().stored, "v");
  EXPECT_EQ(entry_exists(s(), GetParam().stored), 1);
  EXPECT_EQ(entry_exists(s(), GetParam().key), 0);
  EXPECT_EQ(entry_open(s(), GetParam().key, kOpenReadWrite), -1);
  EXPECT_EQ(entry_remove(s(), GetParam().key), -1);
  EXPECT_EQ(get(GetParam().stored), "v");
}

INSTANTIATE_TEST_SUITE_P(Names, NameLookup,
                         ::testing::Values(LookupCase{"abc", "ab"}, LookupCase{"abc", "abcd"},
                                           LookupCase{"abc", "abd"},
                                           LookupCase{std::string(120, 'q'), std::string(60, 'q')},
                                           LookupCase{std::string(60, 'q'), std::string(59, 'q')},
                                           LookupCase{std::string(60, 'q'), std::string(61, 'q')},
                                           LookupCase{"http://h/a?x=1", "http://h/a?x=1&"},
                                           LookupCase{"a", ""}));

TEST_F(Entries, NamesSharingLongPrefixesStayApart) {
  const std::string prefix(300, 'p');
  std::vector<std::string> names;
  for (char c : std::string("ab0Z\x01\xff")) names.push_back(prefix + c);
  names.push_back(prefix);
  names.push_back(prefix.substr(0, 60));
  names.push_back(prefix.substr(0, 61));
  for (std::size_t i = 0; i < names.size(); ++i) put(names[i], std::to_string(i));
  reopen();
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(get(names[i]), std::to_string(i));
  expectSound();
}

TEST_F(Entries, NamesAgreeingInTheirFirst4096BytesAreRefused) {
  const std::string a = std::string(4096, 'k') + "a";
  const std::string b = std::string(4096, 'k') + "b";
  const std::string c = std::string(4095, 'k') + "c";
  put(a, "A");
  const auto before = list_entries(s());
  EXPECT_EQ(entry_create(s(), b), -1);
  EXPECT_EQ(entry_link(s(), a, b), -1);
  EXPECT_EQ(entry_exists(s(), b), 0);
  EXPECT_EQ(list_entries(s()).size(), before.size());
  EXPECT_EQ(descriptorOf(a).links, 1);
  put(c, "C");  // differs in byte 4095: still fits the bit index
  EXPECT_EQ(get(a), "A");
  EXPECT_EQ(get(c), "C");
  expectSound();
}

TEST_F(Entries, The65537thDescriptorIsRefused) {
  for (int i = 0; i < 65536; ++i) {
    const int h = entry_create(s(), std::to_string(i));
    ASSERT_GE(h, 0) << i;
    entry_close(s(), h);
  }
  const auto entriesBefore = list_entries(s()).size();
  EXPECT_EQ(entry_create(s(), "one too many"), -1);
  EXPECT_EQ(entry_exists(s(), "one too many"), 0);
  EXPECT_EQ(list_entries(s()).size(), entriesBefore);
  // A link needs no descriptor; a removal frees one for the next create.
  EXPECT_EQ(entry_link(s(), "7", "seven"), 0);
  EXPECT_EQ(entry_remove(s(), "100"), 0);
  put("now it fits", "ok");
  EXPECT_EQ(entry_create(s(), "and this not"), -1);
  reopen();
  EXPECT_EQ(get("now it fits"), "ok");
  EXPECT_EQ(entry_create(s(), "and this not"), -1);
}

TEST_F(Entries, ContentSizesAndBlockChains) {
  std::string big(1000, 'z');
  put("big", big);
  EXPECT_EQ(descriptorOf("big").size, 1000);
  EXPECT_EQ(chainLength("big"), 2);
  const int h = entry_open(s(), "big", kOpenReadWrite);
  std::vector<std::uint8_t> buf(4096);
  EXPECT_EQ(entry_read(s(), h, buf), 1000);
  EXPECT_EQ(entry_read(s(), h, buf), 0);  // at the end
  entry_close(s(), h);

  put("one", "1");
  EXPECT_EQ(descriptorOf("one").size, 1);
  put("grow", std::string(99, 'a'));
  const int g = entry_open(s(), "grow", kOpenReadWrite);
  EXPECT_EQ(entry_write(s(), g, std::vector<std::uint8_t>(100, 'b')), 100);
  EXPECT_EQ(entry_write(s(), g, {}), 0);
  entry_close(s(), g);
  EXPECT_EQ(descriptorOf("grow").size, 100);
  EXPECT_EQ(get("grow"), std::string(100, 'b'));

  put("empty", "");
  EXPECT_EQ(chainLength("empty"), 1);
  EXPECT_EQ(get("empty"), "");
  put("exact", std::string(512, 'e'));
  EXPECT_EQ(chainLength("exact"), 1);
  expectSound();
}

// Contents that end exactly at a block boundary, and one byte either side, read to their end
// from a cold cache: whole, through a buffer of exactly their size, and block by block.
class BlockBoundary : public Entries, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(BlockBoundary, ContentReadsToItsEndFromEveryStart) {
  const std::size_t size = GetParam();
  std::string content(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    content[i] = static_cast<char>('a' + (i * 7 + i / 512) % 26);
  put("exact", content);
  reopen();
  EXPECT_EQ(get("exact"), content);
  for (const std::size_t start : {std::size_t{0}, size / 2, size - 1, size - size % 512}) {
    const int h = entry_open(s(), "exact", kOpenReadOnly);
    ASSERT_EQ(entry_seek(s(), h, static_cast<std::int64_t>(start), kSeekSet), 0);
    std::vector<std::uint8_t> buf(size - start);
    ASSERT_EQ(entry_read(s(), h, buf), static_cast<int>(buf.size())) << start;
    EXPECT_EQ(std::string(buf.begin(), buf.end()), content.substr(start)) << start;
    EXPECT_EQ(entry_read(s(), h, buf), 0);
    entry_close(s(), h);
  }
  const int h = entry_open(s(), "exact", kOpenReadOnly);
  std::string pieces;
  std::uint8_t block[512];
  for (int n; (n = entry_read(s(), h, block)) > 0;) pieces.append(block, block + n);
  entry_close(s(), h);
  EXPECT_EQ(pieces, content);
  expectSound();
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlockBoundary,
                         ::testing::Values(511, 512, 513, 1024, 1535, 1536, 40960, 65536, 65537));

// The spare word of a descriptor belongs to whoever wrote it: creating, growing, emptying,
// removing and reusing the descriptor leave it as found.
TEST_F(Entries, DescriptorSpareWordIsKeptAsFound) {
  for (int i = 0; i < 6; ++i) put("e" + std::to_string(i), std::string(700, 'x'));
  ASSERT_EQ(store_close(std::move(m_s)), 0);
  const auto idx = m_dir / "TivraCache.idx";
  std::vector<std::uint8_t> bytes = test::fileBytes(idx);
  // Channel 2 (descriptors) starts at file page 1 + 4 + 8 with P = 4096.
  constexpr std::size_t kDescriptors = 13 * 4096;
  for (std::uint8_t d = 0; d < 8; ++d) {
    const std::uint8_t spare[4] = {0xA0, 0x5E, d, 0xC3};
    std::copy(spare, spare + 4, bytes.begin() + kDescriptors + 16 * d + 12);
  }
  test::writeFileBytes(idx, bytes);
  reopen();
  put("e0", "rewritten");                        // emptied and written again
  put("e1", std::string(5000, 'g'));             // grown
  ASSERT_EQ(entry_remove(s(), "e2"), 0);         // freed
  put("fresh", "reuses a freed descriptor");     // reused
  ASSERT_EQ(entry_link(s(), "e3", "alias"), 0);  // linked
  const int h = entry_open(s(), "e4", kOpenReadWrite | kOpenTruncate);
  ASSERT_EQ(entry_write(s(), h, bytesOf("short")), 5);
  entry_close(s(), h);
  ASSERT_EQ(store_close(std::move(m_s)), 0);
  const std::vector<std::uint8_t> after = test::fileBytes(idx);
  for (std::uint8_t d = 0; d < 8; ++d) {
    const std::vector<std::uint8_t> spare(after.begin() + kDescriptors + 16 * d + 12,
                                          after.begin() + kDescriptors + 16 * d + 16);
    EXPECT_EQ(spare, (std::vector<std::uint8_t>{0xA0, 0x5E, d, 0xC3})) << "descriptor " << int{d};
  }
  reopen();
  EXPECT_EQ(get("fresh"), "reuses a freed descriptor");
}

TEST_F(Entries, SeekAppendAndPartialBlocks) {
  put("e", std::string(1500, '.'));
  const int h = entry_open(s(), "e", kOpenReadWrite);
  ASSERT_EQ(entry_seek(s(), h, 510, kSeekSet), 0);
  ASSERT_EQ(entry_write(s(), h, bytesOf("ABCD")), 4);  // straddles blocks 0 and 1
  ASSERT_EQ(entry_seek(s(), h, -2, kSeekEnd), 0);
  ASSERT_EQ(entry_write(s(), h, bytesOf("xyz")), 3);
  EXPECT_EQ(entry_seek(s(), h, -5000, kSeekCurrent), -1);
  EXPECT_EQ(entry_seek(s(), h, 0, 7), -1);
  entry_close(s(), h);
  std::string expect(1500, '.');
  expect.replace(510, 4, "ABCD");
  expect.replace(1498, 2, "xy");
  expect += "z";
  EXPECT_EQ(get("e"), expect);

  const int a = entry_open(s(), "e", kOpenReadWrite | kOpenAppend);
  ASSERT_EQ(entry_write(s(), a, bytesOf("END")), 3);
  entry_close(s(), a);
  EXPECT_EQ(get("e"), expect + "END");

  const int r = entry_open(s(), "e", kOpenReadOnly);
  ASSERT_EQ(entry_seek(s(), r, 1000, kSeekSet), 0);
  std::uint8_t two[2];
  ASSERT_EQ(entry_read(s(), r, two), 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(two), 2), expect.substr(1000, 2));
  EXPECT_EQ(entry_write(s(), r, bytesOf("no")), -1);
  entry_close(s(), r);
  expectSound();
}

TEST_F(Entries, CreatingAnExistingNameEmptiesItAndKeepsItsDescriptor) {
  put("tile", std::string(3000, 't'));
  ASSERT_EQ(entry_link(s(), "tile", "alias"), 0);
  const int before = detail::readNode(*s(), detail::search(*s(), detail::Key("tile")).x).descriptor;
  const int h = entry_create(s(), "tile");
  ASSERT_GE(h, 0);
  entry_close(s(), h);
  EXPECT_EQ(detail::readNode(*s(), detail::search(*s(), detail::Key("tile")).x).descriptor, before);
  EXPECT_EQ(get("alias"), "");
  EXPECT_EQ(chainLength("alias"), 1);
  EXPECT_EQ(descriptorOf("alias").links, 2);
  expectSound();
}

TEST_F(Entries, TruncateFlagOnOpenEmptiesOnlyWithWriteAccess) {
  put("t", std::string(2000, 'x'));
  entry_close(s(), entry_open(s(), "t", kOpenReadOnly | kOpenTruncate));
  EXPECT_EQ(get("t").size(), 2000u);
  entry_close(s(), entry_open(s(), "t", kOpenReadWrite | kOpenTruncate));
  EXPECT_EQ(get("t"), "");
  EXPECT_EQ(chainLength("t"), 1);
  expectSound();
}

TEST_F(Entries, LinkedEntrySurvivesRemovalOfOneName) {
  put("a", std::string(1200, 'a'));
  ASSERT_EQ(entry_link(s(), "a", "b"), 0);
  EXPECT_EQ(entry_link(s(), "a", "b"), -1);        // present already
  EXPECT_EQ(entry_link(s(), "missing", "c"), -1);  // absent source
  EXPECT_EQ(descriptorOf("b").links, 2);
  const std::int32_t first = descriptorOf("a").firstBlock;
  ASSERT_EQ(entry_remove(s(), "a"), 0);
  EXPECT_EQ(entry_exists(s(), "a"), 0);
  EXPECT_EQ(get("b"), std::string(1200, 'a'));
  EXPECT_NE(detail::readMap(*s(), first), 0);  // blocks still held
  ASSERT_EQ(entry_remove(s(), "b"), 0);
  EXPECT_EQ(detail::readMap(*s(), first), 0);  // released with the last name
  EXPECT_EQ(entry_remove(s(), "b"), -1);
  expectSound();
}

TEST_F(Entries, WriteThroughOneNameIsSeenThroughTheOther) {
  put("x", "old");
  ASSERT_EQ(entry_link(s(), "x", "y"), 0);
  const int h = entry_open(s(), "y", kOpenReadWrite);
  ASSERT_EQ(entry_write(s(), h, bytesOf("NEW!")), 4);
  entry_close(s(), h);
  EXPECT_EQ(get("x"), "NEW!");
}

TEST_F(Entries, RemovingTheOnlyNameLeavesTheHeaderPointingAtItself) {
  put("only", "1");
  EXPECT_NE(detail::readNode(*s(), 0).right, 0);
  ASSERT_EQ(entry_remove(s(), "only"), 0);
  const Node header = detail::readNode(*s(), 0);
  EXPECT_EQ(header.right, 0);
  EXPECT_EQ(header.bit, -1);
  EXPECT_EQ(entry_exists(s(), "only"), 0);
  EXPECT_EQ(entry_exists(s(), "."), 1);
  put("again", "2");
  EXPECT_EQ(get("again"), "2");
  expectSound();
}

TEST_F(Entries, RemovedNodesChunksAndBlocksAreReused) {
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 50; ++i)
      put("name-" + std::to_string(i) + std::string(70, 'L'), std::string(700, 'c'));
    for (int i = 0; i < 50; ++i)
      ASSERT_EQ(entry_remove(s(), "name-" + std::to_string(i) + std::string(70, 'L')), 0);
  }
  EXPECT_LE(s()->freeNode, 1);
  EXPECT_LE(s()->freeChunk, 1);
  EXPECT_EQ(s()->freeDescriptor, 0);
  EXPECT_EQ(s()->freeBlock, 1);
  EXPECT_LE(detail::recordCount(*s(), kTreeChannel, kNodeSize), 51);
  expectSound();
}

TEST_F(Entries, HandleTableGrowsAndClosedSlotsAreReused) {
  put("h", "x");
  std::vector<int> handles;
  for (int i = 0; i < 40; ++i) handles.push_back(entry_open(s(), "h", kOpenReadOnly));
  EXPECT_EQ(handles[31], 31);
  EXPECT_EQ(handles[32], 32);
  EXPECT_EQ(s()->handles.size(), 64u);
  EXPECT_EQ(entry_close(s(), 5), 0);
  EXPECT_EQ(entry_close(s(), 5), -1);
  EXPECT_EQ(entry_open(s(), "h", kOpenReadOnly), 5);
  EXPECT_EQ(entry_close(s(), 1000), -1);
  std::uint8_t b[1];
  EXPECT_EQ(entry_read(s(), 1000, b), -1);
}

TEST_F(Entries, HandleOfARemovedEntryFailsInsteadOfTouchingFreedBlocks) {
  put("gone", std::string(900, 'g'));
  const int h = entry_open(s(), "gone", kOpenReadWrite);
  ASSERT_EQ(entry_remove(s(), "gone"), 0);
  std::uint8_t b[10];
  EXPECT_EQ(entry_read(s(), h, b), -1);
  EXPECT_EQ(entry_write(s(), h, bytesOf("x")), -1);
  EXPECT_EQ(entry_close(s(), h), 0);
  expectSound();
}

TEST_F(Entries, NamesStopAtTheirFirstZeroByte) {
  put(std::string("abc\0def", 7), "v");
  EXPECT_EQ(entry_exists(s(), "abc"), 1);
}

// A change made after every name was read (lookups remembered, contents read from the data
// file as checkpointed): every name then reads as the change left it, before and after the
// next checkpoint.
enum class Change { kOverwrite, kRemove, kRemoveEveryOther, kLink, kCreate, kRecreate };

class ReadsAfterChange : public Entries, public ::testing::WithParamInterface<Change> {};

TEST_P(ReadsAfterChange, SeeTheNewState) {
  std::map<std::string, std::string> model;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "n" + std::to_string(i);
    model[name] =
        std::string(1500 + static_cast<std::size_t>(i) * 37, static_cast<char>('a' + i % 26));
    put(name, model[name]);
  }
  ASSERT_EQ(store_checkpoint(s()), 0);
  for (const auto& [name, content] : model) ASSERT_EQ(get(name), content);
  switch (GetParam()) {
    case Change::kOverwrite:
      put("n7", model["n7"] = "shorter now");
      break;
    case Change::kRemove:
      ASSERT_EQ(entry_remove(s(), "n7"), 0);
      model.erase("n7");
      break;
    case Change::kRemoveEveryOther:  // removals move names from node to node
      for (int i = 0; i < 40; i += 2) {
        ASSERT_EQ(entry_remove(s(), "n" + std::to_string(i)), 0);
        model.erase("n" + std::to_string(i));
      }
      break;
    case Change::kLink:
      ASSERT_EQ(entry_link(s(), "n7", "n7-too"), 0);
      model["n7-too"] = model["n7"];
      break;
    case Change::kCreate:
      put("n40", model["n40"] = std::string(3000, 'z'));
      break;
    case Change::kRecreate:
      ASSERT_EQ(entry_remove(s(), "n7"), 0);
      put("n7", model["n7"] = std::string(2100, 'y'));
      break;
  }
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i <= 40; ++i) {
      const std::string name = "n" + std::to_string(i);
      EXPECT_EQ(get(name), model.count(name) != 0 ? model[name] : "<absent>") << name;
    }
    if (model.count("n7-too") != 0) {
      EXPECT_EQ(get("n7-too"), model["n7-too"]);
    }
    ASSERT_EQ(store_checkpoint(s()), 0);
  }
  expectSound();
}

INSTANTIATE_TEST_SUITE_P(Changes, ReadsAfterChange,
                         ::testing::Values(Change::kOverwrite, Change::kRemove,
                                           Change::kRemoveEveryOther, Change::kLink,
                                           Change::kCreate, Change::kRecreate));

TEST(EntriesSmallPages, WorkWithTheSmallestPageSize) {
  tivra::test::TempDir dir;
  StorePtr s = store_open(dir / "S", kModeReadWrite, {nullptr, 100});  // raised to 256
  ASSERT_TRUE(s);
  for (int i = 0; i < 500; ++i) {
    const int h = entry_create(s.get(), "k" + std::to_string(i));
    const std::string v(static_cast<std::size_t>(i * 3), static_cast<char>('a' + i % 26));
    ASSERT_EQ(entry_write(s.get(), h, bytesOf(v)), static_cast<int>(v.size()));
    entry_close(s.get(), h);
  }
  ASSERT_EQ(store_close(std::move(s)), 0);
  EXPECT_EQ(test::fileBytes(dir / "S.idx").size() % 256, 0u);
  s = store_open(dir / "S", kModeRead, {nullptr, 256});
  ASSERT_TRUE(s);
  for (int i = 0; i < 500; i += 7) {
    const int h = entry_open(s.get(), "k" + std::to_string(i), kOpenReadOnly);
    ASSERT_GE(h, 0);
    std::vector<std::uint8_t> buf(2000);
    ASSERT_EQ(entry_read(s.get(), h, buf), i * 3);
    if (i > 0) {
      EXPECT_EQ(buf[0], 'a' + i % 26);
    }
    entry_close(s.get(), h);
  }
  EXPECT_TRUE(verify_store(s.get()).empty());
}

}  // namespace
}  // namespace tivra::store

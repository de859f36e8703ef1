// The tivra-store tool, run as a process on a small store.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>

#include "store/byte_order.h"
#include "store/data_share.h"
#include "store/lock_file.h"
#include "store/store.h"
#include "store/tile_cache.h"
#include "store_test_util.h"
#include "support/temp_dir.h"

namespace tivra::store {
namespace {

const std::filesystem::path kTool =
    std::filesystem::path(TIVRA_BINARY).parent_path() / "tivra-store";

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct ToolRun {
  int status;
  std::string out;
};

ToolRun tool(const std::vector<std::string>& args) {
  std::string cmd = quote(kTool.string());
  for (const auto& a : args) cmd += " " + quote(a);
  cmd += " 2>/dev/null";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return {-1, {}};
  std::string out;
  std::array<char, 4096> buf;
  for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), p)) > 0;)
    out.append(buf.data(), n);
  const int rc = ::pclose(p);
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, out};
}

class StoreTool : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kTool)) GTEST_SKIP() << "tivra-store not built";
    test::writeFileBytes(m_dir / "a.bin", std::vector<std::uint8_t>(1300, 'A'));
    test::writeFileBytes(m_dir / "b.bin", test::bytesOf("bee"));
  }
  std::string dir() const { return (m_dir / "store").string(); }
  tivra::test::TempDir m_dir;
};

TEST_F(StoreTool, PutLsCatRmVerify) {
  EXPECT_EQ(tool({"ls", dir()}).status, 1);  // no store yet
  ASSERT_EQ(tool({"put", dir(), "http://h/t?x=1", (m_dir / "a.bin").string()}).status, 0);
  ASSERT_EQ(tool({"put", dir(), "b", (m_dir / "b.bin").string()}).status, 0);
  const ToolRun ls = tool({"ls", dir()});
  EXPECT_EQ(ls.status, 0);
  EXPECT_NE(ls.out.find("1300\thttp://h/t?x=1\n"), std::string::npos) << ls.out;
  EXPECT_NE(ls.out.find("3\tb\n"), std::string::npos) << ls.out;
  const ToolRun cat = tool({"cat", dir(), "http://h/t?x=1"});
  EXPECT_EQ(cat.status, 0);
  EXPECT_EQ(cat.out, std::string(1300, 'A'));
  EXPECT_EQ(tool({"cat", dir(), "nope"}).status, 1);
  const ToolRun verify = tool({"verify", dir()});
  EXPECT_EQ(verify.status, 0);
  EXPECT_EQ(verify.out, "sound: 2 names\n");
  EXPECT_EQ(tool({"rm", dir(), "b"}).status, 0);
  EXPECT_EQ(tool({"rm", dir(), "b"}).status, 1);
  EXPECT_EQ(tool({"cat", dir(), "b"}).status, 1);
  EXPECT_EQ(tool({"verify", dir()}).status, 0);
  EXPECT_EQ(tool({"frobnicate", dir()}).status, 2);
  EXPECT_EQ(tool({}).status, 2);
}

TEST_F(StoreTool, VerifyReportsADamagedStoreWithWhere) {
  for (int i = 0; i < 5; ++i)
    ASSERT_EQ(tool({"put", dir(), "n" + std::to_string(i), (m_dir / "a.bin").string()}).status, 0);
  ASSERT_EQ(tool({"verify", dir()}).status, 0);
  // 1300 bytes take three blocks: n0 holds 1-3, n1 holds 4-6. Make n0's chain run on into n1's.
  const auto idxPath = m_dir / "store" / "TivraCache.idx";
  auto idx = test::fileBytes(idxPath);
  const std::size_t mapPage = 14 * 4096;
  putLe32(&idx[mapPage + 4 * 3], 4);
  test::writeFileBytes(idxPath, idx);
  const ToolRun verify = tool({"verify", dir()});
  EXPECT_EQ(verify.status, 1);
  EXPECT_NE(verify.out.find("inconsistent: descriptor"), std::string::npos) << verify.out;
  EXPECT_NE(verify.out.find("block 4 also in descriptor"), std::string::npos) << verify.out;
}

TEST_F(StoreTool, RefusesAStoreHeldForWriting) {
  ASSERT_EQ(tool({"put", dir(), "x", (m_dir / "b.bin").string()}).status, 0);
  // As the program holds it: the kernel's lock, then the store.
  auto writer = lock_writer(m_dir / "store" / "TivraCache");
  ASSERT_TRUE(writer.lock);
  StorePtr s = store_open(m_dir / "store" / "TivraCache", kModeReadWrite);
  ASSERT_TRUE(s);
  EXPECT_EQ(tool({"ls", dir()}).status, 1);
  EXPECT_EQ(tool({"put", dir(), "y", (m_dir / "b.bin").string()}).status, 1);
  ASSERT_EQ(store_close(std::move(s)), 0);
  writer.lock.reset();
  EXPECT_EQ(tool({"ls", dir()}).status, 0);
}

TEST_F(StoreTool, ExportAndImportDataShareFiles) {
  ASSERT_EQ(tool({"put", dir(), "x", (m_dir / "b.bin").string()}).status, 0);
  test::writeFileBytes(m_dir / "in.tds", serializeLocationPairs({{"1,2", "3,4"}, {"5,6", "7,8"}}));
  const ToolRun imp = tool({"import-tds", dir(), (m_dir / "in.tds").string()});
  EXPECT_EQ(imp.status, 0);
  EXPECT_EQ(imp.out, "read 2 pairs; 0 before, 2 after\n");
  const ToolRun again = tool({"import-tds", dir(), (m_dir / "in.tds").string()});
  EXPECT_EQ(again.out, "read 2 pairs; 2 before, 2 after\n");
  const ToolRun exp = tool({"export-tds", dir(), (m_dir / "out").string()});
  EXPECT_EQ(exp.status, 0);
  EXPECT_EQ(exp.out, "wrote 2 pairs to " + (m_dir / "out.tds").string() + "\n");
  const auto pairs = parseLocationPairs(test::fileBytes(m_dir / "out.tds"));
  ASSERT_TRUE(pairs);
  EXPECT_EQ(pairs->size(), 2u);
  test::writeFileBytes(m_dir / "bad.tds", {5, 0, 1});
  EXPECT_EQ(tool({"import-tds", dir(), (m_dir / "bad.tds").string()}).status, 1);
  EXPECT_EQ(tool({"verify", dir()}).status, 0);
}

std::vector<std::uint8_t> tileOf(int i) {
  std::vector<std::uint8_t> b(1300);
  for (std::size_t k = 0; k < b.size(); ++k) b[k] = static_cast<std::uint8_t>(k * 7 + i);
  return b;
}

// A damaged store is read where its entries check out and never written, the user is told once
// how to mend it, and repair copies what checks out into a new store beside the old files.
TEST_F(StoreTool, DamagedStoreIsOnlyReadUntilRepaired) {
  const auto store = m_dir / "store";
  std::filesystem::create_directories(store);
  {
    test::RecordingFrontend frontend;
    TileCache cache(store, frontend, "http:///h/404.png", {nullptr, 4096});
    ASSERT_EQ(cache.OpenCache(), 0);
    for (int i = 0; i < 6; ++i) ASSERT_EQ(cache.StoreTile("t" + std::to_string(i), tileOf(i)), 0);
    ASSERT_EQ(cache.CloseCache(), 0);
  }
  // Tile 0 holds blocks 1-3 and tile 1 blocks 4-6: tile 0's chain now runs on into tile 1's.
  auto idx = test::fileBytes(store / "TivraCache.idx");
  putLe32(&idx[14 * 4096 + 4 * 3], 4);
  test::writeFileBytes(store / "TivraCache.idx", idx);
  // And tile 2's bytes are no longer what was stored.
  auto dat = test::fileBytes(store / "TivraCache.dat");
  dat[7 * 512 + 100] ^= 1;
  test::writeFileBytes(store / "TivraCache.dat", dat);
  const auto sums = test::fileBytes(store / "TivraCache.sum");

  test::RecordingFrontend frontend;
  {
    TileCache cache(store, frontend, "http:///h/404.png", {nullptr, 4096});
    ASSERT_EQ(cache.OpenCache(), 0);
    for (int i : {0, 1, 3, 4, 5})
      EXPECT_EQ(cache.ReadTileEntry("t" + std::to_string(i)), tileOf(i));
    EXPECT_FALSE(cache.ReadTileEntry("t2"));
    EXPECT_EQ(cache.StoreTile("t2", tileOf(2)), -1);
    EXPECT_EQ(cache.StoreTile("new", tileOf(9)), -1);
    cache.CloseCache();
  }
  ASSERT_EQ(frontend.boxes().size(), 1u);
  EXPECT_EQ(frontend.boxes()[0].first, damagedStoreMessage(store));
  EXPECT_EQ(frontend.boxes()[0].first.rfind("缓存文件已损坏", 0), 0u);
  EXPECT_NE(frontend.boxes()[0].first.find("tivra-store repair " + store.string()),
            std::string::npos);
  // Nothing was written.
  EXPECT_EQ(test::fileBytes(store / "TivraCache.idx"), idx);
  EXPECT_EQ(test::fileBytes(store / "TivraCache.dat"), dat);
  EXPECT_EQ(test::fileBytes(store / "TivraCache.sum"), sums);
  EXPECT_EQ(tool({"put", dir(), "x", (m_dir / "b.bin").string()}).status, 1);

  const ToolRun repair = tool({"repair", dir()});
  EXPECT_EQ(repair.status, 0);
  // Six tiles and the location map; tile 2 does not check out.
  EXPECT_EQ(repair.out,
            "repaired: 6 of 7 names copied (6 contents, 6502 bytes), 1 dropped as damaged; the "
            "old files are kept as TivraCache.idx.damaged and TivraCache.dat.damaged\n");
  EXPECT_EQ(test::fileBytes(store / "TivraCache.idx.damaged"), idx);
  EXPECT_EQ(test::fileBytes(store / "TivraCache.dat.damaged"), dat);
  EXPECT_EQ(tool({"verify", dir()}).out, "sound: 6 names\n");

  test::RecordingFrontend after;
  TileCache cache(store, after, "http:///h/404.png", {nullptr, 4096});
  ASSERT_EQ(cache.OpenCache(), 0);
  EXPECT_TRUE(after.boxes().empty());
  for (int i : {0, 1, 3, 4, 5}) EXPECT_EQ(cache.ReadTileEntry("t" + std::to_string(i)), tileOf(i));
  EXPECT_FALSE(cache.ReadTileEntry("t2"));
  EXPECT_EQ(cache.StoreTile("t2", tileOf(2)), 0);
  EXPECT_EQ(cache.ReadTileEntry("t2"), tileOf(2));
}

// A program killed in the middle of a checkpoint leaves its lock file and a journal. No process
// holds the kernel's lock any more, so the tool works on the store, completing it from the
// journal as the program would.
TEST_F(StoreTool, WorksOnAStoreLeftByAKill) {
  const auto base = m_dir / "store" / "TivraCache";
  std::filesystem::create_directories(m_dir / "store");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto writer = lock_writer(base);
    test::FaultFileSystem fs;
    StorePtr s = store_open(base, kModeReadWrite, {&fs, 4096});
    auto put = [&](const std::string& name, const std::vector<std::uint8_t>& bytes) {
      const int h = entry_create(s.get(), name);
      entry_write(s.get(), h, bytes);
      entry_close(s.get(), h);
    };
    put("a", tileOf(1));
    const bool first = store_checkpoint(s.get()) == 0;
    put("b", tileOf(2));
    // The journal is written and synced, one write lands in place, then the program is gone.
    fs.writesLeft = 2;
    const bool second = store_checkpoint(s.get()) == 0;
    s.release();
    ::_exit(writer.lock && first && !second ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(std::filesystem::exists(base.string() + ".lck"));
  ASSERT_GT(std::filesystem::file_size(base.string() + ".jnl"), 0u);

  const ToolRun cat = tool({"cat", dir(), "b"});
  EXPECT_EQ(cat.status, 0);
  const auto b = tileOf(2);
  EXPECT_EQ(cat.out, std::string(b.begin(), b.end()));
  EXPECT_EQ(tool({"ls", dir()}).out, "1300\ta\n1300\tb\n");
  EXPECT_EQ(tool({"verify", dir()}).out, "sound: 2 names\n");
  EXPECT_EQ(tool({"put", dir(), "c", (m_dir / "b.bin").string()}).status, 0);
  EXPECT_FALSE(std::filesystem::exists(base.string() + ".lck"));
  EXPECT_FALSE(std::filesystem::exists(base.string() + ".jnl"));
  StorePtr s = store_open(base, kModeRead);
  ASSERT_TRUE(s);
  for (const char* name : {"a", "b", "c"}) EXPECT_EQ(entry_exists(s.get(), name), 1) << name;
}

}  // namespace
}  // namespace tivra::store

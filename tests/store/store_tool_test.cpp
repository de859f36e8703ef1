// The tivra-store tool, run as a process on a small store.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>

#include "store/byte_order.h"
#include "store/data_share.h"
#include "store/store.h"
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
  StorePtr s = store_open(m_dir / "store" / "TivraCache", kModeReadWrite);
  ASSERT_TRUE(s);
  EXPECT_EQ(tool({"ls", dir()}).status, 1);
  EXPECT_EQ(tool({"put", dir(), "y", (m_dir / "b.bin").string()}).status, 1);
  ASSERT_EQ(store_close(std::move(s)), 0);
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

}  // namespace
}  // namespace tivra::store

#include "platform/ini.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "support/hang_guard.h"
#include "support/process.h"
#include "support/small_disk.h"
#include "support/temp_dir.h"

namespace tivra::platform {
namespace {

class IniTest : public ::testing::Test {
 protected:
  void writeRaw(std::string_view text) { std::ofstream(dir / "t.ini", std::ios::binary) << text; }
  std::string raw() { return test::readFile(dir / "t.ini"); }
  test::TempDir dir;
  IniFile ini{dir / "t.ini"};
};

TEST_F(IniTest, MissingFileReadsNothing) {
  EXPECT_FALSE(ini.read("settings", "Xoff"));
  EXPECT_EQ(ini.readString("settings", "Xoff", "0"), "0");
}

TEST_F(IniTest, FirstWriteCreatesSectionWithCrlfLines) {
  ASSERT_TRUE(ini.write("settings", "Xoff", "0"));
  ASSERT_TRUE(ini.write("settings", "Yoff", "5"));
  EXPECT_EQ(raw(), "[settings]\r\nXoff=0\r\nYoff=5\r\n");
}

TEST_F(IniTest, SectionAndKeyMatchWithoutCaseAndValuesAreTrimmed) {
  writeRaw("[Settings]\nautooffset = FALSE \n");
  EXPECT_EQ(ini.read("settings", "AutoOffset"), "FALSE");
  EXPECT_FALSE(ini.read("other", "AutoOffset"));
}

TEST_F(IniTest, RewriteReplacesInPlaceAndKeepsOtherSections) {
  writeRaw("[other]\r\nXoff=9\r\n[settings]\r\nXoff=1\r\nYoff=2\r\n\r\n[tail]\r\nk=v\r\n");
  ASSERT_TRUE(ini.write("settings", "XOFF", "7"));
  ASSERT_TRUE(ini.write("settings", "ZoomLevel", "1"));
  EXPECT_EQ(raw(),
            "[other]\r\nXoff=9\r\n[settings]\r\nXOFF=7\r\nYoff=2\r\nZoomLevel=1\r\n\r\n"
            "[tail]\r\nk=v\r\n");
  EXPECT_EQ(ini.read("other", "Xoff"), "9");
}

TEST_F(IniTest, LongValuesAreCutTo127Bytes) {
  const std::string longValue(300, 'x');
  ASSERT_TRUE(ini.write("settings", "TileHost", longValue));
  EXPECT_EQ(ini.read("settings", "TileHost"), std::string(127, 'x'));
}

TEST_F(IniTest, GarbageLinesAreIgnored) {
  using namespace std::string_literals;
  writeRaw("\0\0junk\n[settings\n=novalue\n[settings]\nTcpPort=1\n"s);
  EXPECT_EQ(ini.read("settings", "TcpPort"), "1");
}

TEST_F(IniTest, UnwritableDirectoryReportsFailure) {
  IniFile nowhere(dir / "missing-dir" / "t.ini");
  EXPECT_FALSE(nowhere.write("settings", "Xoff", "1"));
}

TEST_F(IniTest, SymbolicLinkIsWrittenThroughAndStaysALink) {
  std::filesystem::create_directory(dir / "real");
  std::ofstream(dir / "real" / "t.ini", std::ios::binary) << "[settings]\r\nXoff=1\r\n";
  std::filesystem::create_symlink("real/t.ini", dir / "t.ini");
  ASSERT_TRUE(ini.write("settings", "Yoff", "2"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "t.ini"));
  EXPECT_EQ(test::readFile(dir / "real" / "t.ini"), "[settings]\r\nXoff=1\r\nYoff=2\r\n");
}

enum class Unreadable { kDirectory, kTooLarge, kFifo, kLinkToFifo };

class UnreadableIniTest : public IniTest, public ::testing::WithParamInterface<Unreadable> {};
TEST_P(UnreadableIniTest, IsReportedAndLeftUntouchedWithoutWaiting) {
  switch (GetParam()) {
    case Unreadable::kDirectory:
      std::filesystem::create_directory(dir / "t.ini");  // reading it fails with EISDIR
      break;
    case Unreadable::kTooLarge:
      writeRaw("[settings]\r\nXoff=1\r\n" + std::string(2 << 20, '#'));  // past any settings file
      break;
    case Unreadable::kFifo:
      ASSERT_EQ(::mkfifo((dir / "t.ini").c_str(), 0600), 0);  // opening it would wait for a writer
      break;
    case Unreadable::kLinkToFifo:
      ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
      std::filesystem::create_symlink("fifo", dir / "t.ini");
      break;
  }
  const auto kind = std::filesystem::status(dir / "t.ini").type();
  const auto size = [&] {
    return kind == std::filesystem::file_type::regular ? std::filesystem::file_size(dir / "t.ini")
                                                       : 0;
  };
  const auto before = size();
  test::HangGuard guard(20);
  EXPECT_TRUE(ini.unreadable());
  EXPECT_EQ(ini.readString("settings", "Xoff", "7"), "7");
  std::string error;
  const std::pair<std::string, std::string> key{"Xoff", "0"};
  EXPECT_FALSE(ini.write("settings", std::span(&key, 1), &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(std::filesystem::status(dir / "t.ini").type(), kind);
  EXPECT_EQ(size(), before);
  EXPECT_FALSE(std::filesystem::exists(dir / "t.ini.tmp"));
}
INSTANTIATE_TEST_SUITE_P(Kinds, UnreadableIniTest,
                         ::testing::Values(Unreadable::kDirectory, Unreadable::kTooLarge,
                                           Unreadable::kFifo, Unreadable::kLinkToFifo));

// A full disk: the rewrite fails, says why, and the old file stays whole.
TEST(IniFullDisk, OldFileStaysWholeAndTheFailureIsSaid) {
  test::SmallDisk disk(1 << 20);
  if (!disk.mounted()) GTEST_SKIP() << "no small file system can be mounted here";
  IniFile ini(disk.path() / "t.ini");
  ASSERT_TRUE(ini.write("settings", "Xoff", "1"));
  const std::string before = test::readFile(disk.path() / "t.ini");
  disk.fill();
  std::vector<std::pair<std::string, std::string>> keys;
  for (int i = 0; i < 200; ++i) keys.emplace_back("Key" + std::to_string(i), std::string(100, 'v'));
  std::string error;
  EXPECT_FALSE(ini.write("settings", keys, &error));
  EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
  EXPECT_EQ(test::readFile(disk.path() / "t.ini"), before);
  EXPECT_FALSE(std::filesystem::exists(disk.path() / "t.ini.tmp"));
  disk.release();
  EXPECT_TRUE(ini.write("settings", keys));
  EXPECT_EQ(ini.read("settings", "Key199"), std::string(100, 'v'));
}

// A temporary file left by a killed run, or a FIFO planted under its name, never blocks a write.
TEST_F(IniTest, LeftOverTemporaryFileIsReplaced) {
  ASSERT_EQ(::mkfifo((dir / "t.ini.tmp").c_str(), 0600), 0);
  test::HangGuard guard(20);
  ASSERT_TRUE(ini.write("settings", "Xoff", "3"));
  EXPECT_EQ(raw(), "[settings]\r\nXoff=3\r\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "t.ini.tmp"));
}

TEST_F(IniTest, MissingOrReadableFileIsNotUnreadable) {
  EXPECT_FALSE(ini.unreadable());
  writeRaw("[settings]\r\n");
  EXPECT_FALSE(ini.unreadable());
}

}  // namespace
}  // namespace tivra::platform

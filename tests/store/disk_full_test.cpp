// A disk that fills up under the tile cache: said once, stored tiles are still served, new ones
// wait, and the checkpoint gets through once there is room again.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "store/store.h"
#include "store/store_inspect.h"
#include "store/tile_cache.h"
#include "store_test_util.h"
#include "support/small_disk.h"

namespace tivra::store {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

const std::string kMissing = "http:///tiles.example/404.png";
constexpr CheckpointTimes kTimes{1000ms, 1000ms};

std::string tileName(int i) {
  return "http://h/googlechina/maptile?x=" + std::to_string(i) + "&y=3&zoom=12";
}

Bytes tileBytes(int i) {
  Bytes b(static_cast<std::size_t>(3000 + 1711 * (i % 7)));
  for (std::size_t k = 0; k < b.size(); ++k) b[k] = static_cast<std::uint8_t>(k * 13 + i);
  return b;
}

int count(const std::string& text, std::string_view what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Where the full disk stops the first checkpoint that meets it.
enum class Fault {
  kSmallDisk,       // a real small file system filled up: the journal cannot be written
  kJournalRefused,  // injected: the journal's first write fails
  kFilesRefused,    // injected: the journal is complete, the store files then fail
};

class DiskFull : public ::testing::TestWithParam<Fault> {
 protected:
  void makeFull() {
    if (GetParam() == Fault::kSmallDisk) m_disk.fill();
    // The journal's write and its flush, then one piece of the store files.
    if (GetParam() == Fault::kFilesRefused) m_fs.writesLeft = 2;
    if (GetParam() == Fault::kJournalRefused) {
      m_fs.shortWrites = true;  // half of the journal reaches the disk
      m_fs.writesLeft = 0;
    }
  }
  void makeRoom() {
    m_disk.release();
    m_fs.writesLeft = -1;
  }
  StoreOptions options() { return {GetParam() == Fault::kSmallDisk ? nullptr : &m_fs, 0, true}; }
  std::filesystem::path dir() const { return m_disk.path(); }

  tivra::test::SmallDisk m_disk;
  test::FaultFileSystem m_fs;
  test::RecordingFrontend m_frontend;
  tivra::test::TempDir m_copy;  // the files as a kill during the stall would leave them
};

TEST_P(DiskFull, IsSaidOnceStoredTilesAreServedAndTheCheckpointGetsThroughLater) {
  if (GetParam() == Fault::kSmallDisk && !m_disk.mounted())
    GTEST_SKIP() << "no small file system can be mounted here; the injected faults stand in";
  const bool journalKept = GetParam() == Fault::kFilesRefused;
  {
    TileCache cache(dir(), m_frontend, kMissing, options(), kTimes);
    ASSERT_EQ(cache.OpenCache(), 0);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(cache.StoreTile(tileName(i), tileBytes(i)), 0);
    ASSERT_EQ(cache.Checkpoint(), 0);

    makeFull();
    for (int i = 20; i < 40; ++i) ASSERT_EQ(cache.StoreTile(tileName(i), tileBytes(i)), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(cache.Checkpoint(), -1);
    EXPECT_EQ(cache.StoreTile(tileName(40), tileBytes(40)), -1);  // waits for room
    EXPECT_EQ(cache.Checkpoint(), -1);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(count(said, "cannot write the tile store in " + dir().string()), 1) << said;
    EXPECT_EQ(m_frontend.boxes(),
              (std::vector<std::pair<std::string, std::string>>{{kStoreStalledText, "Tivra"}}));
    // A journal cut short is gone; a complete one stays to finish the files.
    const auto journal = dir() / "TivraCache.jnl";
    EXPECT_EQ(std::filesystem::exists(journal), journalKept);
    if (journalKept) {
      EXPECT_GT(std::filesystem::file_size(journal), 0u);
    }
    for (int i = 0; i < 40; ++i) EXPECT_EQ(cache.ReadTileEntry(tileName(i)), tileBytes(i)) << i;
    EXPECT_FALSE(cache.ReadTileEntry(tileName(40)));

    makeRoom();
    // Nothing is written before the next checkpoint: the files as a kill now would leave them.
    for (const char* ext : {".idx", ".dat", ".jnl"}) {
      std::error_code ec;
      std::filesystem::copy_file(dir() / (std::string("TivraCache") + ext),
                                 m_copy / (std::string("TivraCache") + ext), ec);
    }
    ::testing::internal::CaptureStderr();
    cache.maintain(std::chrono::steady_clock::now() + 2 * kTimes.interval);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("is written again"), std::string::npos);
    EXPECT_EQ(cache.StoreTile(tileName(40), tileBytes(40)), 0);
    EXPECT_EQ(cache.CloseCache(), 0);
  }
  EXPECT_EQ(m_frontend.boxes().size(), 1u);
  StorePtr s = store_open(dir() / "TivraCache", kModeRead);
  ASSERT_TRUE(s);
  EXPECT_TRUE(verify_store(s.get()).empty());
  EXPECT_EQ(list_entries(s.get()).size(), 42u);  // the header's name "." and 41 tiles
  EXPECT_FALSE(std::filesystem::exists(dir() / "TivraCache.jnl"));

  // A kill during the stall keeps what the last checkpoint made durable, and everything the
  // stalled one held once its journal was complete.
  TileCache killed(m_copy.path(), m_frontend, kMissing);
  ASSERT_EQ(killed.OpenCache(), 0);
  for (int i = 0; i < 40; ++i) {
    const bool kept = i < 20 || journalKept;
    EXPECT_EQ(killed.ReadTileEntry(tileName(i)), kept ? std::optional(tileBytes(i)) : std::nullopt)
        << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, DiskFull,
                         ::testing::Values(Fault::kSmallDisk, Fault::kJournalRefused,
                                           Fault::kFilesRefused));

// The next start meets a complete journal and still no room to apply it: the store opens with
// everything the journal holds, says so, and applies it once there is room, also when the
// journal was removed by hand meanwhile (everything it held is still held).
class DiskFullAtOpen : public ::testing::TestWithParam<bool> {};
TEST_P(DiskFullAtOpen, JournalThatCannotBeAppliedIsServedAndAppliedLater) {
  tivra::test::TempDir dir;
  test::FaultFileSystem fs;
  test::RecordingFrontend frontend;
  {
    TileCache cache(dir.path(), frontend, kMissing, {&fs, 0, true}, kTimes);
    ASSERT_EQ(cache.OpenCache(), 0);
    ASSERT_EQ(cache.StoreTile(tileName(1), tileBytes(1)), 0);
    ASSERT_EQ(cache.Checkpoint(), 0);
    ASSERT_EQ(cache.StoreTile(tileName(2), tileBytes(2)), 0);
    fs.writesLeft = 2;  // the journal is written, the files are not
    ASSERT_EQ(cache.Checkpoint(), -1);
    for (const char* ext : {".idx", ".dat", ".jnl", ".lck"})
      std::filesystem::copy_file(dir / (std::string("TivraCache") + ext),
                                 dir / (std::string("kill") + ext));
    fs.writesLeft = -1;
  }
  for (const char* ext : {".idx", ".dat", ".jnl", ".lck"})
    std::filesystem::rename(dir / (std::string("kill") + ext),
                            dir / (std::string("TivraCache") + ext));
  ASSERT_GT(std::filesystem::file_size(dir / "TivraCache.jnl"), 0u);

  test::RecordingFrontend restarted;
  fs.writesLeft = 0;
  TileCache cache(dir.path(), restarted, kMissing, {&fs, 0, true}, kTimes);
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(cache.OpenCache(), 0);
  EXPECT_EQ(count(::testing::internal::GetCapturedStderr(), "cannot write the tile store"), 1);
  EXPECT_EQ(restarted.boxes().size(), 1u);
  EXPECT_EQ(cache.ReadTileEntry(tileName(2)), tileBytes(2));
  if (GetParam()) std::filesystem::remove(dir / "TivraCache.jnl");
  fs.writesLeft = -1;
  EXPECT_EQ(cache.Checkpoint(), 0);
  EXPECT_EQ(std::filesystem::file_size(dir / "TivraCache.jnl"), 0u);
  EXPECT_EQ(cache.CloseCache(), 0);
  StorePtr s = store_open(dir / "TivraCache", kModeRead);
  ASSERT_TRUE(s);
  EXPECT_TRUE(verify_store(s.get()).empty());
  EXPECT_EQ(list_entries(s.get()).size(), 3u);
}
INSTANTIATE_TEST_SUITE_P(JournalRemoved, DiskFullAtOpen, ::testing::Bool());

}  // namespace
}  // namespace tivra::store

// Tile sources named by TileUrl: downloads from templates over http and https (the fake tile
// service), tile directories and MBTiles files made here.
#include "tiles/tile_source.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "support/fake_tile_server.h"
#include "support/temp_dir.h"
#include "support/test_mbtiles.h"

namespace tivra::tiles {
namespace {

using test::FakeTileServer;

// Tile (18, 10) at z = 5 as the overlay names it.
constexpr const char* kQuery = "x=1%38&y=1%30&zoom=12";

std::vector<std::uint8_t> bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

class TemplateDownload : public ::testing::TestWithParam<FakeTileServer::Transport> {
 protected:
  FakeTileServer server{GetParam()};
};

TEST_P(TemplateDownload, ExpandsTheTemplateAndNamesTheProgram) {
  const TileSource source({server.url("/xyz/{z}/{x}/{y}.png"), "abc", server.caFile()});
  EXPECT_EQ(source.kind(), TileSource::Kind::Download);
  const FetchResult result = source.download(kQuery);
  EXPECT_EQ(result.status, 200);
  EXPECT_EQ(result.body, FakeTileServer::tileBytes(18, 10, 5));
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, "/xyz/5/18/10.png");
  EXPECT_NE(requests[0].head.find("\r\nUser-Agent: Tivra/"), std::string::npos) << requests[0].head;
  EXPECT_EQ(requests[0].head.find("Mozilla"), std::string::npos);

  // A query that names no tile is never sent.
  EXPECT_FALSE(source.download("default.png").body);
  // The service's own answer for a tile it lacks comes back as it is.
  const TileSource lacking({server.url("/not-found?t={q}"), "", server.caFile()});
  const FetchResult missing = lacking.download(kQuery);
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(server.requests().back().target, "/not-found?t=12030");
}

INSTANTIATE_TEST_SUITE_P(Transports, TemplateDownload,
                         ::testing::Values(FakeTileServer::Transport::Http,
                                           FakeTileServer::Transport::Https));

TEST(TemplateDownloadHttps, CertificateIsCheckedAndTheTileSourceBaseStaysHttpOnly) {
  FakeTileServer server(FakeTileServer::Transport::Https);
  // Without the test CA the system's store does not know the certificate.
  const TileSource unknownCa({server.url("/xyz/{z}/{x}/{y}.png"), "abc", ""});
  const FetchResult refused = unknownCa.download(kQuery);
  EXPECT_FALSE(refused.body);
  EXPECT_EQ(refused.status, 0);
  EXPECT_FALSE(fetch_url(server.url("/xyz/5/18/10.png")).body);
  EXPECT_EQ(server.requests().size(), 0u);
}

TEST(TileDirectory, ReadsTheExpandedPathAndNothingElse) {
  test::TempDir dir;
  std::filesystem::create_directories(dir / "5/18");
  std::ofstream(dir / "5/18/10.png", std::ios::binary) << "tile 18 10";
  std::ofstream(dir / "5/18/12.png", std::ios::binary) << "";
  std::filesystem::create_directories(dir / "5/18/11.png");
  const TileSource source({"file://" + (dir / "{z}/{x}/{y}.png").string(), "abc", ""});
  EXPECT_TRUE(source.local());
  EXPECT_EQ(source.readLocal(kQuery), bytes("tile 18 10"));
  for (const char* missing :
       {"x=1%38&y=1%31&zoom=12", "x=1%38&y=1%32&zoom=12", "x=1%38&y=1%33&zoom=12", "default.png"}) {
    EXPECT_FALSE(source.readLocal(missing)) << missing;
  }
  EXPECT_FALSE(source.download(kQuery).body) << "a local source downloads nothing";
}

TEST(MbtilesSource, RowsAreFlippedMissingTilesStayMissingAndLaterOnesAreFound) {
  test::TempDir dir;
  const auto file = dir / "area.mbtiles";
  const TileSource source({"mbtiles:" + file.string(), "abc", ""});
  EXPECT_TRUE(source.local());
  EXPECT_FALSE(source.readLocal(kQuery)) << "no file yet";

  // Row 10 from the north is TMS row 2^5 - 1 - 10 = 21; the unflipped row holds another tile.
  test::writeMbtiles(file, {{5, 18, 21, bytes("north row 10")}, {5, 18, 10, bytes("tms row 10")}});
  EXPECT_EQ(source.readLocal(kQuery), bytes("north row 10"));
  EXPECT_EQ(source.readLocal("x=0&y=0&zoom=17"), std::nullopt);

  test::writeMbtiles(file, {{0, 0, 0, bytes("world")}});
  EXPECT_EQ(source.readLocal("x=0&y=0&zoom=17"), bytes("world"));
}

// Threads read side by side, more of them than the file keeps connections for; a tile added
// afterwards is seen by every one of those connections.
TEST(MbtilesSource, ThreadsReadAtOnceAndAllSeeATileAddedLater) {
  test::TempDir dir;
  const auto file = dir / "area.mbtiles";
  std::vector<test::MbtilesRow> rows;
  for (int x = 0; x < 16; ++x) rows.push_back({4, x, 3, bytes("tile " + std::to_string(x))});
  test::writeMbtiles(file, rows);
  const TileSource source({"mbtiles:" + file.string(), "abc", ""});
  // z = 4 is zoom 13; TMS row 3 is row 12 from the north.
  const auto query = [](int x) { return "x=" + std::to_string(x) + "&y=12&zoom=13"; };
  const auto readAll = [&](auto expected) {
    std::atomic<int> wrong{0};  // reads that did not give the expected bytes
    std::vector<std::jthread> readers;
    for (int t = 0; t < 16; ++t) {
      readers.emplace_back([&, t] {
        for (int i = 0; i < 40; ++i) {
          const int x = (t + i) % 16;
          if (source.readLocal(query(x)) != expected(x)) ++wrong;
        }
      });
    }
    readers.clear();
    return wrong.load();
  };
  EXPECT_EQ(readAll([](int x) { return std::optional(bytes("tile " + std::to_string(x))); }), 0);
  test::writeMbtiles(file, {{4, 5, 4, bytes("row 11")}});  // TMS row 4 is row 11
  std::vector<std::jthread> readers;
  std::atomic<int> seen{0};
  for (int t = 0; t < 16; ++t) {
    readers.emplace_back([&] {
      if (source.readLocal("x=5&y=11&zoom=13") == bytes("row 11")) ++seen;
    });
  }
  readers.clear();
  EXPECT_EQ(seen.load(), 16);
}

TEST(TileSourceKinds, DamagedFilesAndForeignSchemesGiveNoTile) {
  test::TempDir dir;
  std::ofstream(dir / "junk.mbtiles", std::ios::binary) << std::string(5000, 'x');
  EXPECT_FALSE(
      TileSource({"mbtiles:" + (dir / "junk.mbtiles").string(), "", ""}).readLocal(kQuery));
  const TileSource invalid({"gopher://tiles/{z}/{x}/{y}", "", ""});
  EXPECT_EQ(invalid.kind(), TileSource::Kind::Invalid);
  EXPECT_FALSE(invalid.readLocal(kQuery));
  EXPECT_FALSE(invalid.download(kQuery).body);
  EXPECT_EQ(TileSource({"file://host/{z}/{x}/{y}.png", "", ""}).kind(), TileSource::Kind::Invalid);
}

}  // namespace
}  // namespace tivra::tiles

// The tile endpoint end to end: real sockets into the program's server, tiles from the store or
// from the fake tile service it downloads them from.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <future>
#include <thread>

#include "platform/image_codec.h"
#include "platform/resources.h"
#include "platform/socket.h"
#include "store/lock_file.h"
#include "support/app_harness.h"
#include "support/fake_tile_server.h"
#include "support/image_samples.h"
#include "support/process.h"
#include "support/raw_client.h"
#include "support/temp_dir.h"
#include "support/test_mbtiles.h"
#include "tiles/transparency.h"

namespace tivra::app {
namespace {

using namespace std::chrono_literals;

struct Answer {
  std::string head;
  std::vector<std::uint8_t> body;
};

class ImageServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    harness = std::make_unique<test::AppHarness>(
        "TileHost=127.0.0.1:" + std::to_string(tiles.port()) + "\r\n");
    ASSERT_TRUE(harness->start());
  }

  Answer get(std::string_view path) {
    const auto raw = test::exchange(
        harness->port(), "GET " + std::string(path) + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_TRUE(raw);
    if (!raw) return {};
    const auto end = raw->find("\r\n\r\n");
    if (end == std::string::npos) return {*raw, {}};
    return {raw->substr(0, end + 4), std::vector<std::uint8_t>(raw->begin() + end + 4, raw->end())};
  }
  std::string tileBase() const {
    return "http://127.0.0.1:" + std::to_string(tiles.port()) + "/googlechina/maptile?";
  }
  // Every tile is missing: the service redirects it to its own /404.png.
  void missingTiles() {
    tiles.setTileAnswer([this](long, long, long) -> std::optional<std::string> {
      return "HTTP/1.1 302 Found\r\nLocation: " + tiles.url("/404.png") +
             "\r\nContent-Length: 0\r\n\r\n";
    });
  }

  test::FakeTileServer tiles;
  std::unique_ptr<test::AppHarness> harness;
};

TEST_F(ImageServerTest, BuiltInCrossComesFromTheStore) {
  const auto cross = platform::findResource(platform::ResourceType::Png, platform::kResourceCross);
  const Answer a = get("/ImageServer/F00/cross.png");
  EXPECT_EQ(a.head, "HTTP/1.1 200 OK\r\nContent-Length:" + std::to_string(cross.size()) +
                        "\r\nContent-Type: image/png\r\n\r\n");
  EXPECT_TRUE(std::equal(cross.begin(), cross.end(), a.body.begin(), a.body.end()));
  EXPECT_EQ(tiles.requests().size(), 0u);
}

TEST_F(ImageServerTest, DownloadsOnceThenServesFromTheStoreUnderTheSameKey) {
  const auto expected = test::FakeTileServer::tileBytes(1234, 568, 12);
  const Answer plain = get("/ImageServer/F00/x=123%34&y=56%38&zoom=12");
  EXPECT_EQ(plain.body, expected);
  // The client's own percent-encoding of "=" and "&" names the same tile.
  const Answer encoded = get("/ImageServer/F00/x%3D123%34%26y%3D56%38%26zoom%3D12");
  EXPECT_EQ(encoded.body, expected);
  EXPECT_EQ(tiles.requestCount("/googlechina/maptile"), 1u);
  EXPECT_TRUE(harness->window().tileCache().ReadTileEntry(tileBase() + "x=123%34&y=56%38&zoom=12"));
}

TEST_F(ImageServerTest, RedirectedTileIsStoredAsTheSharedNotFoundImage) {
  missingTiles();
  const Answer first = get("/ImageServer/F00/x=1%30&y=2%30&zoom=9");
  const Answer other = get("/ImageServer/F00/x=3%30&y=4%30&zoom=9");
  const auto notFound = test::FakeTileServer::notFoundPng();
  EXPECT_EQ(first.body, notFound);
  EXPECT_EQ(other.body, notFound);
  auto& cache = harness->window().tileCache();
  EXPECT_EQ(cache.ReadTileEntry("http:///127.0.0.1:" + std::to_string(tiles.port()) + "/404.png"),
            notFound);
  const std::size_t downloads = tiles.requests().size();
  EXPECT_EQ(get("/ImageServer/F00/x=1%30&y=2%30&zoom=9").body, notFound);
  EXPECT_EQ(tiles.requests().size(), downloads) << "served from the store afterwards";
}

TEST_F(ImageServerTest, OfflineMissingTilesRedirectToThePlaceholderKeepingTheDigits) {
  harness->window().setOnline(false);
  EXPECT_EQ(get("/ImageServer/T35/x=1%30&y=2%30&zoom=3").head,
            "HTTP/1.1 302 Found\r\nLocation: http://localhost:" + std::to_string(harness->port()) +
                "/ImageServer/T35/default.png\r\n\r\n");
  harness->window().mapValues().transparentMode = false;
  EXPECT_EQ(get("/ImageServer/T35/x=1%30&y=2%30&zoom=3").head,
            "HTTP/1.1 302 Found\r\nLocation: http://localhost:" + std::to_string(harness->port()) +
                "/ImageServer/F00/default.png\r\n\r\n");
  EXPECT_EQ(tiles.requests().size(), 0u);
}

TEST_F(ImageServerTest, FailedDownloadsAndShortPathsRedirect) {
  harness->window().mapValues().transparentMode = false;
  const std::string redirect =
      "HTTP/1.1 302 Found\r\nLocation: http://localhost:" + std::to_string(harness->port()) +
      "/ImageServer/F00/default.png\r\n\r\n";
  for (const char* path :
       {"/ImageServer/T3", "/ImageServer/", "/ImageServer", "/ImageServer/F00/"}) {
    EXPECT_EQ(get(path).head, redirect) << path;
  }
}

TEST(ImageServerDeadHost, UnreachableTileSourceRedirects) {
  test::AppHarness harness("TileHost=127.0.0.1:" + std::to_string(test::freePort()) + "\r\n");
  ASSERT_TRUE(harness.start());
  const auto raw =
      test::exchange(harness.port(), "GET /ImageServer/T12/x=1%30&y=2%30&zoom=3 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(raw, "HTTP/1.1 302 Found\r\nLocation: http://localhost:" +
                     std::to_string(harness.port()) + "/ImageServer/T12/default.png\r\n\r\n");
}

TEST_F(ImageServerTest, TransparentModeTurnsAJpegTileIntoPng) {
  // x + y odd: the service answers JPEG.
  const Answer a = get("/ImageServer/T70/x=1%31&y=2%30&zoom=5");
  ASSERT_GE(a.body.size(), 8u);
  EXPECT_EQ(platform::sniffImageFormat(a.body), platform::ImageFormat::Png);
  const auto image = platform::decodeImage(a.body);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 256u);
  EXPECT_TRUE(image->hasAlpha);
  // The stored tile stays the JPEG as downloaded: processing is redone per request.
  const auto stored =
      harness->window().tileCache().ReadTileEntry(tileBase() + "x=1%31&y=2%30&zoom=5");
  ASSERT_TRUE(stored);
  EXPECT_EQ(platform::sniffImageFormat(*stored), platform::ImageFormat::Jpeg);
}

TEST_F(ImageServerTest, TransparentTileFollowsTheStoredTileWhenItChanges) {
  const std::string query = "x=3&y=4&zoom=6";
  auto& cache = harness->window().tileCache();
  std::vector<std::vector<std::uint8_t>> served;
  for (const std::uint32_t height : {20u, 21u, 20u}) {
    const auto stored = *platform::encodePngRgba(test::patternImage(24, height, false));
    ASSERT_EQ(cache.StoreTile(tileBase() + query, stored), 0);
    for (int round = 0; round < 2; ++round) {
      const Answer a = get("/ImageServer/T00/" + query);
      EXPECT_EQ(a.body, *tiles::MakeTransparentTile(stored, 0, 0)) << height << " " << round;
      served.push_back(a.body);
    }
  }
  EXPECT_NE(served[0], served[2]);
  EXPECT_EQ(served[0], served[4]);
}

// What the tile source answers for a tile, by the tile's x (1: the tile asked for; a redirect
// may send the download on to tile 2).
struct SourceAnswerCase {
  const char* name;
  std::string (*answer)(const test::FakeTileServer& source, long x);
  bool stored;
};
class SourceAnswerTest : public ImageServerTest,
                         public ::testing::WithParamInterface<SourceAnswerCase> {};
TEST_P(SourceAnswerTest, PassedOnAndStoredOnlyWhenAWholeImage) {
  harness->window().mapValues().transparentMode = false;
  tiles.setTileAnswer([this](long x, long, long) -> std::optional<std::string> {
    return GetParam().answer(tiles, x);
  });
  const std::string query = "x=1&y=0&zoom=5";
  const Answer first = get("/ImageServer/F00/" + query);
  const std::size_t downloads = tiles.requestCount("/googlechina/maptile");
  const Answer second = get("/ImageServer/F00/" + query);
  EXPECT_EQ(first.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << "passed on";
  EXPECT_EQ(second.body, first.body);
  EXPECT_EQ(tiles.requestCount("/googlechina/maptile") > downloads, !GetParam().stored)
      << "asked again only when not stored";
  auto& cache = harness->window().tileCache();
  const auto stored = cache.ReadTileEntry(tileBase() + query);
  EXPECT_EQ(stored.has_value(), GetParam().stored);
  if (stored) {
    EXPECT_EQ(*stored, first.body) << "stored whole";
  }
  if (!GetParam().stored) {
    EXPECT_FALSE(
        cache.ReadTileEntry("http:///127.0.0.1:" + std::to_string(tiles.port()) + "/404.png"))
        << "nor kept as the shared not-found image";
  }
}

std::string half(const std::vector<std::uint8_t>& bytes) {
  return std::string(test::FakeTileServer::asText(bytes).substr(0, bytes.size() / 2));
}
const char kErrorPage[] = "<html><body><h1>502 Bad Gateway</h1></body></html>\n";
using test::FakeTileServer;

INSTANTIATE_TEST_SUITE_P(
    Answers, SourceAnswerTest,
    ::testing::Values(
        SourceAnswerCase{"html_200",
                         [](const FakeTileServer&, long) {
                           return FakeTileServer::answerWith(200, "text/html", kErrorPage);
                         },
                         false},
        SourceAnswerCase{"html_404",
                         [](const FakeTileServer&, long) {
                           return FakeTileServer::answerWith(404, "text/html", kErrorPage);
                         },
                         false},
        SourceAnswerCase{"png_cut_short_without_length",
                         [](const FakeTileServer&, long) {
                           return FakeTileServer::answerWith(
                               200, "image/png", half(FakeTileServer::tileBytes(2, 0, 5)), false);
                         },
                         false},
        SourceAnswerCase{"jpeg_cut_short_without_length",
                         [](const FakeTileServer&, long) {
                           return FakeTileServer::answerWith(
                               200, "image/jpeg", half(FakeTileServer::tileBytes(1, 0, 5)), false);
                         },
                         false},
        SourceAnswerCase{"redirect_to_an_error_page",
                         [](const FakeTileServer& source, long x) {
                           if (x == 2)
                             return FakeTileServer::answerWith(200, "text/html", kErrorPage);
                           return "HTTP/1.1 302 Found\r\nLocation: " +
                                  source.url("/googlechina/maptile?x=2&y=0&zoom=5") +
                                  "\r\nContent-Length: 0\r\n\r\n";
                         },
                         false},
        // An overloaded or failing source is passed on once but never kept, image or not.
        SourceAnswerCase{"png_503",
                         [](const FakeTileServer&, long) {
                           return FakeTileServer::answerWith(
                               503, "image/png",
                               FakeTileServer::asText(FakeTileServer::notFoundPng()));
                         },
                         false},
        SourceAnswerCase{"text_429",
                         [](const FakeTileServer&, long) {
                           return FakeTileServer::answerWith(429, "text/plain", "slow down\n");
                         },
                         false},
        // A 404 whose body is an image is a tile of the source's choosing: kept.
        SourceAnswerCase{"png_404",
                         [](const FakeTileServer&, long) {
                           return FakeTileServer::answerWith(
                               404, "image/png",
                               FakeTileServer::asText(FakeTileServer::notFoundPng()));
                         },
                         true},
        SourceAnswerCase{"jpeg_without_length",
                         [](const FakeTileServer&, long) {
                           return FakeTileServer::answerWith(
                               200, "image/jpeg",
                               FakeTileServer::asText(FakeTileServer::tileBytes(1, 0, 5)), false);
                         },
                         true},
        SourceAnswerCase{"gif",
                         [](const FakeTileServer&, long) {
                           const auto gif = test::makeGif(4, 4, 0, 0, 4, 4, {{1, 2, 3, 255}},
                                                          std::vector<std::uint8_t>(16, 0), false);
                           return FakeTileServer::answerWith(200, "image/gif",
                                                             FakeTileServer::asText(gif));
                         },
                         true},
        SourceAnswerCase{"bmp",
                         [](const FakeTileServer&, long) {
                           const auto bmp =
                               test::makeBmp(2, 2, 24, std::vector<std::uint8_t>(12, 9), {}, false);
                           return FakeTileServer::answerWith(200, "image/bmp",
                                                             FakeTileServer::asText(bmp));
                         },
                         true},
        // Longer than the 40,960-byte read buffer: served whole from the store the second time.
        SourceAnswerCase{"png_of_60000_bytes",
                         [](const FakeTileServer&, long) {
                           return FakeTileServer::answerWith(
                               200, "image/png",
                               FakeTileServer::asText(FakeTileServer::paddedPng(60000)));
                         },
                         true}),
    [](const auto& test) { return std::string(test.param.name); });

// Names that are not a tile of the query grammar are looked up, never asked of the source.
class TileNameTest : public ImageServerTest, public ::testing::WithParamInterface<const char*> {};
TEST_P(TileNameTest, IsNeverDownloadedNorStored) {
  harness->window().mapValues().transparentMode = false;
  const std::string name = GetParam();
  EXPECT_EQ(get("/ImageServer/F00/" + name).head,
            "HTTP/1.1 302 Found\r\nLocation: http://localhost:" + std::to_string(harness->port()) +
                "/ImageServer/F00/default.png\r\n\r\n");
  EXPECT_EQ(tiles.requests().size(), 0u);
  EXPECT_FALSE(harness->window().tileCache().ReadTileEntry(tileBase() + name));
}
INSTANTIATE_TEST_SUITE_P(Names, TileNameTest,
                         ::testing::Values("../../../../etc/passwd", "notile",
                                           "5/0301/1409/5497977570280.png", "x=1&y=2&zoom=5&",
                                           "x=1%30&y=2%30&zoom=5&status=503", "x=1%30&y=2%3&zoom=5",
                                           "x=1&x=2&y=2&zoom=5"));

TEST_F(ImageServerTest, EmptySharedNotFoundEntryIsReplacedByTheNextImage) {
  // Left by an older run: an empty entry under the shared not-found name.
  auto& cache = harness->window().tileCache();
  const std::string notFoundName = "http:///127.0.0.1:" + std::to_string(tiles.port()) + "/404.png";
  ASSERT_EQ(cache.StoreTile(notFoundName, {}), 0);
  missingTiles();
  const auto notFound = test::FakeTileServer::notFoundPng();
  EXPECT_EQ(get("/ImageServer/F00/x=1%30&y=2%30&zoom=9").body, notFound);
  const std::size_t downloads = tiles.requests().size();
  EXPECT_EQ(get("/ImageServer/F00/x=1%30&y=2%30&zoom=9").body, notFound);
  EXPECT_EQ(tiles.requests().size(), downloads) << "served from the store afterwards";
}

TEST(ImageServerNoStore, BuiltInsComeFromTheProgramItself) {
  test::FakeTileServer tiles;
  test::AppHarness harness("TileHost=127.0.0.1:" + std::to_string(tiles.port()) + "\r\n");
  // Another writer holds the store: the program runs without one.
  auto other = store::lock_writer(harness.dataDir() / "TivraCache");
  ASSERT_TRUE(other.lock);
  ASSERT_TRUE(harness.start());
  EXPECT_FALSE(harness.window().tileCache().isOpen());
  const auto messages = harness.frontend().messages();
  EXPECT_NE(std::find(messages.begin(), messages.end(), "Tivra|无法创建缓存文件！"),
            messages.end());
  using platform::ResourceType;
  const std::pair<const char*, int> builtIns[] = {{"default.png", platform::kResourceDefaultTile},
                                                  {"logo.png", platform::kResourceLogo},
                                                  {"cross.png", platform::kResourceCross}};
  for (const auto& [name, id] : builtIns) {
    const auto bytes = platform::findResource(ResourceType::Png, id);
    const auto raw = test::exchange(
        harness.port(), "GET /ImageServer/F00/" + std::string(name) + " HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(raw);
    EXPECT_EQ(*raw, "HTTP/1.1 200 OK\r\nContent-Length:" + std::to_string(bytes.size()) +
                        "\r\nContent-Type: image/png\r\n\r\n" +
                        std::string(bytes.begin(), bytes.end()))
        << name;
  }
  EXPECT_EQ(tiles.requests().size(), 0u) << "never asked of the tile source";
}
}  // namespace
}  // namespace tivra::app

namespace tivra::app {
namespace {

TEST_F(ImageServerTest, UndecodableAnswerInTransparentModeGetsThePlaceholder) {
  // An error page is passed on as it is with "F00", and cannot be made transparent.
  tiles.setTileAnswer([](long, long, long) -> std::optional<std::string> {
    return test::FakeTileServer::answerWith(200, "text/html", "<html>busy</html>");
  });
  const Answer plain = get("/ImageServer/F00/x=1&y=0&zoom=5");
  EXPECT_EQ(plain.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_EQ(std::string(plain.body.begin(), plain.body.end()), "<html>busy</html>");
  const Answer processed = get("/ImageServer/T21/x=1&y=0&zoom=5");
  EXPECT_EQ(processed.head,
            "HTTP/1.1 302 Found\r\nLocation: http://localhost:" + std::to_string(harness->port()) +
                "/ImageServer/T21/default.png\r\n\r\n");
}

}  // namespace
}  // namespace tivra::app

namespace tivra::app {
namespace {

std::string placeholderRedirect(std::uint16_t port) {
  return "HTTP/1.1 302 Found\r\nLocation: http://localhost:" + std::to_string(port) +
         "/ImageServer/F00/default.png\r\n\r\n";
}

std::vector<std::uint8_t> bodyOf(const std::optional<std::string>& raw) {
  if (!raw) return {};
  const auto end = raw->find("\r\n\r\n");
  if (end == std::string::npos) return {};
  return {raw->begin() + static_cast<std::ptrdiff_t>(end) + 4, raw->end()};
}

TEST(ImageServerTileUrl, TemplateDownloadIsStoredUnderTheUnchangedKey) {
  test::FakeTileServer tiles;
  test::AppHarness harness("TileUrl=" + tiles.url("/xyz/{z}/{x}/{y}.png") + "\r\n");
  ASSERT_TRUE(harness.start());
  const std::string request = "GET /ImageServer/F00/x=1%38&y=1%30&zoom=12 HTTP/1.1\r\n\r\n";
  const auto expected = test::FakeTileServer::tileBytes(18, 10, 5);
  EXPECT_EQ(bodyOf(test::exchange(harness.port(), request)), expected);
  EXPECT_EQ(bodyOf(test::exchange(harness.port(), request)), expected);
  EXPECT_EQ(tiles.requestCount("/xyz/5/18/10.png"), 1u) << "the second came from the store";
  EXPECT_EQ(harness.window().tileCache().ReadTileEntry(
                "http://tiles.tivra.invalid/googlechina/maptile?x=1%38&y=1%30&zoom=12"),
            expected);
}

TEST(ImageServerTileUrl, RedirectedTemplateTilesAreEachTheirOwn) {
  test::FakeTileServer tiles;
  test::AppHarness harness("TileUrl=" + tiles.url("/moved/{z}/{x}/{y}.png") + "\r\n");
  ASSERT_TRUE(harness.start());
  for (int round = 0; round < 2; ++round) {
    for (const int x : {18, 19}) {
      const auto raw =
          test::exchange(harness.port(), "GET /ImageServer/F00/x=1%3" + std::to_string(x % 10) +
                                             "&y=1%30&zoom=12 HTTP/1.1\r\n\r\n");
      EXPECT_EQ(bodyOf(raw), test::FakeTileServer::tileBytes(x, 10, 5)) << x << " round " << round;
    }
  }
  EXPECT_EQ(tiles.requestCount("/xyz/5/19/10.png"), 1u);
}

TEST(ImageServerTileUrl, MbtilesTilesAreServedOfflineAndMissingOnesAreNotRemembered) {
  test::TempDir dir;
  const auto file = dir / "area.mbtiles";
  const std::vector<std::uint8_t> tile = test::FakeTileServer::tileBytes(18, 10, 5);
  test::writeMbtiles(file, {{5, 18, 21, tile}});
  test::AppHarness harness("TileUrl=mbtiles:" + file.string() + "\r\n");
  ASSERT_TRUE(harness.start());
  harness.window().mapValues().transparentMode = false;
  harness.window().setOnline(false);
  const auto get = [&](std::string_view query) {
    return test::exchange(harness.port(),
                          "GET /ImageServer/F00/" + std::string(query) + " HTTP/1.1\r\n\r\n");
  };
  EXPECT_EQ(bodyOf(get("x=1%38&y=1%30&zoom=12")), tile);
  EXPECT_EQ(get("x=1%38&y=1%31&zoom=12"), placeholderRedirect(harness.port()));
  test::writeMbtiles(file, {{5, 18, 20, tile}});
  EXPECT_EQ(bodyOf(get("x=1%38&y=1%31&zoom=12")), tile) << "a tile added later is found";
  // The file is the tile's home: nothing is copied into the store.
  EXPECT_FALSE(harness.window().tileCache().ReadTileEntry(
      "http://tiles.tivra.invalid/googlechina/maptile?x=1%38&y=1%30&zoom=12"));
}

TEST(KmlServerOffsetModel, Gcj02OffsetsAnUncalibratedViewWithoutStoringIt) {
  test::AppHarness harness(std::string("OffsetModel=gcj02\r\n"));
  ASSERT_TRUE(harness.start());
  const auto raw = test::exchange(
      harness.port(),
      "GET /KmlServer?BBOX=115.9,39.6,116.9,40.2,116.39,39.9,30000,0,0,60,40,1024,768 "
      "HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(raw);
  EXPECT_EQ(harness.window().mapValues().xoff, -623);
  EXPECT_EQ(harness.window().mapValues().yoff, -140);
  EXPECT_EQ(harness.window().tileCache().locationMap().size(), 0u);
}

}  // namespace
}  // namespace tivra::app

namespace tivra::app {
namespace {

TEST_F(ImageServerTest, TileRequestInTwoPiecesIsStoredUnderItsWholeName) {
  const std::string query = "x=123%34&y=56%38&zoom=12";
  const std::string request =
      "GET /ImageServer/F00/" + query + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
  platform::UniqueFd fd = platform::connectLoopback(harness->port());
  ASSERT_TRUE(fd);
  ASSERT_TRUE(platform::sendAll(fd.get(), std::string_view(request).substr(0, 30)));
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(platform::sendAll(fd.get(), std::string_view(request).substr(30)));
  const auto raw = test::readToEnd(fd.get(), 10s);
  ASSERT_TRUE(raw);
  const auto expected = test::FakeTileServer::tileBytes(1234, 568, 12);
  EXPECT_TRUE(raw->ends_with(test::FakeTileServer::asText(expected)));
  ASSERT_EQ(tiles.requests().size(), 1u);
  EXPECT_EQ(tiles.requests()[0].target, "/googlechina/maptile?" + query);
  EXPECT_TRUE(harness->window().tileCache().ReadTileEntry(tileBase() + query));
}

TEST_F(ImageServerTest, RequestLineWithoutItsEndIsNotDownloaded) {
  harness->window().mapValues().transparentMode = false;
  platform::UniqueFd fd = platform::connectLoopback(harness->port());
  ASSERT_TRUE(fd);
  // It may have been cut inside the name ("zoom=1" of "zoom=12"): only the store is asked.
  ASSERT_TRUE(platform::sendAll(fd.get(), std::string_view("GET /ImageServer/F00/x=1&y=0&zoom=1")));
  ::shutdown(fd.get(), SHUT_WR);
  EXPECT_EQ(test::readToEnd(fd.get(), 10s), placeholderRedirect(harness->port()));
  EXPECT_EQ(tiles.requests().size(), 0u);
}

}  // namespace
}  // namespace tivra::app

namespace tivra::app {
namespace {

TEST_F(ImageServerTest, HungDownloadHoldsBackOnlyItself) {
  // Tile x=1 is taken by the source and never answered; every other tile comes at once.
  tiles.setTileAnswer([](long x, long, long) -> std::optional<std::string> {
    if (x != 1) return std::nullopt;
    return std::string(test::FakeTileServer::kHang);
  });
  auto hung = std::async(std::launch::async,
                         [this] { return get("/ImageServer/F00/x=1&y=0&zoom=5").head; });
  ASSERT_TRUE(test::eventually([&] { return tiles.requests().size() == 1; }, 10s));
  for (const long x : {2, 3, 4, 5, 6}) {
    const std::string query = "x=" + std::to_string(x) + "&y=0&zoom=5";
    // Well within the hung download's 10 s to its first byte.
    const auto raw =
        test::exchange(harness->port(), "GET /ImageServer/F00/" + query + " HTTP/1.1\r\n\r\n", 5s);
    ASSERT_TRUE(raw) << query;
    EXPECT_TRUE(
        raw->ends_with(test::FakeTileServer::asText(test::FakeTileServer::tileBytes(x, 0, 5))))
        << query;
  }
  EXPECT_EQ(hung.wait_for(0s), std::future_status::timeout) << "still waiting for its source";
  harness.reset();  // closing gives the hung download up
  EXPECT_EQ(hung.wait_for(10s), std::future_status::ready);
}

TEST_F(ImageServerTest, OneDownloadForATileAskedByManyAtOnce) {
  tiles.setTileAnswer([this](long x, long y, long zoom) -> std::optional<std::string> {
    tiles.waitOrStop(500);
    return test::FakeTileServer::answerWith(
        200, "image/png",
        test::FakeTileServer::asText(test::FakeTileServer::tileBytes(x, y, zoom)));
  });
  std::vector<std::future<Answer>> answers;
  for (int i = 0; i < 6; ++i)
    answers.push_back(
        std::async(std::launch::async, [this] { return get("/ImageServer/F00/x=2&y=0&zoom=5"); }));
  for (auto& answer : answers)
    EXPECT_EQ(answer.get().body, test::FakeTileServer::tileBytes(2, 0, 5));
  EXPECT_EQ(tiles.requestCount("/googlechina/maptile"), 1u);
}

}  // namespace
}  // namespace tivra::app

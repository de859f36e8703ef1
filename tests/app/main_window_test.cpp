// The hub as the program runs it: thread bookkeeping, the store across runs, offsets that
// persist, settings written at shutdown.
#include <gtest/gtest.h>

#include <future>

#include "platform/http_response.h"
#include "platform/resources.h"
#include "support/app_harness.h"
#include "support/process.h"
#include "support/raw_client.h"
#include "tiles/offset.h"

namespace tivra::app {
namespace {

using namespace std::chrono_literals;

TEST(MainWindowTest, ThreadListIsEmptyAgainAfterConcurrentConnections) {
  test::AppHarness app;
  ASSERT_TRUE(app.start());
  std::vector<std::future<std::optional<std::string>>> answers;
  for (int i = 0; i < 30; ++i)
    answers.push_back(std::async(std::launch::async, [&] {
      return test::exchange(app.port(), "GET /GPSServer HTTP/1.1\r\n\r\n");
    }));
  for (auto& a : answers) EXPECT_EQ(a.get(), std::string(platform::kEmptyKmlDocument));
  EXPECT_TRUE(server::CServerThread::waitNoServerThreads(5s));
  bool empty = false;
  EXPECT_TRUE(test::eventually(
      [&] {
        app.onLoop([&] { empty = app.window().serverThreads().empty(); });
        return empty;
      },
      5s));
}

TEST(MainWindowTest, BuiltInEntriesAreSeededOnlyWhenAbsent) {
  test::TempDir dir;
  {
    test::AppHarness app(dir.path());
    ASSERT_TRUE(app.start());
    auto& cache = app.window().tileCache();
    const auto demo =
        platform::findResource(platform::ResourceType::Nmea, platform::kResourceDemoRecording);
    const auto stored = cache.ReadModelEntry("demo.nmea");
    ASSERT_TRUE(stored);
    EXPECT_TRUE(std::equal(stored->begin(), stored->end(), demo.begin(),
                           demo.begin() + static_cast<std::ptrdiff_t>(stored->size())));
    for (const std::string name : {"TivraCar.kmz", "sat.kmz"})
      EXPECT_TRUE(cache.ReadModelEntry(name));
    const std::string base = app.window().tileSourceBase();
    for (const std::string name : {"default.png", "logo.png", "cross.png"})
      EXPECT_TRUE(cache.ReadTileEntry(base + name)) << name;
    const std::uint8_t mine[] = {'$', 'G', 'P'};
    ASSERT_EQ(cache.StoreTile("demo.nmea", mine), 0);
  }
  test::AppHarness again(dir.path());
  ASSERT_TRUE(again.start());
  EXPECT_EQ(again.window().tileCache().ReadModelEntry("demo.nmea"),
            (std::vector<std::uint8_t>{'$', 'G', 'P'}));
}

TEST(MainWindowTest, HandOffsetIsStoredByAnOverlayRequestAndSurvivesARestart) {
  test::TempDir dir;
  {
    test::AppHarness app(dir.path());
    ASSERT_TRUE(app.start());
    auto& values = app.window().mapValues();
    values.autoOffset = false;
    values.xoff = 321;
    values.yoff = -654;
    values.offsetEdited = true;
    const auto doc = test::exchange(
        app.port(), "GET /KmlServer?BBOX=0,0,0,0,116.39,39.9,3000,0,0,60,40,1024,768 HTTP/1.1\r\n");
    ASSERT_TRUE(doc);
    EXPECT_NE(doc->find("<ScreenOverlay>"), std::string::npos);
    EXPECT_FALSE(values.offsetEdited);
  }
  test::AppHarness again(dir.path());
  ASSERT_TRUE(again.start());
  auto& values = again.window().mapValues();
  EXPECT_FALSE(values.autoOffset) << "AutoOffset was written back at shutdown";
  values.autoOffset = true;
  values.xoff = 0;
  values.yoff = 0;
  const auto doc = test::exchange(
      again.port(), "GET /KmlServer?BBOX=0,0,0,0,116.39,39.9,3000,0,0,60,40,1024,768 HTTP/1.1\r\n");
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->find("<ScreenOverlay>"), std::string::npos);
  EXPECT_EQ(values.xoff, 321);
  EXPECT_EQ(values.yoff, -654);
}

TEST(MainWindowTest, StoreThatCannotBeOpenedIsReportedAndTheServerRunsOn) {
  test::TempDir dir;
  // A directory where the index file should be: the store cannot be created.
  std::filesystem::create_directory(dir / "TivraCache.idx");
  test::AppHarness app(dir.path());
  ASSERT_TRUE(app.start());
  EXPECT_EQ(app.frontend().messages(), std::vector<std::string>{"Tivra|无法创建缓存文件！"});
  app.window().setOnline(false);
  // The built-ins come from the program itself; a missing tile goes to the placeholder.
  const auto answer = test::exchange(app.port(), "GET /ImageServer/F00/cross.png HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  const auto missing = test::exchange(app.port(), "GET /ImageServer/F00/x=1 HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->rfind("HTTP/1.1 302 Found\r\n", 0), 0u);
}

}  // namespace
}  // namespace tivra::app

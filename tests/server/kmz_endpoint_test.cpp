#include "server/kmz_endpoint.h"

#include <gtest/gtest.h>

#include "platform/http_response.h"
#include "platform/resources.h"
#include "support/recording_frontend.h"
#include "support/temp_dir.h"

namespace tivra::server {
namespace {

class KmzTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const store::SeedEntry seeds[] = {{"sat.kmz", satellite}};
    ASSERT_EQ(cache.OpenCache(seeds), 0);
  }
  std::string get(std::string_view path) {
    std::string out;
    KmzServer(context, "GET " + std::string(path) + " HTTP/1.1\r\n\r\n", out);
    return out;
  }

  std::span<const std::uint8_t> satellite =
      platform::findResource(platform::ResourceType::Kmz, platform::kResourceSatelliteModel);
  test::TempDir dir;
  test::RecordingFrontend frontend;
  tiles::MapValues values;
  std::mutex stateLock;
  std::atomic<bool> online{true};
  store::TileCache cache{dir.path(), frontend, "http:///h/404.png"};
  EndpointContext context{11000, "http://h/googlechina/maptile?", values, stateLock, cache, online,
                          [] {}};
};

TEST_F(KmzTest, ArchiveWithExactContentLength) {
  ASSERT_FALSE(satellite.empty());
  const std::string answer = get("/KmzServer/sat.kmz");
  const std::string header =
      "HTTP/1.1 200 OK\r\nContent-Length:" + std::to_string(satellite.size()) +
      "\r\nContent-Type: application/vnd.google-earth.kmz\r\n\r\n";
  ASSERT_EQ(answer.size(), header.size() + satellite.size());
  EXPECT_EQ(answer.substr(0, header.size()), header);
  EXPECT_TRUE(std::equal(satellite.begin(), satellite.end(),
                         reinterpret_cast<const std::uint8_t*>(answer.data() + header.size())));
}

TEST_F(KmzTest, MemberPathsEmptyAndMissingNamesAre404) {
  for (const char* path : {"/KmzServer/sat.kmz/models/sat.dae", "/KmzServer/", "/KmzServer",
                           "/KmzServer/none.kmz", "/KmzServer/sat%2Ekmz"}) {
    EXPECT_EQ(get(path), platform::kNotFoundResponse) << path;
  }
}

TEST_F(KmzTest, EmptyEntryIsRemovedAndAnswered404) {
  ASSERT_EQ(cache.StoreTile("empty.kmz", {}), 0);
  EXPECT_EQ(get("/KmzServer/empty.kmz"), platform::kNotFoundResponse);
  EXPECT_FALSE(cache.ReadModelEntry("empty.kmz"));
}

}  // namespace
}  // namespace tivra::server

#include "tiles/geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace tivra::tiles {
namespace {

TEST(TileQueryTest, EncodesTheLastDigit) {
  EXPECT_EQ(TileQuery(1234, 567, 5), "x=123%34&amp;y=56%37&amp;zoom=12");
  EXPECT_EQ(TileQuery(7, 0, 17), "x=0%37&amp;y=0%30&amp;zoom=0");
  EXPECT_EQ(TileQuery(10, 99, 0), "x=1%30&amp;y=9%39&amp;zoom=17");
}

struct ZoomCase {
  double range;
  int height;
  int zoomLevel;
  int n;
};
class ZoomTest : public ::testing::TestWithParam<ZoomCase> {};
TEST_P(ZoomTest, ChoosesAndClamps) {
  const auto& c = GetParam();
  EXPECT_EQ(zoomNumber(c.range, c.height, c.zoomLevel), c.n);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, ZoomTest,
    ::testing::Values(ZoomCase{300, 1, 1, 9}, ZoomCase{3, 1, -5, 0}, ZoomCase{30000, 100, 1, 9},
                      ZoomCase{1e12, 1, 0, 17}, ZoomCase{1, 1, 0, 0},
                      // Height or range 0, negative or non-finite ratios: the most detailed.
                      ZoomCase{1000, 0, 1, 0}, ZoomCase{0, 768, 1, 0}, ZoomCase{0, 0, 1, 0},
                      ZoomCase{-5, 768, 1, 0}, ZoomCase{INFINITY, 768, 1, 0},
                      ZoomCase{1000, -768, 3, 0}));

TEST(TileIndexTest, KnownTilesAndBoxes) {
  // Beijing at z = 8 (256 tiles): column 210, row 97 of the Mercator grid.
  const TileXY t = TileIndex(11639000, 3990000, 8);
  EXPECT_EQ(t.x, 210);
  EXPECT_EQ(t.y, 97);
  const LatLonBox box = mercatorTileBox(t.x, t.y, 8);
  EXPECT_LE(box.west, 116.39);
  EXPECT_GT(box.east, 116.39);
  EXPECT_GE(box.north, 39.9);
  EXPECT_LT(box.south, 39.9);
  EXPECT_DOUBLE_EQ(box.west, 210 * 360.0 / 256 - 180.0);
  // The whole world at z = 0 is one tile.
  EXPECT_EQ(TileIndex(0, 0, 0).x, 0);
  EXPECT_EQ(TileIndex(0, 0, 0).y, 0);
}

struct EdgeCase {
  std::int64_t lonE5;
  int z;
  std::int64_t x;
};
class TileEdgeTest : public ::testing::TestWithParam<EdgeCase> {};
TEST_P(TileEdgeTest, ExactEdgesFollowTheDoubleConstants) {
  EXPECT_EQ(TileIndex(GetParam().lonE5, 0, GetParam().z).x, GetParam().x);
}
// Exact western edges of columns at negative longitudes: with the constants as doubles the
// product lands just below the whole number, so the edge belongs to the western neighbour.
INSTANTIATE_TEST_SUITE_P(Cases, TileEdgeTest,
                         ::testing::Values(EdgeCase{-9000000, 2, 0}, EdgeCase{-13500000, 3, 0},
                                           EdgeCase{-9000000, 3, 1}, EdgeCase{-11250000, 4, 2},
                                           EdgeCase{-6750000, 4, 4}, EdgeCase{-16875000, 5, 0},
                                           EdgeCase{9000000, 2, 3}, EdgeCase{-18000000, 4, 0}));

TEST(TileIndexTest, HostileValuesStayDefined) {
  constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
  for (const std::int64_t lon : {std::int64_t{kMin}, std::int64_t{kMax}, std::int64_t{0}}) {
    for (const std::int64_t lat : {std::int64_t{kMin}, std::int64_t{kMax}, std::int64_t{9000000}}) {
      for (const int z : {0, 17, 31, 40}) {
        const TileXY t = TileIndex(lon, lat, z);
        const LatLonBox box = mercatorTileBox(t.x, t.y, z);
        EXPECT_FALSE(std::isnan(box.west) || std::isnan(box.east));
      }
    }
  }
  EXPECT_EQ(toE5(std::nan("")), 0);
  EXPECT_EQ(toE5(1e300), kMax);
  EXPECT_EQ(toE5(-INFINITY), kMin);
  EXPECT_EQ(toE5(-0.000019), -1);
  EXPECT_EQ(toE5(116.39), 11639000);
}

TEST(TileBoxes, NeighboursShareEdgesEverywhere) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> zoom(0, 17);
  for (int trial = 0; trial < 2000; ++trial) {
    const int z = zoom(random);
    const std::int64_t n = std::int64_t{1} << z;
    const std::int64_t x = std::uniform_int_distribution<std::int64_t>(-2, n + 1)(random);
    const std::int64_t y = std::uniform_int_distribution<std::int64_t>(-2, n + 1)(random);
    const LatLonBox here = mercatorTileBox(x, y, z);
    const LatLonBox east = mercatorTileBox(x + 1, y, z);
    const LatLonBox south = mercatorTileBox(x, y + 1, z);
    ASSERT_EQ(here.east, east.west) << z << " " << x << " " << y;
    ASSERT_EQ(here.south, south.north) << z << " " << x << " " << y;
    ASSERT_LT(here.west, here.east);
    ASSERT_GT(here.north, here.south);
  }
}

TEST(LinearScheme, PathAndBox) {
  EXPECT_EQ(LinearTilePath(1000, 400, 5), "5/0301/1409/5497977570280.png");
  EXPECT_EQ(LinearTilePath(1, 2, 12), "12/13194141630465.png");
  EXPECT_EQ(LinearTilePath(0, 0, 0), "0/0000/0000/0000/0.png");
  const TileXY t = linearTile(11639000, 3990000, 5);
  EXPECT_EQ(t.x, 11639000 >> 13);
  EXPECT_EQ(linearTile(-1, -1, 0).x, -1);
  const LatLonBox box = linearTileBox(2, 3, 0, PointE5{10, -20});
  EXPECT_DOUBLE_EQ(box.west, (512 + 10) * 0.00001);
  EXPECT_DOUBLE_EQ(box.east, (768 + 10) * 0.00001);
  EXPECT_DOUBLE_EQ(box.south, (768 - 20) * 0.00001);
  EXPECT_DOUBLE_EQ(box.north, (1024 - 20) * 0.00001);
}

}  // namespace
}  // namespace tivra::tiles

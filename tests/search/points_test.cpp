#include "search/points.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/text.h"
#include "tiles/gcj02.h"
#include "tiles/offset.h"

namespace tivra::search {
namespace {

struct CountCase {
  const char* text;
  int count;
};
class CountPointsTest : public ::testing::TestWithParam<CountCase> {};

TEST_P(CountPointsTest, CountsOrRejects) {
  EXPECT_EQ(CountPoints(GetParam().text), GetParam().count);
  EXPECT_EQ(ParsePointList(GetParam().text).size(),
            static_cast<std::size_t>(std::max(GetParam().count, 0)));
}

INSTANTIATE_TEST_SUITE_P(Texts, CountPointsTest,
                         ::testing::Values(CountCase{"", 0}, CountCase{"1,2", 1},
                                           CountCase{"1,2;3,4", 2}, CountCase{"1,2;3", -1},
                                           CountCase{"1,2;", -1}, CountCase{"1,2,3", -1}));

struct DegreesCase {
  double degrees;
  std::int32_t e5;
};
class DegreesToE5Test : public ::testing::TestWithParam<DegreesCase> {};

TEST_P(DegreesToE5Test, NarrowsThenTruncates) {
  EXPECT_EQ(DegreesToE5(GetParam().degrees, GetParam().degrees),
            (PointE5{GetParam().e5, GetParam().e5}));
}

INSTANTIATE_TEST_SUITE_P(Values, DegreesToE5Test,
                         ::testing::Values(DegreesCase{116.397128, 11639712},
                                           DegreesCase{39.90358, 3990357},
                                           DegreesCase{31.23, 3122999},
                                           DegreesCase{-31.23, -3122999},
                                           DegreesCase{1e300, 2147483647}));

TEST(PointList, ReadsAndWritesPoints) {
  EXPECT_EQ(ParsePointList("11639712,3990357;-5,7"),
            (std::vector<PointE5>{{11639712, 3990357}, {-5, 7}}));
  const std::vector<PointE5> points{{1, -2}, {3, 4}};
  EXPECT_EQ(pointListText(points), "1,-2;3,4");
}

TEST(Frames, WithoutOffsetsNothingMoves) {
  const std::vector<PointE5> points{{11639712, 3990357}, {12100000, 3100000}};
  EXPECT_EQ(GlobeToMapList("11639712,3990357;12100000,3100000", nullptr),
            "11639712,3990357;12100000,3100000");
  store::LocationMap empty;
  EXPECT_EQ(MapToGlobe(points, &empty), points);
  EXPECT_EQ(MapToGlobe(points, nullptr), points);
}

TEST(Frames, StoredOffsetsShiftByOneReflection) {
  store::LocationMap map;
  // One offset for the cell of the first point; the second lies far away, without one.
  tiles::StoreOffset(map, PointE5{11639712, 3990357}, PointE5{-600, 130}, true);
  EXPECT_EQ(GlobeToMapList("11639712,3990357;100,100", &map), "11640312,3990227;100,100");
  const std::vector<PointE5> map_points{{11640312, 3990227}, {100, 100}};
  // The offset is looked up at the map-frame point, which lies in the same cell here.
  EXPECT_EQ(MapToGlobe(map_points, &map), (std::vector<PointE5>{{11639712, 3990357}, {100, 100}}));
}

TEST(Frames, TheOffsetModelFillsPlacesWithoutAStoredOffset) {
  store::LocationMap map;
  tiles::StoreOffset(map, PointE5{11639712, 3990357}, PointE5{-600, 130}, true);
  const Offsets gcj{&map, tiles::OffsetModel::Gcj02};
  // A calibrated cell wins; Shanghai has none and takes the model's offset, about 500 m there.
  const PointE5 shanghai{12147370, 3123040};
  const PointE5 shift = tiles::gcj02Offset(shanghai);
  ASSERT_GT(std::abs(shift.x) + std::abs(shift.y), 300);
  EXPECT_EQ(GlobeToMapList("11639712,3990357;12147370,3123040", gcj),
            platform::format("11640312,3990227;%d,%d", shanghai.x - shift.x, shanghai.y - shift.y));
  // Back into the globe's frame the point lands where it was asked for: one reflection step
  // errs by metres, not by the shift's hundreds.
  const PointE5 back = MapToGlobe(ParsePointList(GlobeToMapList("12147370,3123040", gcj)), gcj)[0];
  EXPECT_LE(std::abs(back.x - shanghai.x), 3);
  EXPECT_LE(std::abs(back.y - shanghai.y), 3);
}

TEST(Frames, HostileValuesSaturate) {
  store::LocationMap map;
  tiles::StoreOffset(map, PointE5{2147483647, 0}, PointE5{-2147483647, 0}, true);
  EXPECT_EQ(GlobeToMapList("2147483647,0", &map), "2147483647,0");
}

}  // namespace
}  // namespace tivra::search

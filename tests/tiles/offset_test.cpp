#include "tiles/offset.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace tivra::tiles {
namespace {

TEST(LocationCells, AlignedToTheirSizeNotCentred) {
  store::LocationMap map;
  StoreOffset(map, {11620000, 3990000}, {-123, 456}, true);
  EXPECT_EQ(map.size(), 8u);
  EXPECT_EQ(LookupOffset(map, {11620010, 3990010}), (PointE5{-123, 456}));
  EXPECT_EQ(LookupOffset(map, {11620100, 3990010}), (PointE5{-123, 456}));
  EXPECT_EQ(LookupOffset(map, {11610000, 3980000}), (PointE5{-123, 456}));
  EXPECT_FALSE(LookupOffset(map, {11660000, 3990000}));
}

TEST(LocationCells, FinestCellWinsAndNegativePositionsFloor) {
  for (int level = 0; level < kOffsetLevels; ++level) EXPECT_EQ(cellKey({-1, -1}, level), "-1,-1");
  EXPECT_EQ(cellKey({255, 256}, 0), "0,1");
  store::LocationMap map;
  StoreOffset(map, {100000, 100000}, {1, 1}, true);
  StoreOffset(map, {100000, 100000}, {2, 2}, false);  // no overwrite: unchanged
  EXPECT_EQ(LookupOffset(map, {100000, 100000}), (PointE5{1, 1}));
  map.insert(cellKey({100000, 100000}, 0), "7,-8", true);
  EXPECT_EQ(LookupOffset(map, {100000, 100000}), (PointE5{7, -8}));
  map.insert(cellKey({100000, 100000}, 0), "garbage", true);
  EXPECT_EQ(LookupOffset(map, {100000, 100000}), (PointE5{0, 0}));
}

class CorrectionTest : public ::testing::Test {
 protected:
  OffsetContext context() {
    return {values, stateLock, &map, [this] { ++refreshes; }};
  }
  MapValues values;
  std::mutex stateLock;
  store::LocationMap map;
  std::atomic<int> refreshes{0};
};

TEST_F(CorrectionTest, AutoOffsetWithEmptyMapKeepsValuesAndPostsNothing) {
  values.xoff = 5;
  values.yoff = 6;
  EXPECT_EQ(correctOffset(context(), {1, 2}, std::chrono::milliseconds(0)), (PointE5{5, 6}));
  EXPECT_EQ(refreshes.load(), 0);
  EXPECT_EQ(values.xoff, 5);
}

TEST_F(CorrectionTest, AutoOffsetTakesTheMapsOffsetAndRefreshes) {
  StoreOffset(map, {11620000, 3990000}, {-300, 200}, true);
  EXPECT_EQ(correctOffset(context(), {11620000, 3990000}, std::chrono::milliseconds(0)),
            (PointE5{-300, 200}));
  EXPECT_EQ(values.xoff, -300);
  EXPECT_EQ(values.yoff, 200);
  EXPECT_EQ(refreshes.load(), 1);
}

TEST_F(CorrectionTest, HandEditedOffsetIsStoredOnceThenUsedByAutoOffset) {
  values.autoOffset = false;
  values.xoff = 40;
  values.yoff = -50;
  EXPECT_EQ(correctOffset(context(), {11620000, 3990000}, std::chrono::milliseconds(0)),
            (PointE5{40, -50}));
  EXPECT_EQ(map.size(), 0u) << "not edited: nothing stored";
  values.offsetEdited = true;
  correctOffset(context(), {11620000, 3990000}, std::chrono::milliseconds(0));
  EXPECT_FALSE(values.offsetEdited);
  EXPECT_EQ(LookupOffset(map, {11620000, 3990000}), (PointE5{40, -50}));
  values.autoOffset = true;
  values.xoff = 0;
  values.yoff = 0;
  EXPECT_EQ(correctOffset(context(), {11620001, 3990001}, std::chrono::milliseconds(0)),
            (PointE5{40, -50}));
}

TEST_F(CorrectionTest, Gcj02FillsUncalibratedViewsWithoutStoringAndACalibratedCellWins) {
  values.xoff = 5;
  values.yoff = 6;
  OffsetContext gcj = context();
  gcj.model = OffsetModel::Gcj02;
  const PointE5 beijing{11639000, 3990000};
  EXPECT_EQ(correctOffset(gcj, beijing, std::chrono::milliseconds(0)), (PointE5{-623, -140}));
  EXPECT_EQ(values.xoff, -623);
  EXPECT_EQ(values.yoff, -140);
  EXPECT_EQ(refreshes.load(), 1);
  EXPECT_EQ(map.size(), 0u) << "the formula's offset is not stored";

  StoreOffset(map, beijing, {-600, -150}, true);
  EXPECT_EQ(correctOffset(gcj, beijing, std::chrono::milliseconds(0)), (PointE5{-600, -150}));
  EXPECT_EQ(values.xoff, -600);
  // Without AutoOffset the page's offset stands, model or not.
  values.autoOffset = false;
  EXPECT_EQ(correctOffset(gcj, {11326000, 2313000}, std::chrono::milliseconds(0)),
            (PointE5{-600, -150}));
}

TEST_F(CorrectionTest, ConcurrentStoresAndLookupsStayConsistent) {
  values.autoOffset = false;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const PointE5 place{t * 10'000'000 + i * 1000, 3'000'000};
        StoreOffset(map, place, {t, i}, true);
        const auto found = LookupOffset(map, place);
        ASSERT_TRUE(found);
        ASSERT_EQ(found->x, t);
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(LookupOffset(map, {7 * 10'000'000 + 199 * 1000, 3'000'000}), (PointE5{7, 199}));
}

}  // namespace
}  // namespace tivra::tiles

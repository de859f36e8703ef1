#include "tiles/transparent_tiles.h"

#include <gtest/gtest.h>

#include "support/image_samples.h"
#include "tiles/transparency.h"

namespace tivra::tiles {
namespace {

std::vector<std::uint8_t> png(std::uint32_t side, bool alpha) {
  return *platform::encodePngRgba(test::patternImage(side, side, alpha));
}

struct RememberCase {
  const char* name;
  std::vector<std::uint8_t> source;
  int rangeDigit;
  int colourDigit;
};
class RememberTest : public ::testing::TestWithParam<RememberCase> {};

TEST_P(RememberTest, AnswersTheBytesProcessingGivesAndMakesThemOnce) {
  const RememberCase& c = GetParam();
  const auto fresh = MakeTransparentTile(c.source, c.rangeDigit, c.colourDigit);
  ASSERT_TRUE(fresh);
  TransparentTiles made;
  const SharedTileBytes first = made.get("tile", c.source, c.rangeDigit, c.colourDigit);
  const SharedTileBytes again = made.get("tile", c.source, c.rangeDigit, c.colourDigit);
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, *fresh);
  EXPECT_EQ(again, first) << "the second answer is the remembered one";
  // Other digits for the same tile are another tile.
  const SharedTileBytes other = made.get("tile", c.source, c.rangeDigit, c.colourDigit ^ 7);
  ASSERT_TRUE(other);
  EXPECT_EQ(*other, *MakeTransparentTile(c.source, c.rangeDigit, c.colourDigit ^ 7));
  EXPECT_EQ(made.entries(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Tiles, RememberTest,
    ::testing::Values(RememberCase{"Opaque", png(64, false), 0, 0},
                      RememberCase{"WithAlpha", png(32, true), 5, 7},
                      RememberCase{"DigitsBeyondTheSlider", png(16, false), 9, 12},
                      RememberCase{"Jpeg", *platform::encodeJpeg(test::patternImage(40, 40, false)),
                                   2, 3}),
    [](const ::testing::TestParamInfo<RememberCase>& param) {
      return std::string(param.param.name);
    });

TEST(TransparentTiles, AChangedSourceIsProcessedAnew) {
  TransparentTiles made;
  const auto before = png(32, false);
  auto after = *platform::encodePngRgba(test::patternImage(32, 31, false));
  ASSERT_TRUE(made.get("tile", before, 1, 2));
  const SharedTileBytes changed = made.get("tile", after, 1, 2);
  ASSERT_TRUE(changed);
  EXPECT_EQ(*changed, *MakeTransparentTile(after, 1, 2));
  EXPECT_EQ(made.entries(), 1u);
}

TEST(TransparentTiles, UndecodableBytesAreNotRemembered) {
  TransparentTiles made;
  const std::vector<std::uint8_t> page = {'<', 'h', 't', 'm', 'l', '>'};
  EXPECT_FALSE(made.get("tile", page, 0, 0));
  EXPECT_EQ(made.entries(), 0u);
  EXPECT_EQ(made.bytes(), 0u);
}

TEST(TransparentTiles, StaysWithinItsBudgetDroppingTheLeastRecentlyUsed) {
  const auto source = png(64, false);
  const std::size_t oneEntry = [&] {
    TransparentTiles probe;
    probe.get("tile 00", source, 0, 0);
    return probe.bytes();
  }();
  ASSERT_GT(oneEntry, source.size());
  TransparentTiles made(oneEntry * 10);  // room for ten
  const SharedTileBytes kept = made.get("tile 00", source, 0, 0);
  const SharedTileBytes oldest = made.get("tile 11", source, 0, 0);
  for (int i = 2; i < 30; ++i) {
    made.get("tile " + std::to_string(i + 10), source, 0, 0);
    made.get("tile 00", source, 0, 0);  // used again and again: never the one to go
    ASSERT_LE(made.bytes(), oneEntry * 10) << "after " << i;
  }
  EXPECT_EQ(made.entries(), 10u);
  EXPECT_EQ(made.get("tile 00", source, 0, 0), kept);
  // The oldest of the others went: made anew, equal bytes in a new block.
  const SharedTileBytes remade = made.get("tile 11", source, 0, 0);
  EXPECT_NE(remade, oldest);
  EXPECT_EQ(*remade, *oldest);
}

}  // namespace
}  // namespace tivra::tiles

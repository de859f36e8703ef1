// The window's pure arithmetic: docking, snapping, sliding, the drag-offset mapping and the
// image-enhancement preview.
#include "ui/docking.h"

#include <gtest/gtest.h>

#include "ui/view_math.h"

namespace tivra::ui {
namespace {

constexpr int kW = 1280;  // screen width

// A 160 x 220 window with its top-left corner at (x, y).
Rect at(int x, int y) {
  return {x, y, x + 160, y + 220};
}

struct PlacementCase {
  const char* name;
  Rect window;
  DockState state;
  Rect placed;
};

class DockOnPlacementTest : public testing::TestWithParam<PlacementCase> {};

TEST_P(DockOnPlacementTest, StateAndRectangle) {
  const auto& c = GetParam();
  EXPECT_EQ(dockOnPlacement(c.window, kW), (Placement{c.state, c.placed}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DockOnPlacementTest,
    testing::Values(
        PlacementCase{"Free", at(100, 100), DockState::Free, at(100, 100)},
        PlacementCase{"NearLeft", at(4, 100), DockState::Left, at(0, 100)},
        PlacementCase{"FlushLeft", at(0, 100), DockState::Left, at(0, 100)},
        PlacementCase{"SlidOutLeft", at(3 - 160, 100), DockState::Left, at(3 - 160, 100)},
        PlacementCase{"LeftFive", at(5, 100), DockState::Free, at(5, 100)},
        PlacementCase{"NearRight", at(kW - 164, 100), DockState::Right, at(kW - 160, 100)},
        PlacementCase{"FlushRight", at(kW - 160, 100), DockState::Right, at(kW - 160, 100)},
        PlacementCase{"SlidOutRight", at(kW - 3, 100), DockState::Right, at(kW - 3, 100)},
        PlacementCase{"RightFive", at(kW - 165, 100), DockState::Free, at(kW - 165, 100)},
        PlacementCase{"NearTop", at(100, 4), DockState::Top, at(100, 0)},
        PlacementCase{"SlidOutTop", at(100, 3 - 220), DockState::Top, at(100, 3 - 220)},
        PlacementCase{"TopLeftCorner", at(2, 2), DockState::Top, at(0, 0)},
        PlacementCase{"TopFive", at(100, 5), DockState::Free, at(100, 5)}),
    [](const auto& param) { return param.param.name; });

struct SnapCase {
  const char* name;
  DockState from;
  Rect proposed;
  Point cursor;
  DockState state;
  Rect snapped;
};

class SnapWhileMovingTest : public testing::TestWithParam<SnapCase> {};

TEST_P(SnapWhileMovingTest, StateAndRectangle) {
  const auto& c = GetParam();
  EXPECT_EQ(snapWhileMoving(c.from, c.proposed, c.cursor, kW), (Placement{c.state, c.snapped}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SnapWhileMovingTest,
    testing::Values(
        // Free: top first, then left, otherwise right.
        SnapCase{
            "FreeStays", DockState::Free, at(300, 200), {380, 210}, DockState::Free, at(300, 200)},
        SnapCase{"FreeToTop", DockState::Free, at(300, 4), {380, 10}, DockState::Top, at(300, 0)},
        SnapCase{"FreeToLeftWithinFour",
                 DockState::Free,
                 at(4, 200),
                 {80, 210},
                 DockState::Left,
                 at(0, 200)},
        SnapCase{"FreeLeftFiveStays",
                 DockState::Free,
                 at(5, 200),
                 {80, 210},
                 DockState::Free,
                 at(5, 200)},
        SnapCase{"FreeToRight",
                 DockState::Free,
                 at(kW - 164, 200),
                 {kW - 80, 210},
                 DockState::Right,
                 at(kW - 160, 200)},
        SnapCase{"FreeTopAndLeftEndsLeft",
                 DockState::Free,
                 at(3, 2),
                 {80, 10},
                 DockState::Left,
                 at(0, 0)},
        // Top: held while the cursor stays in the top 6 rows; edges snap too.
        SnapCase{"TopHeld", DockState::Top, at(300, 40), {380, 5}, DockState::Top, at(300, 0)},
        SnapCase{"TopHeldSnapsLeft", DockState::Top, at(4, 40), {80, 5}, DockState::Top, at(0, 0)},
        SnapCase{"TopHeldSnapsRight",
                 DockState::Top,
                 at(kW - 162, 40),
                 {kW - 80, 5},
                 DockState::Top,
                 at(kW - 160, 0)},
        SnapCase{"TopReleased", DockState::Top, at(300, 40), {380, 6}, DockState::Free, at(300, 5)},
        // Left: held until the cursor passes the right edge.
        SnapCase{"LeftHeld", DockState::Left, at(60, 300), {150, 310}, DockState::Left, at(0, 300)},
        SnapCase{
            "LeftReleased", DockState::Left, at(60, 300), {221, 310}, DockState::Free, at(5, 300)},
        SnapCase{
            "LeftHeldTopSnaps", DockState::Left, at(60, 3), {150, 10}, DockState::Left, at(0, 0)},
        // Right: held until the cursor passes the left edge.
        SnapCase{"RightHeld",
                 DockState::Right,
                 at(kW - 220, 300),
                 {kW - 200, 310},
                 DockState::Right,
                 at(kW - 160, 300)},
        SnapCase{"RightReleased",
                 DockState::Right,
                 at(kW - 220, 300),
                 {kW - 221, 310},
                 DockState::Free,
                 at(kW - 225, 300)},
        SnapCase{"RightHeldTopSnaps",
                 DockState::Right,
                 at(kW - 220, 4),
                 {kW - 200, 10},
                 DockState::Right,
                 at(kW - 160, 0)}),
    [](const auto& param) { return param.param.name; });

struct SlideCase {
  const char* name;
  DockState state;
  bool in;
  Rect window;
  std::optional<Rect> target;
};

class SlideTargetTest : public testing::TestWithParam<SlideCase> {};

TEST_P(SlideTargetTest, Target) {
  const auto& c = GetParam();
  EXPECT_EQ(slideTarget(c.state, c.window, c.in, kW), c.target);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SlideTargetTest,
    testing::Values(SlideCase{"FreeOut", DockState::Free, false, at(50, 50), std::nullopt},
                    SlideCase{"FreeIn", DockState::Free, true, at(50, 50), std::nullopt},
                    SlideCase{"TopOut", DockState::Top, false, at(50, 0), at(50, 3 - 220)},
                    SlideCase{"TopIn", DockState::Top, true, at(50, 3 - 220), at(50, 0)},
                    SlideCase{"LeftOut", DockState::Left, false, at(0, 70), at(3 - 160, 70)},
                    SlideCase{"LeftIn", DockState::Left, true, at(3 - 160, 70), at(0, 70)},
                    SlideCase{"RightOut", DockState::Right, false, at(kW - 160, 70),
                              at(kW - 3, 70)},
                    SlideCase{"RightIn", DockState::Right, true, at(kW - 3, 70), at(kW - 160, 70)}),
    [](const auto& param) { return param.param.name; });

TEST(SlideStepsTest, TwoHalvesThenTheTarget) {
  const auto steps = slideSteps(at(0, 70), at(-157, 70));
  EXPECT_EQ(steps[0], at(-78, 70));
  EXPECT_EQ(steps[1], at(-156, 70));
  EXPECT_EQ(steps[2], at(-157, 70));
}

struct DragCase {
  const char* name;
  Point cursor;
  double x;
  double y;
};

class DragViewPointTest : public testing::TestWithParam<DragCase> {};

TEST_P(DragViewPointTest, NormalisedBySevenPixelTip) {
  const Rect view{100, 50, 500, 350};  // 400 x 300
  const auto& c = GetParam();
  const auto p = dragViewPoint(view, c.cursor);
  ASSERT_TRUE(p);
  EXPECT_DOUBLE_EQ(p->x, c.x);
  EXPECT_DOUBLE_EQ(p->y, c.y);
}

INSTANTIATE_TEST_SUITE_P(Cases, DragViewPointTest,
                         testing::Values(DragCase{"Centre", {293, 193}, 0.0, 0.0},
                                         DragCase{"TopLeft", {93, 43}, -1.0, 1.0},
                                         DragCase{"BottomRight", {493, 343}, 1.0, -1.0},
                                         DragCase{"Quarter", {193, 118}, -0.5, 0.5}),
                         [](const auto& param) { return param.param.name; });

TEST(DragViewPointTest, EmptyViewGivesNothing) {
  EXPECT_FALSE(dragViewPoint(Rect{10, 10, 10, 40}, Point{10, 20}));
}

TEST(DraggedOffsetTest, RememberedPlusTruncatedDegrees) {
  EXPECT_EQ(draggedOffset(120, 116.401239, 116.4), 120 + 123);
  EXPECT_EQ(draggedOffset(-40, 39.899991, 39.9), -40 - 0);
  EXPECT_EQ(draggedOffset(0, 39.5, 40.0), -50000);
  EXPECT_EQ(draggedOffset(7, 116.0, 116.0), 7);
}

struct PreviewCase {
  const char* name;
  Rgb8 tile;
  Rgb8 background;
  PreviewValues values;
  Rgb8 expected;
};

class PreviewPixelTest : public testing::TestWithParam<PreviewCase> {};

TEST_P(PreviewPixelTest, Formula) {
  const auto& c = GetParam();
  EXPECT_EQ(previewPixel(c.tile, c.background, c.values), c.expected);
}

// m for the exact colour 241,238,232: (241 ^ 232 ^ (232 + 238) ^ (241 + 238)) / 3 = 5; for
// 235,231,221 matched at tolerance 1 by 236,231,221: (235 ^ 221 ^ (221 + 231) ^ (236 + 231)) / 3
// = 11. Then x = m * TransParency / 25500.
INSTANTIATE_TEST_SUITE_P(
    Cases, PreviewPixelTest,
    testing::Values(
        // Plain mode: x = TransParency / 100.
        PreviewCase{"PlainHalf", {200, 100, 0}, {0, 100, 200}, {50, false, 0, 0}, {100, 100, 100}},
        PreviewCase{"PlainOpaque", {200, 100, 0}, {0, 100, 200}, {100, false, 0, 7}, {200, 100, 0}},
        // Not a background colour: m = 255, x = TransParency / 100, channels inverted.
        PreviewCase{"NoMatchInverted", {200, 100, 0}, {0, 0, 0}, {100, true, 0, 5}, {55, 100, 255}},
        PreviewCase{"ExactBackground", {241, 238, 232}, {0, 0, 0}, {100, true, 0, 0}, {4, 4, 4}},
        // BKRange 0: tolerance 0, one unit off is no background.
        PreviewCase{
            "RangeZeroOneOff", {236, 231, 221}, {0, 0, 0}, {100, true, 0, 0}, {236, 231, 221}},
        PreviewCase{
            "RangeTwentyOneOff", {236, 231, 221}, {0, 0, 0}, {100, true, 20, 0}, {10, 9, 9}}),
    [](const auto& param) { return param.param.name; });

TEST(PreviewImageTest, TileSizedAndBackgroundOutsideIsBlack) {
  const std::vector<Rgb8> tile(2 * 2, Rgb8{100, 100, 100});
  const std::vector<Rgb8> background{{200, 200, 200}};  // 1 x 1
  const auto out = previewImage(tile, 2, 2, background, 1, 1, {50, false, 0, 0});
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0], (Rgb8{150, 150, 150}));
  EXPECT_EQ(out[3], (Rgb8{50, 50, 50}));
  EXPECT_TRUE(previewImage(tile, 3, 2, background, 1, 1, {}).empty());
}

}  // namespace
}  // namespace tivra::ui

// The window's pure arithmetic: docking, snapping, sliding, several monitors, the docking rules
// under window managers that adjust positions, the drag-offset mapping and the image-enhancement
// preview.
#include "ui/docking.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "ui/view_math.h"

namespace tivra::ui {
namespace {

constexpr int kW = 1280;  // screen width
const DockArea kScreen{{0, 0, kW, 1024}};

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
  EXPECT_EQ(dockOnPlacement(c.window, kScreen), (Placement{c.state, c.placed}));
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
  EXPECT_EQ(snapWhileMoving(c.from, c.proposed, c.cursor, kScreen),
            (Placement{c.state, c.snapped}));
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
  EXPECT_EQ(slideTarget(c.state, c.window, c.in, kScreen), c.target);
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

// Two layouts of two monitors: B right of the primary A, and B above it.
const std::vector<Rect> kSideBySide{{0, 0, 1600, 900}, {1600, 0, 3520, 1080}};
const std::vector<Rect> kStacked{{0, 0, 1920, 1080}, {0, -1080, 1920, 0}};

struct MonitorCase {
  const char* name;
  std::vector<Rect> screens;
  Rect window;
  DockArea area;
  Placement placed;
};

class MonitorTest : public testing::TestWithParam<MonitorCase> {};

TEST_P(MonitorTest, DocksToTheOuterEdgesOfItsMonitor) {
  const auto& c = GetParam();
  const DockArea area = dockAreaOf(c.screens, c.window);
  EXPECT_EQ(area, c.area);
  EXPECT_EQ(dockOnPlacement(c.window, area), c.placed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MonitorTest,
    testing::Values(
        MonitorCase{
            "OneScreen", {{0, 0, kW, 1024}}, at(3, 100), kScreen, {DockState::Left, at(0, 100)}},
        // A saved XPos of 1600 is the second monitor's left edge, shared with the first.
        MonitorCase{"SecondMonitorSharedEdge",
                    kSideBySide,
                    at(1600, 100),
                    {{1600, 0, 3520, 1080}, true, false, true},
                    {DockState::Free, at(1600, 100)}},
        MonitorCase{"SecondMonitorOuterRight",
                    kSideBySide,
                    at(3520 - 163, 100),
                    {{1600, 0, 3520, 1080}, true, false, true},
                    {DockState::Right, at(3520 - 160, 100)}},
        MonitorCase{"SecondMonitorTop",
                    kSideBySide,
                    at(2000, 4),
                    {{1600, 0, 3520, 1080}, true, false, true},
                    {DockState::Top, at(2000, 0)}},
        MonitorCase{"FirstMonitorSharedRight",
                    kSideBySide,
                    at(1600 - 162, 100),
                    {{0, 0, 1600, 900}, true, true, false},
                    {DockState::Free, at(1438, 100)}},
        MonitorCase{"StraddlingTakesTheLargerPart",
                    kSideBySide,
                    at(1500, 100),
                    {{0, 0, 1600, 900}, true, true, false},
                    {DockState::Free, at(1500, 100)}},
        MonitorCase{"BelowAnotherNoTop",
                    kStacked,
                    at(100, 2),
                    {{0, 0, 1920, 1080}, false, true, true},
                    {DockState::Free, at(100, 2)}},
        MonitorCase{"UpperMonitorTop",
                    kStacked,
                    at(100, -1078),
                    {{0, -1080, 1920, 0}, true, true, true},
                    {DockState::Top, at(100, -1080)}},
        MonitorCase{"SlidOutStripOnSecond",
                    kSideBySide,
                    at(3520 - 3, 100),
                    {{1600, 0, 3520, 1080}, true, false, true},
                    {DockState::Right, at(3520 - 3, 100)}},
        MonitorCase{"NoMonitor",
                    {},
                    at(10, 10),
                    {at(10, 10), false, false, false},
                    {DockState::Free, at(10, 10)}}),
    [](const auto& param) { return param.param.name; });

struct SavedCase {
  const char* name;
  std::vector<Rect> screens;
  Rect saved;
  Rect placed;
};

class OnSomeScreenTest : public testing::TestWithParam<SavedCase> {};

TEST_P(OnSomeScreenTest, OnNoMonitorGoesToThePrimary) {
  EXPECT_EQ(onSomeScreen(GetParam().screens, GetParam().saved), GetParam().placed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OnSomeScreenTest,
    testing::Values(SavedCase{"OnSecond", kSideBySide, at(1700, 300), at(1700, 300)},
                    SavedCase{"StripShowing", kSideBySide, at(3517, 300), at(3517, 300)},
                    SavedCase{"RightOfAll", kSideBySide, at(5000, 300), at(1600 - 160, 300)},
                    SavedCase{"BelowTheShorter", kSideBySide, at(100, 950), at(100, 900 - 220)},
                    SavedCase{"AboveAndLeft", kSideBySide, at(-900, -900), at(0, 0)},
                    SavedCase{"UpperMonitor", kStacked, at(100, -500), at(100, -500)},
                    SavedCase{"NoMonitors", {}, at(5000, 300), at(5000, 300)}),
    [](const auto& param) { return param.param.name; });

// Window managers answer a move to an off-screen position differently: as asked, stopped short
// with part of the window left on the monitor (as openbox does), or not off the monitor at all.
enum class Manager { Exact, KeepsPart, Refuses };

// The window system as Qt under a window manager shows it: a move is echoed at once as asked,
// and the manager's adjusted answer arrives later.
class FakeWindowSystem final : public DockHost {
 public:
  FakeWindowSystem(Manager manager, std::vector<Rect> screens, Rect frame)
      : m_manager(manager), m_screens(std::move(screens)), m_frame(frame) {}

  Rect frame() const override { return m_frame; }
  std::vector<Rect> screens() const override { return m_screens; }
  void moveFrame(Point p) override {
    ++moves;
    m_frame = m_frame.movedTo(p.x, p.y);
    docker->moved(cursor);
    const Rect answer = adjusted(m_frame);
    if (answer != m_frame) m_answers.push_back(answer);
  }
  void betweenSlideSteps() override { m_now += std::chrono::milliseconds(5); }
  void startSlideTimer(std::chrono::milliseconds) override {}
  void stopSlideTimer() override {}
  void recordPosition(Point p) override { recorded = p; }
  Clock::time_point now() const override { return m_now; }

  // The manager's answers, a few milliseconds later.
  void deliverAnswers() {
    while (!m_answers.empty()) {
      m_now += std::chrono::milliseconds(15);
      m_frame = m_answers.front();
      m_answers.pop_front();
      docker->moved(cursor);
    }
  }
  // The user drags the window.
  void userMove(Point p) {
    m_frame = m_frame.movedTo(p.x, p.y);
    docker->moved(cursor);
    deliverAnswers();
  }

  Docker* docker = nullptr;
  Point cursor;
  int moves = 0;
  std::optional<Point> recorded;

 private:
  Rect adjusted(const Rect& r) const {
    const Rect s = dockAreaOf(m_screens, r).screen;
    if (m_manager == Manager::Exact) return r;
    const int keepX = m_manager == Manager::KeepsPart ? 27 : r.width();
    const int keepY = m_manager == Manager::KeepsPart ? 36 : r.height();
    const int left = std::min(std::max(r.left, s.left + keepX - r.width()), s.right - keepX);
    const int top = std::max(r.top, s.top + keepY - r.height());
    return r.movedTo(left, top);
  }

  Manager m_manager;
  std::vector<Rect> m_screens;
  Rect m_frame;
  std::deque<Rect> m_answers;
  Clock::time_point m_now{std::chrono::seconds(1000)};
};

struct ManagerCase {
  const char* name;
  Manager manager;
  std::vector<Rect> screens;
  Rect shown;  // docked and slid in
  DockState edge;
};

class DockUnderManagerTest : public testing::TestWithParam<ManagerCase> {};

// How much of the window shows on its monitor along the docked edge.
int showing(const Rect& r, const Rect& s, DockState edge) {
  switch (edge) {
    case DockState::Top:
      return r.bottom - s.top;
    case DockState::Left:
      return r.right - s.left;
    case DockState::Right:
      return s.right - r.left;
    case DockState::Free:
      break;
  }
  return 0;
}

TEST_P(DockUnderManagerTest, SlidingOutAndInKeepsItDockedAndTheStripReachable) {
  const auto& c = GetParam();
  const Rect screen = dockAreaOf(c.screens, c.shown).screen;
  const Point away{(screen.left + screen.right) / 2, (screen.top + screen.bottom) / 2};
  FakeWindowSystem system(c.manager, c.screens, at(0, 0).movedTo(away.x, away.y));
  Docker docker(system);
  system.docker = &docker;
  system.cursor = away;
  docker.place(c.shown.topLeft());
  system.deliverAnswers();
  ASSERT_EQ(docker.state(), c.edge);
  ASSERT_EQ(system.frame(), c.shown);

  for (int round = 0; round < 2; ++round) {
    const int movesBefore = system.moves;
    docker.slideTimer(system.cursor);  // the pointer is away: slide out
    system.deliverAnswers();
    EXPECT_EQ(docker.state(), c.edge) << round;
    const Rect hidden = system.frame();
    EXPECT_GE(showing(hidden, screen, c.edge), kStripWidth) << round;
    if (c.manager == Manager::Refuses) {
      // It stays at its edge, and after the first refusal the window asks no more.
      EXPECT_EQ(hidden, c.shown) << round;
      if (round == 1) {
        EXPECT_EQ(system.moves, movesBefore);
      }
    } else {
      EXPECT_FALSE(screen.contains(hidden)) << round;
    }
    EXPECT_FALSE(system.recorded.has_value())
        << "the program's own moves are no position of the user's";

    // The pointer on what shows of the window: slide in.
    system.cursor = {std::clamp(away.x, hidden.left, hidden.right - 1),
                     std::clamp(away.y, hidden.top, hidden.bottom - 1)};
    system.cursor = {std::clamp(system.cursor.x, screen.left, screen.right - 1),
                     std::clamp(system.cursor.y, screen.top, screen.bottom - 1)};
    docker.pointerOver();
    system.deliverAnswers();
    EXPECT_EQ(docker.state(), c.edge) << round;
    EXPECT_EQ(system.frame(), c.shown) << round;
    system.cursor = away;
  }

  // At once, the user drags the window off its edge into the middle: that is the user's move.
  const Rect middle = c.shown.movedTo(away.x - 80, away.y - 110);
  system.cursor = c.edge == DockState::Left ? Point{middle.right + 5, middle.top + 5}
                                            : Point{middle.left - 5, middle.top + 10};
  system.userMove(middle.topLeft());
  EXPECT_EQ(docker.state(), DockState::Free);
  EXPECT_TRUE(system.recorded.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DockUnderManagerTest,
    testing::Values(
        ManagerCase{"ExactLeft", Manager::Exact, {{0, 0, kW, 1024}}, at(0, 300), DockState::Left},
        ManagerCase{
            "KeepsPartLeft", Manager::KeepsPart, {{0, 0, kW, 1024}}, at(0, 300), DockState::Left},
        ManagerCase{
            "KeepsPartTop", Manager::KeepsPart, {{0, 0, kW, 1024}}, at(300, 0), DockState::Top},
        ManagerCase{"KeepsPartRight",
                    Manager::KeepsPart,
                    {{0, 0, kW, 1024}},
                    at(kW - 160, 300),
                    DockState::Right},
        ManagerCase{"KeepsPartRightOfSecond", Manager::KeepsPart, kSideBySide, at(3520 - 160, 300),
                    DockState::Right},
        ManagerCase{"KeepsPartTopOfUpper", Manager::KeepsPart, kStacked, at(300, -1080),
                    DockState::Top},
        ManagerCase{
            "RefusesLeft", Manager::Refuses, {{0, 0, kW, 1024}}, at(0, 300), DockState::Left},
        ManagerCase{
            "RefusesTop", Manager::Refuses, {{0, 0, kW, 1024}}, at(300, 0), DockState::Top}),
    [](const auto& param) { return param.param.name; });

// Mapping the window, openbox reports a place of its own (its frame's offset from the corner)
// before it answers the program's move to the saved position: the window stays where it was
// saved, docked at that edge.
TEST(DockUnderManagerTest, TheManagersOwnPlaceBeforeItsAnswerDoesNotMoveTheWindow) {
  FakeWindowSystem system(Manager::Exact, {{0, 0, kW, 1024}}, at(0, 0));
  Docker docker(system);
  system.docker = &docker;
  system.cursor = {700, 600};
  docker.place({0, 300});
  system.userMove({-1, -20});
  system.userMove({0, 300});
  EXPECT_EQ(docker.state(), DockState::Left);
  EXPECT_EQ(system.frame(), at(0, 300));
  EXPECT_EQ(system.moves, 1);
  EXPECT_FALSE(system.recorded.has_value());
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

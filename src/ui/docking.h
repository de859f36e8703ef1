#pragma once

// The main window's docking arithmetic, free of any window system: the window applies what
// these functions compute. Rectangles are in screen pixels, right and bottom exclusive.

#include <array>
#include <optional>

namespace tivra::ui {

struct Rect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;

  int width() const { return right - left; }
  int height() const { return bottom - top; }
  Rect movedTo(int newLeft, int newTop) const {
    return {newLeft, newTop, newLeft + width(), newTop + height()};
  }
  bool operator==(const Rect&) const = default;
};

struct Point {
  int x = 0;
  int y = 0;
};

// 0 free, 1 docked at the top edge, 2 at the left edge, 3 at the right edge.
enum class DockState { Free = 0, Top = 1, Left = 2, Right = 3 };

struct Placement {
  DockState state = DockState::Free;
  Rect rect;
  bool operator==(const Placement&) const = default;
};

// How close to an edge the window must come to dock, and what stays visible once slid out.
inline constexpr int kSnapDistance = 5;
inline constexpr int kStripWidth = 3;

// Once after start-up: the state the window's rectangle implies, the rectangle made flush with
// its edge unless it already is (or lies slid out, with its 3-pixel strip showing).
Placement dockOnPlacement(const Rect& window, int screenWidth);

// While the user moves the window: the proposed rectangle, snapped, and the new state.
Placement snapWhileMoving(DockState state, const Rect& proposed, Point cursor, int screenWidth);

// Where sliding in (shown) or out (hidden, a 3-pixel strip left) ends; none while free.
std::optional<Rect> slideTarget(DockState state, const Rect& window, bool in, int screenWidth);

// The positions a slide passes through: two steps of half the distance, then the target.
std::array<Rect, 3> slideSteps(const Rect& from, const Rect& to);

}  // namespace tivra::ui

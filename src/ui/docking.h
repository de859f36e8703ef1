#pragma once

// The main window's docking, free of any window system: the arithmetic on rectangles, and the
// docking rules driven through a small window-system interface that the window implements and
// tests fake. Rectangles are in desktop pixels, right and bottom exclusive.

#include <array>
#include <chrono>
#include <optional>
#include <span>
#include <vector>

namespace tivra::ui {

struct Point {
  int x = 0;
  int y = 0;
  bool operator==(const Point&) const = default;
};

struct Rect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;

  int width() const { return right - left; }
  int height() const { return bottom - top; }
  Point topLeft() const { return {left, top}; }
  Rect movedTo(int newLeft, int newTop) const {
    return {newLeft, newTop, newLeft + width(), newTop + height()};
  }
  bool contains(const Rect& r) const {
    return r.left >= left && r.top >= top && r.right <= right && r.bottom <= bottom;
  }
  bool operator==(const Rect&) const = default;
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

// The monitor the window docks on, and which of its edges it may dock to: an edge another
// monitor adjoins lies inside the desktop and is no edge to dock at.
struct DockArea {
  Rect screen;
  bool top = true;
  bool left = true;
  bool right = true;
  bool operator==(const DockArea&) const = default;
};

// screens: every monitor, the primary first. The monitor holding most of the window (the
// primary when it lies on none); with no monitor at all, no edge.
DockArea dockAreaOf(std::span<const Rect> screens, const Rect& window);

// A saved rectangle that lies on no monitor, moved onto the primary one; else unchanged.
Rect onSomeScreen(std::span<const Rect> screens, const Rect& window);

// Once after start-up: the state the window's rectangle implies, the rectangle made flush with
// its edge unless it already is (or lies slid out, with its 3-pixel strip showing).
Placement dockOnPlacement(const Rect& window, const DockArea& area);

// While the user moves the window: the proposed rectangle, snapped, and the new state.
Placement snapWhileMoving(DockState state, const Rect& proposed, Point cursor,
                          const DockArea& area);

// Where sliding in (shown) or out (hidden, a 3-pixel strip left) ends; none while free.
std::optional<Rect> slideTarget(DockState state, const Rect& window, bool in, const DockArea& area);

// The positions a slide passes through: two steps of half the distance, then the target.
std::array<Rect, 3> slideSteps(const Rect& from, const Rect& to);

// What the docking rules need of the window system.
class DockHost {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~DockHost() = default;
  // The window's frame where the system last reported it.
  virtual Rect frame() const = 0;
  // The monitors, the primary first.
  virtual std::vector<Rect> screens() const = 0;
  // Asks the system to move the frame; the system reports the move later, perhaps adjusted.
  virtual void moveFrame(Point topLeft) = 0;
  // Between the steps of a slide: redraw and pause 5 ms.
  virtual void betweenSlideSteps() = 0;
  virtual void startSlideTimer(std::chrono::milliseconds interval) = 0;
  virtual void stopSlideTimer() = 0;
  // XPos and YPos.
  virtual void recordPosition(Point topLeft) = 0;
  virtual Clock::time_point now() const = 0;
};

// The docking rules of the main window: placement, snapping while the user moves it, sliding
// out of sight and back. Window managers stop a window short of an off-screen position (or
// refuse it); such an answer to the program's own move is not a move by the user.
class Docker {
 public:
  explicit Docker(DockHost& host, bool canDock = true) : m_host(host), m_canDock(canDock) {}

  DockState state() const { return m_state; }
  bool placed() const { return m_placed; }

  // Once shown: moved to the saved position (onto a monitor), docked by its placement.
  void place(Point saved);
  // The system reported a move (the user's, or the answer to one of ours).
  void moved(Point cursor);
  // The pointer arrived over the window.
  void pointerOver();
  // Timer 275.
  void slideTimer(Point cursor);

 private:
  struct Asked {
    Rect target;
    DockHost::Clock::time_point until;
    bool hiding = false;  // where a slide out ends
  };
  void moveTo(const Rect& r, bool hiding = false);
  void slide(bool in);
  DockArea area() const;
  bool answersOurMove(const Rect& now, bool settling);

  DockHost& m_host;
  bool m_canDock;
  bool m_placed = false;
  DockState m_state = DockState::Free;
  // The state whose off-screen positions the window manager refused: no more slides out there.
  std::optional<DockState> m_hidingRefused;
  // Until then (or the first slide) a move the system reports places the window: the window
  // manager frames and places a window it maps.
  DockHost::Clock::time_point m_settleUntil{};
  // Moves asked lately, newest last, kept until their answers are due.
  std::vector<Asked> m_asked;
};

}  // namespace tivra::ui

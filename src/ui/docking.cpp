#include "ui/docking.h"

#include <algorithm>

namespace tivra::ui {

namespace {

// How long an answer of the window system to one of our moves may take.
constexpr auto kAnswerWait = std::chrono::milliseconds(1000);
// Frame borders make a window manager's answer differ from its clamp by a pixel or two.
constexpr int kAnswerSlack = 2;
constexpr std::size_t kAskedKept = 8;
// How long the window manager may take to frame and place the window after the first placement.
constexpr auto kSettleWait = std::chrono::milliseconds(2000);

constexpr auto kFirstCheck = std::chrono::milliseconds(1000);
constexpr auto kAfterPointer = std::chrono::milliseconds(300);
constexpr auto kAfterSlideIn = std::chrono::milliseconds(50);

long long overlap(const Rect& a, const Rect& b) {
  const long long w = std::min(a.right, b.right) - std::max(a.left, b.left);
  const long long h = std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
  return w > 0 && h > 0 ? w * h : 0;
}

bool spansOverlap(int a0, int a1, int b0, int b1) {
  return a0 < b1 && b0 < a1;
}

// r moved the least distance to lie on screen (its top-left corner when it is larger).
Rect clampedInto(const Rect& r, const Rect& screen) {
  const int left = std::max(screen.left, std::min(r.left, screen.right - r.width()));
  const int top = std::max(screen.top, std::min(r.top, screen.bottom - r.height()));
  return r.movedTo(left, top);
}

bool between(int value, int a, int b) {
  return value >= std::min(a, b) - kAnswerSlack && value <= std::max(a, b) + kAnswerSlack;
}

}  // namespace

DockArea dockAreaOf(std::span<const Rect> screens, const Rect& window) {
  if (screens.empty()) return DockArea{window, false, false, false};
  std::size_t best = 0;
  long long bestOverlap = 0;
  for (std::size_t i = 0; i < screens.size(); ++i) {
    const long long o = overlap(screens[i], window);
    if (o > bestOverlap) {
      best = i;
      bestOverlap = o;
    }
  }
  DockArea area{screens[best]};
  const Rect& s = area.screen;
  for (std::size_t i = 0; i < screens.size(); ++i) {
    if (i == best) continue;
    const Rect& o = screens[i];
    const bool besideRows = spansOverlap(o.top, o.bottom, s.top, s.bottom);
    const bool besideColumns = spansOverlap(o.left, o.right, s.left, s.right);
    if (besideRows && o.left < s.left && o.right >= s.left) area.left = false;
    if (besideRows && o.right > s.right && o.left <= s.right) area.right = false;
    if (besideColumns && o.top < s.top && o.bottom >= s.top) area.top = false;
  }
  return area;
}

Rect onSomeScreen(std::span<const Rect> screens, const Rect& window) {
  if (screens.empty()) return window;
  for (const Rect& s : screens)
    if (overlap(s, window) > 0) return window;
  return clampedInto(window, screens.front());
}

Placement dockOnPlacement(const Rect& window, const DockArea& area) {
  const Rect& s = area.screen;
  Placement p{DockState::Free, window};
  Rect& r = p.rect;
  if (r.left - s.left > 4 || !area.left) {
    if (area.right && r.right > s.right - kSnapDistance) {
      p.state = DockState::Right;
      const bool flush = r.right == s.right || r.left + kStripWidth == s.right;
      if (!flush) r = r.movedTo(s.right - r.width(), r.top);
    }
  } else {
    p.state = DockState::Left;
    if (r.left != s.left && r.right != s.left + kStripWidth) r = r.movedTo(s.left, r.top);
  }
  if (area.top && r.top - s.top < kSnapDistance) {
    p.state = DockState::Top;
    if (r.top != s.top && r.bottom != s.top + kStripWidth) r = r.movedTo(r.left, s.top);
  }
  return p;
}

Placement snapWhileMoving(DockState state, const Rect& proposed, Point cursor,
                          const DockArea& area) {
  const Rect& s = area.screen;
  Placement p{state, proposed};
  Rect& r = p.rect;
  switch (state) {
    case DockState::Free:
      if (area.top && r.top - s.top < kSnapDistance) {
        p.state = DockState::Top;
        r = r.movedTo(r.left, s.top);
      }
      if (area.left && r.left - s.left < kSnapDistance) {
        p.state = DockState::Left;
        r = r.movedTo(s.left, r.top);
      } else if (area.right && r.right > s.right - kSnapDistance) {
        p.state = DockState::Right;
        r = r.movedTo(s.right - r.width(), r.top);
      }
      break;
    case DockState::Top:
      if (cursor.y - s.top < 6) {
        r = r.movedTo(r.left, s.top);
        if (area.left && r.left - s.left <= 4) {
          r = r.movedTo(s.left, s.top);
        } else if (area.right && r.right > s.right - kSnapDistance) {
          r = r.movedTo(s.right - r.width(), s.top);
        }
      } else {
        p.state = DockState::Free;
        r = r.movedTo(r.left, s.top + kSnapDistance);
      }
      break;
    case DockState::Left:
      if (cursor.x > r.right) {
        p.state = DockState::Free;
        r = r.movedTo(s.left + kSnapDistance, r.top);
      } else {
        r = r.movedTo(s.left, r.top);
      }
      break;
    case DockState::Right:
      if (cursor.x < r.left) {
        p.state = DockState::Free;
        r = r.movedTo(r.left - kSnapDistance, r.top);
      } else {
        r = r.movedTo(s.right - r.width(), r.top);
      }
      break;
  }
  if ((p.state == DockState::Left || p.state == DockState::Right) && area.top &&
      r.top - s.top < kSnapDistance)
    r = r.movedTo(r.left, s.top);
  return p;
}

std::optional<Rect> slideTarget(DockState state, const Rect& window, bool in,
                                const DockArea& area) {
  const Rect& s = area.screen;
  switch (state) {
    case DockState::Free:
      return std::nullopt;
    case DockState::Top:
      return window.movedTo(window.left, in ? s.top : s.top + kStripWidth - window.height());
    case DockState::Left:
      return window.movedTo(in ? s.left : s.left + kStripWidth - window.width(), window.top);
    case DockState::Right:
      return window.movedTo(in ? s.right - window.width() : s.right - kStripWidth, window.top);
  }
  return std::nullopt;
}

std::array<Rect, 3> slideSteps(const Rect& from, const Rect& to) {
  const int dx = (to.left - from.left) / 2;
  const int dy = (to.top - from.top) / 2;
  return {from.movedTo(from.left + dx, from.top + dy),
          from.movedTo(from.left + 2 * dx, from.top + 2 * dy), to};
}

DockArea Docker::area() const {
  const std::vector<Rect> screens = m_host.screens();
  return dockAreaOf(screens, m_host.frame());
}

void Docker::moveTo(const Rect& r, bool hiding) {
  if (r.topLeft() == m_host.frame().topLeft()) return;
  if (m_asked.size() >= kAskedKept) m_asked.erase(m_asked.begin());
  m_asked.push_back({r, m_host.now() + kAnswerWait, hiding});
  m_host.moveFrame(r.topLeft());
}

bool Docker::answersOurMove(const Rect& now, bool settling) {
  const auto time = m_host.now();
  std::erase_if(m_asked, [time](const Asked& a) { return a.until < time; });
  const DockArea where = area();
  for (auto it = m_asked.rbegin(); it != m_asked.rend(); ++it) {
    const Rect& asked = it->target;
    if (asked.topLeft() == now.topLeft()) {
      // Qt echoes a move at once; the manager may still answer an off-screen one, and while
      // it maps the window every one. A window back on the screen has had every answer it
      // waits for.
      if (!settling && where.screen.contains(asked)) m_asked.erase(m_asked.begin(), it.base());
      return true;
    }
    if (where.screen.contains(asked)) continue;
    // The manager stops an off-screen window short, somewhere between where it was asked to
    // go and where the whole window would show.
    const Rect onScreen = clampedInto(asked, where.screen);
    if (between(now.left, asked.left, onScreen.left) && between(now.top, asked.top, onScreen.top)) {
      if (it->hiding && where.screen.contains(now)) m_hidingRefused = m_state;
      return true;
    }
  }
  return false;
}

void Docker::place(Point saved) {
  const std::vector<Rect> screens = m_host.screens();
  moveTo(onSomeScreen(screens, m_host.frame().movedTo(saved.x, saved.y)));
  m_placed = true;
  m_settleUntil = m_host.now() + kSettleWait;
  m_host.startSlideTimer(kFirstCheck);
  if (!m_canDock) return;
  const Rect now = m_host.frame();
  const Placement p = dockOnPlacement(now, dockAreaOf(screens, now));
  m_state = p.state;
  moveTo(p.rect);
}

void Docker::moved(Point cursor) {
  if (!m_placed) return;
  const Rect now = m_host.frame();
  const bool settling = m_host.now() < m_settleUntil;
  const bool ours = answersOurMove(now, settling);
  if (settling) {
    // The manager's frame or placement, or its answer to ours: docked again by the placement
    // rules, not the user's.
    if (!m_canDock) return;
    const Placement p = dockOnPlacement(now, area());
    m_state = p.state;
    // Mapping the window, a manager reports a place of its own (a corner, its frame's offset)
    // before it answers ours: asking again from there would undo the saved position.
    if (m_asked.empty()) moveTo(p.rect);
    return;
  }
  if (ours) return;
  m_host.recordPosition(now.topLeft());
  if (!m_canDock) return;
  const Placement p = snapWhileMoving(m_state, now, cursor, area());
  if (p.state != m_state) m_hidingRefused.reset();
  m_state = p.state;
  moveTo(p.rect);
}

void Docker::slide(bool in) {
  m_settleUntil = {};
  if (!in && m_hidingRefused == m_state) return;
  const Rect from = m_host.frame();
  const auto target = slideTarget(m_state, from, in, area());
  if (!target || *target == from) return;
  const auto steps = slideSteps(from, *target);
  for (const Rect& step : steps) {
    moveTo(step, !in && step == *target);
    if (step != *target) m_host.betweenSlideSteps();
  }
  if (in) m_host.startSlideTimer(kAfterSlideIn);
}

void Docker::pointerOver() {
  if (!m_placed) return;
  slide(true);
  if (area().screen.contains(m_host.frame())) m_host.startSlideTimer(kAfterPointer);
}

void Docker::slideTimer(Point cursor) {
  const Rect r = m_host.frame();
  const bool inside =
      cursor.x >= r.left && cursor.x < r.right && cursor.y >= r.top && cursor.y < r.bottom;
  if (inside) return;
  m_host.stopSlideTimer();
  slide(false);
}

}  // namespace tivra::ui

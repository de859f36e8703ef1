#include "ui/docking.h"

namespace tivra::ui {

Placement dockOnPlacement(const Rect& window, int screenWidth) {
  Placement p{DockState::Free, window};
  Rect& r = p.rect;
  if (r.left > 4) {
    if (r.right > screenWidth - kSnapDistance) {
      p.state = DockState::Right;
      const bool flush = r.right == screenWidth || r.left + kStripWidth == screenWidth;
      if (!flush) r = r.movedTo(screenWidth - r.width(), r.top);
    }
  } else {
    p.state = DockState::Left;
    if (r.left != 0 && r.right != kStripWidth) r = r.movedTo(0, r.top);
  }
  if (r.top < kSnapDistance) {
    p.state = DockState::Top;
    if (r.top != 0 && r.bottom != kStripWidth) r = r.movedTo(r.left, 0);
  }
  return p;
}

Placement snapWhileMoving(DockState state, const Rect& proposed, Point cursor, int screenWidth) {
  Placement p{state, proposed};
  Rect& r = p.rect;
  switch (state) {
    case DockState::Free:
      if (r.top < kSnapDistance) {
        p.state = DockState::Top;
        r = r.movedTo(r.left, 0);
      }
      if (r.left < kSnapDistance) {
        p.state = DockState::Left;
        r = r.movedTo(0, r.top);
      } else if (r.right > screenWidth - kSnapDistance) {
        p.state = DockState::Right;
        r = r.movedTo(screenWidth - r.width(), r.top);
      }
      break;
    case DockState::Top:
      if (cursor.y < 6) {
        r = r.movedTo(r.left, 0);
        if (r.left <= 4) {
          r = r.movedTo(0, 0);
        } else if (r.right > screenWidth - kSnapDistance) {
          r = r.movedTo(screenWidth - r.width(), 0);
        }
      } else {
        p.state = DockState::Free;
        r = r.movedTo(r.left, kSnapDistance);
      }
      break;
    case DockState::Left:
      if (cursor.x > r.right) {
        p.state = DockState::Free;
        r = r.movedTo(kSnapDistance, r.top);
      } else {
        r = r.movedTo(0, r.top);
      }
      break;
    case DockState::Right:
      if (cursor.x < r.left) {
        p.state = DockState::Free;
        r = r.movedTo(r.left - kSnapDistance, r.top);
      } else {
        r = r.movedTo(screenWidth - r.width(), r.top);
      }
      break;
  }
  if ((p.state == DockState::Left || p.state == DockState::Right) && r.top < kSnapDistance)
    r = r.movedTo(r.left, 0);
  return p;
}

std::optional<Rect> slideTarget(DockState state, const Rect& window, bool in, int screenWidth) {
  switch (state) {
    case DockState::Free:
      return std::nullopt;
    case DockState::Top:
      return window.movedTo(window.left, in ? 0 : kStripWidth - window.height());
    case DockState::Left:
      return window.movedTo(in ? 0 : kStripWidth - window.width(), window.top);
    case DockState::Right:
      return window.movedTo(in ? screenWidth - window.width() : screenWidth - kStripWidth,
                            window.top);
  }
  return std::nullopt;
}

std::array<Rect, 3> slideSteps(const Rect& from, const Rect& to) {
  const int dx = (to.left - from.left) / 2;
  const int dy = (to.top - from.top) / 2;
  return {from.movedTo(from.left + dx, from.top + dy),
          from.movedTo(from.left + 2 * dx, from.top + 2 * dy), to};
}

}  // namespace tivra::ui

#pragma once

// The window "Render": the simulated globe's current view, redrawn when the globe changes (tiles
// arrive, the camera flies, documents update). Dragging pans and the wheel zooms, each as a
// camera move of the globe, so its network links follow as they would for any KML client.

#include <QImage>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <optional>

#include "globe/earth.h"

namespace tivra::globe {
class SimGlobe;
}

namespace tivra::ui {

// What the picture depends on; a new one means a redraw.
struct GlobeViewState {
  std::uint64_t fetches = 0;
  std::uint64_t updates = 0;
  std::uint64_t stops = 0;
  double longitude = 0.0, latitude = 0.0, range = 0.0;
  bool operator==(const GlobeViewState&) const = default;
};

class GlobeView final : public QWidget {
 public:
  // Both must outlive the view; earth is the main thread's handle.
  GlobeView(globe::SimGlobe& globe, globe::Earth& earth, QWidget* parent = nullptr);

  // Draws the globe's view now when it changed (or when forced); true when it drew.
  bool redraw(bool force = false);
  const QImage& picture() const { return m_picture; }
  // How long the last drawing took.
  std::chrono::microseconds lastDrawTime() const { return m_lastDraw; }

  // Camera moves (instant): pan by a pixel delta of the widget, zoom by wheel steps.
  void pan(QPoint pixelDelta);
  void zoom(double steps);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  std::optional<GlobeViewState> state() const;
  void moveCamera(const globe::Camera& camera);

  globe::SimGlobe& m_globe;
  globe::Earth& m_earth;
  QTimer m_poll;
  QImage m_picture;
  std::optional<GlobeViewState> m_drawn;
  std::optional<QPoint> m_dragFrom;
  std::chrono::microseconds m_lastDraw{0};
};

}  // namespace tivra::ui

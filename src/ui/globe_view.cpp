#include "ui/globe_view.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "globe/globe_view.h"
#include "globe/sim_globe.h"
#include "platform/log.h"

namespace tivra::ui {

namespace {

// Autopilot speeds of 5 and above move the camera at once.
constexpr double kInstant = 5.0;
constexpr auto kPollInterval = std::chrono::milliseconds(100);
// Range limits of the wheel: a street and the whole globe.
constexpr double kMinRange = 50.0;
constexpr double kMaxRange = 30'000'000.0;

}  // namespace

GlobeView::GlobeView(globe::SimGlobe& globe, globe::Earth& earth, QWidget* parent)
    : QWidget(parent, Qt::Window), m_globe(globe), m_earth(earth) {
  setWindowTitle("Render");
  const globe::ViewGeometry view = m_globe.view();
  // Half the globe's picture keeps the window beside the main window on a laptop screen.
  resize(std::max(view.widthPx / 2, 64), std::max(view.heightPx / 2, 48));
  setMouseTracking(false);
  m_poll.setInterval(kPollInterval);
  connect(&m_poll, &QTimer::timeout, this, [this] { redraw(); });
  m_poll.start();
}

std::optional<GlobeViewState> GlobeView::state() const {
  try {
    const globe::GlobeStats stats = m_globe.stats();
    const globe::Camera camera = m_earth.GetCamera(false);
    return GlobeViewState{stats.fetches,
                          stats.updateOpsApplied + stats.documentsLoaded + stats.imagesDecoded,
                          stats.cameraStops,
                          camera.FocusPointLongitude,
                          camera.FocusPointLatitude,
                          camera.Range};
  } catch (const globe::EarthError&) {
    return std::nullopt;  // the globe has stopped
  }
}

bool GlobeView::redraw(bool force) {
  const auto now = state();
  if (!now) return false;
  if (!force && m_drawn && *m_drawn == *now) return false;
  const auto start = std::chrono::steady_clock::now();
  try {
    const globe::RgbaImage image = m_globe.render();
    QImage picture(image.rgba.data(), image.width, image.height, image.width * 4,
                   QImage::Format_RGBA8888);
    m_picture = picture.copy();  // the bytes go with image
  } catch (const globe::EarthError& e) {
    platform::debugTrace(std::string("globe view: ") + e.what());
    return false;
  }
  m_lastDraw = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  m_drawn = now;
  update();
  return true;
}

void GlobeView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (m_picture.isNull()) {
    painter.fillRect(rect(), QColor(16, 24, 40));
    return;
  }
  // The picture fills the view: screen coordinates -1..1 span the widget either way.
  painter.drawImage(rect(), m_picture);
}

void GlobeView::moveCamera(const globe::Camera& camera) {
  try {
    m_earth.SetCamera(camera, kInstant);
  } catch (const globe::EarthError& e) {
    platform::debugTrace(std::string("globe view: ") + e.what());
  }
  redraw();
}

void GlobeView::pan(QPoint pixelDelta) {
  if (width() <= 0 || height() <= 0) return;
  try {
    globe::Camera camera = m_earth.GetCamera(false);
    const globe::ViewGeometry view = m_globe.view();
    // Dragging the ground to the right moves the focus west.
    camera.FocusPointLongitude -= pixelDelta.x() * 2.0 * view.halfWidthDeg / width();
    camera.FocusPointLatitude += pixelDelta.y() * 2.0 * view.halfHeightDeg / height();
    camera.FocusPointLongitude = globe::wrapDegrees(camera.FocusPointLongitude);
    camera.FocusPointLatitude = std::clamp(camera.FocusPointLatitude, -85.0, 85.0);
    moveCamera(camera);
  } catch (const globe::EarthError& e) {
    platform::debugTrace(std::string("globe view: ") + e.what());
  }
}

void GlobeView::zoom(double steps) {
  try {
    globe::Camera camera = m_earth.GetCamera(false);
    camera.Range = std::clamp(camera.Range * std::pow(0.8, steps), kMinRange, kMaxRange);
    moveCamera(camera);
  } catch (const globe::EarthError& e) {
    platform::debugTrace(std::string("globe view: ") + e.what());
  }
}

void GlobeView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) m_dragFrom = event->position().toPoint();
}

void GlobeView::mouseMoveEvent(QMouseEvent* event) {
  if (!m_dragFrom) return;
  const QPoint at = event->position().toPoint();
  pan(at - *m_dragFrom);
  m_dragFrom = at;
}

void GlobeView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) m_dragFrom.reset();
}

void GlobeView::wheelEvent(QWheelEvent* event) {
  // One notch is 120 eighths of a degree; forward zooms in.
  zoom(event->angleDelta().y() / 120.0);
}

}  // namespace tivra::ui

#pragma once

// The navigation page "导航": the three point boxes filled by dragging the picker onto the globe
// view "Render", the via count, clear, navigate, the bird's-eye flight button and its three
// sliders. Bound to search::NavPage, which does the picking arithmetic, the route and the flight.

#include <QEvent>
#include <QWidget>
#include <functional>
#include <optional>

#include "ui/docking.h"
#include "ui/gpx_file.h"
#include "ui/map_page.h"

class QLabel;
class QLineEdit;
class QMouseEvent;
class QPushButton;
class QSlider;

namespace tivra::search {
class NavPage;
}

namespace tivra::ui {

// The screen rectangle of the window titled "Render" (compared without case), wherever the
// cursor is; nullopt when there is none.
using RenderWindowLocator = std::function<std::optional<Rect>()>;
std::optional<Rect> findRenderWindow();

class NavPage final : public QWidget {
 public:
  explicit NavPage(search::NavPage& core, QWidget* parent = nullptr);
  ~NavPage() override;

  // Test and embedding seams: the view under the cursor, and the view at a drag's start.
  void setRenderViewLocator(RenderViewLocator locator) { m_viewUnder = std::move(locator); }
  void setRenderWindowLocator(RenderWindowLocator locator) { m_renderWindow = std::move(locator); }

  QLineEdit* startEdit() const { return m_edits[0]; }
  QLineEdit* viaEdit() const { return m_edits[1]; }
  QLineEdit* endEdit() const { return m_edits[2]; }
  QLabel* countLabel() const { return m_count; }
  QPushButton* clearButton() const { return m_clear; }
  QLabel* picker() const { return m_picker; }
  QPushButton* navigateButton() const { return m_navigate; }
  // "正在查询…" while the route is queried, else empty.
  QLabel* queryLabel() const { return m_query; }
  QPushButton* flyButton() const { return m_fly; }
  // "导出GPX…": the route on the globe; enabled while there is one.
  QPushButton* exportButton() const { return m_export; }
  void setGpxFileChooser(GpxFileChooser chooser) { m_chooseGpx = std::move(chooser); }
  QSlider* speedSlider() const { return m_speed; }
  QSlider* heightSlider() const { return m_height; }
  QSlider* angleSlider() const { return m_angle; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  // The core's members into the controls, and the sliders into the core (message 1229).
  void writeControls();
  void readSliders();
  bool pickerEvent(QEvent::Type type, const QMouseEvent& mouse);
  void endDrag(Point at);

  search::NavPage& m_core;
  RenderViewLocator m_viewUnder = findRenderView;
  RenderWindowLocator m_renderWindow = findRenderWindow;
  QLineEdit* m_edits[3];
  QLabel* m_count;
  QPushButton* m_clear;
  QLabel* m_picker;
  QPushButton* m_navigate;
  QLabel* m_query;
  QPushButton* m_fly;
  QPushButton* m_export;
  GpxFileChooser m_chooseGpx;
  QSlider* m_speed;
  QSlider* m_height;
  QSlider* m_angle;
};

}  // namespace tivra::ui

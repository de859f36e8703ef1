#pragma once

// The map page "地图": offsets, automatic offset, zoom, transparency and image enhancement. Its
// values are the hub's map values, which the request handlers read; the page writes them under
// StateLock and shows them again on WM_MAP_PAGE_REFRESH.

#include <QWidget>
#include <functional>
#include <optional>

#include "ui/dialogs.h"
#include "ui/docking.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QSlider;

namespace tivra::app {
class MainWindow;
}
namespace tivra::platform {
class Frontend;
}

namespace tivra::ui {

// The globe view's screen rectangle when the window under the cursor is titled "Render".
using RenderViewLocator = std::function<std::optional<Rect>(Point globalCursor)>;
// Finds it among the program's top-level windows.
std::optional<Rect> findRenderView(Point globalCursor);

class MapPage final : public QWidget {
 public:
  MapPage(app::MainWindow& hub, platform::Frontend& frontend, QWidget* parent = nullptr);

  // The page's controls from its values (WM_MAP_PAGE_REFRESH).
  void refresh();

  // The cache size in megabytes (not stored).
  int cacheSize() const { return m_cacheSize; }

  // Test and embedding seams.
  void setRenderViewLocator(RenderViewLocator locator) { m_locateView = std::move(locator); }
  void setDataShareFileChooser(DataShareChooser chooser) { m_chooseFile = std::move(chooser); }

  NumberBox* xBox() const { return m_xBox; }
  NumberBox* yBox() const { return m_yBox; }
  QCheckBox* autoCheck() const { return m_auto; }
  QLabel* dragIcon() const { return m_dragIcon; }
  NumberBox* zoomBox() const { return m_zoomBox; }
  QSlider* transparencySlider() const { return m_transparency; }
  QCheckBox* enhancementCheck() const { return m_enhancement; }
  QPushButton* settingsButton() const { return m_settings; }
  QPushButton* dataShareButton() const { return m_dataShare; }
  bool dragging() const { return m_dragging; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void storeControls();
  void onOffsetEdited();
  void onOffsetStepped();
  void onZoomChanged();
  void startDrag();
  void dragTo(Point globalCursor);
  void endDrag(Point globalCursor);
  void openImageAdvanced();
  void openDataShare();

  app::MainWindow& m_hub;
  platform::Frontend& m_frontend;
  int m_cacheSize = 500;
  bool m_dragging = false;
  int m_dragStartX = 0;
  int m_dragStartY = 0;
  RenderViewLocator m_locateView = findRenderView;
  DataShareChooser m_chooseFile;

  NumberBox* m_xBox;
  NumberBox* m_yBox;
  QCheckBox* m_auto;
  QLabel* m_dragIcon;
  QPushButton* m_dataShare;
  NumberBox* m_zoomBox;
  QSlider* m_transparency;
  QCheckBox* m_enhancement;
  QPushButton* m_settings;
};

}  // namespace tivra::ui

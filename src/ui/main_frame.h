#pragma once

// The main window "Tivra": a small tool window with the tab control of the pages, docking to the
// screen's top, left and right edges and sliding out of sight there like a toolbar.

#include <QTimer>
#include <QWidget>
#include <functional>
#include <string_view>
#include <vector>

#include "ui/docking.h"

class QPushButton;
class QTabWidget;

namespace tivra::app {
class MainWindow;
}
namespace tivra::platform {
class Frontend;
}

namespace tivra::ui {

class GpsPage;
class MapPage;
class NavPage;
class SearchPage;
class StatusLine;

// "关于 Tivra": the program's name and version.
void showAbout(QWidget* parent);

class MainFrame final : public QWidget, private DockHost {
 public:
  MainFrame(app::MainWindow& hub, platform::Frontend& frontend, QWidget* parent = nullptr);
  // Hands the GPS page's choices to the hub, which keeps them.
  ~MainFrame() override;

  MapPage* mapPage() const { return m_mapPage; }
  // Null when the page was not created (navigation and search need an online globe
  // newer than 4.0.2091, GPS the globe in use).
  NavPage* navPage() const { return m_navPage; }
  SearchPage* searchPage() const { return m_searchPage; }
  GpsPage* gpsPage() const { return m_gpsPage; }
  QTabWidget* tabs() const { return m_tabs; }
  // The page named map, nav, search or gps; null when it is not in this window.
  QWidget* page(std::string_view name) const;
  StatusLine* statusLine() const { return m_statusLine; }
  // A second start asked for the window: shown, in front, slid in when docked.
  void bringForward();

  // The close path: closing flag, stop messages, bounded wait, end of the loop.
  void setCloseHandler(std::function<void()> handler) { m_onClose = std::move(handler); }
  // The button "在浏览器中打开" below the tabs: opens url (the globe page) in the desktop's
  // browser.
  void addBrowserButton(const QString& url);
  QPushButton* browserButton() const { return m_browserButton; }
  // The window menu's item "显示三维视图" that shows view ("Render") again once the user closed
  // it; picking on the globe needs it on the screen. The view must outlive the window.
  void addRenderViewAction(QWidget* view);
  // Once shown: moved to XPos, YPos, docked by its placement, timer 275 at 1000 ms.
  void place();

  DockState dockState() const { return m_docker.state(); }
  // Whether the window system lets the program place its own window.
  bool canDock() const { return m_canDock; }
  const QTimer& slideTimer() const { return m_slideTimer; }

  // The moving and sliding rules, for a move the window system made or the pointer's arrival.
  void onMoved(Point cursor);
  void onPointerOver();
  void onSlideTimer(Point cursor);

  // Tests give the cursor's position; the window asks the system otherwise.
  void setCursorSource(std::function<Point()> source) { m_cursor = std::move(source); }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  // The window system as the docking rules see it.
  Rect frame() const override;
  std::vector<Rect> screens() const override;
  void moveFrame(Point topLeft) override;
  void betweenSlideSteps() override;
  void startSlideTimer(std::chrono::milliseconds interval) override;
  void stopSlideTimer() override;
  void recordPosition(Point topLeft) override;
  Clock::time_point now() const override { return Clock::now(); }
  // The hub's remembered page and GPS choices into the widgets, and back.
  void restoreChoices();
  void recordChoices();

  app::MainWindow& m_hub;
  QTabWidget* m_tabs;
  MapPage* m_mapPage;
  NavPage* m_navPage = nullptr;
  SearchPage* m_searchPage = nullptr;
  GpsPage* m_gpsPage = nullptr;
  QPushButton* m_browserButton = nullptr;
  StatusLine* m_statusLine;
  QTimer m_slideTimer;  // timer 275
  bool m_canDock = true;
  Docker m_docker;
  std::function<void()> m_onClose;
  std::function<Point()> m_cursor;
};

}  // namespace tivra::ui

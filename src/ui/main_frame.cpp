#include "ui/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTabWidget>
#include <QThread>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "app/main_window.h"
#include "platform/serial_port.h"
#include "ui/gps_page.h"
#include "ui/map_page.h"
#include "ui/nav_page.h"
#include "ui/search_page.h"
#include "ui/status_line.h"

namespace tivra::ui {

namespace {

constexpr int kSlideTimer = 275;  // the timer's id, kept for traces

// Native Wayland does not let a program place its own window: the window stays free there.
bool canPlaceWindows() {
  return QGuiApplication::platformName() != "wayland";
}

}  // namespace

void showAbout(QWidget* parent) {
  QDialog about(parent);
  about.setWindowTitle("关于 Tivra");
  auto* layout = new QVBoxLayout(&about);
  layout->addWidget(new QLabel("Tivra Version 4.0", &about));
  layout->addWidget(new QLabel("中国人用的Google Earth插件", &about));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &about);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &about, &QDialog::accept);
  layout->addWidget(buttons);
  about.exec();
}

MainFrame::MainFrame(app::MainWindow& hub, platform::Frontend& frontend, QWidget* parent)
    : QWidget(parent, Qt::Tool), m_hub(hub), m_docker(*this, canPlaceWindows()) {
  setWindowTitle("Tivra");
  setObjectName(QString("tivraMainWindow%1").arg(kSlideTimer));
  m_tabs = new QTabWidget(this);
  m_mapPage = new MapPage(hub, frontend, m_tabs);
  m_tabs->addTab(m_mapPage, "地图");
  // Created in the order of the tabs, each only where its core was made.
  if (hub.navPage() != nullptr && hub.searchPage() != nullptr) {
    m_navPage = new NavPage(*hub.navPage(), m_tabs);
    m_tabs->addTab(m_navPage, "导航");
    m_searchPage = new SearchPage(*hub.searchPage(), m_tabs);
    m_tabs->addTab(m_searchPage, "搜索");
  }
  if (hub.gpsPageWanted()) {
    m_gpsPage =
        new GpsPage(hub.gpsPage(), platform::enumerateSerialPorts(hub.hosts().serialPorts), m_tabs);
    m_tabs->addTab(m_gpsPage, "GPS");
  }

  auto* aboutButton = new QToolButton(m_tabs);
  aboutButton->setText("?");
  aboutButton->setAutoRaise(true);
  m_tabs->setCornerWidget(aboutButton);
  auto* aboutAction = new QAction("关于 Tivra(&A)...", this);
  connect(aboutAction, &QAction::triggered, this, [this] { showAbout(this); });
  connect(aboutButton, &QToolButton::clicked, aboutAction, &QAction::trigger);
  addAction(aboutAction);
  setContextMenuPolicy(Qt::ActionsContextMenu);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(2, 2, 2, 2);
  layout->addWidget(m_tabs);
  m_statusLine = new StatusLine(hub, this);
  layout->addWidget(m_statusLine);
  restoreChoices();
  // 107 x 133 dialog units, grown to what the Chinese labels need.
  const QFontMetrics fm(font());
  const int unitX = fm.averageCharWidth();
  const int unitY = fm.height();
  const QSize dialogUnits(107 * unitX / 4, 133 * unitY / 8);
  resize(dialogUnits.expandedTo(sizeHint()));
  setMouseTracking(true);

  m_canDock = canPlaceWindows();
  m_slideTimer.setSingleShot(false);
  connect(&m_slideTimer, &QTimer::timeout, this, [this] { onSlideTimer(m_cursor()); });
  m_cursor = [] {
    const QPoint p = QCursor::pos();
    return Point{p.x(), p.y()};
  };
}

MainFrame::~MainFrame() {
  recordChoices();
}

QWidget* MainFrame::page(std::string_view name) const {
  if (name == "map") return m_mapPage;
  if (name == "nav") return m_navPage;
  if (name == "search") return m_searchPage;
  if (name == "gps") return m_gpsPage;
  return nullptr;
}

void MainFrame::restoreChoices() {
  app::WindowChoices& c = m_hub.windowChoices();
  if (m_gpsPage != nullptr) {
    m_gpsPage->fileEdit()->setText(QString::fromStdString(c.gpsFile));
    m_gpsPage->timeBox()->setValue(c.gpsTimeFactor);
    // A click, as the user's: the page reads its controls and enables those of the kind.
    QRadioButton* kinds[] = {m_gpsPage->comRadio(), m_gpsPage->demoRadio(), m_gpsPage->fileRadio()};
    if (c.gpsKind >= 0 && c.gpsKind < 3) kinds[c.gpsKind]->click();
  }
  if (QWidget* shown = page(c.page)) m_tabs->setCurrentWidget(shown);
  connect(m_tabs, &QTabWidget::currentChanged, this, [this] { recordChoices(); });
}

void MainFrame::recordChoices() {
  app::WindowChoices& c = m_hub.windowChoices();
  for (const char* name : {"map", "nav", "search", "gps"})
    if (page(name) != nullptr && page(name) == m_tabs->currentWidget()) c.page = name;
  if (m_gpsPage == nullptr) return;
  if (m_gpsPage->comRadio()->isChecked()) c.gpsKind = 0;
  if (m_gpsPage->demoRadio()->isChecked()) c.gpsKind = 1;
  if (m_gpsPage->fileRadio()->isChecked()) c.gpsKind = 2;
  c.gpsFile = m_gpsPage->fileEdit()->text().toStdString();
  const double factor = m_gpsPage->timeBox()->value();
  if (factor > 0) c.gpsTimeFactor = factor;
}

void MainFrame::bringForward() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
  onPointerOver();
}

void MainFrame::addBrowserButton(const QString& url) {
  if (m_browserButton != nullptr) return;
  m_browserButton = new QPushButton("在浏览器中打开", this);
  connect(m_browserButton, &QPushButton::clicked, this,
          [url] { QDesktopServices::openUrl(QUrl(url)); });
  layout()->addWidget(m_browserButton);
}

void MainFrame::addRenderViewAction(QWidget* view) {
  auto* show = new QAction("显示三维视图(&R)", this);
  connect(show, &QAction::triggered, view, [view] {
    view->show();
    view->raise();
    view->activateWindow();
  });
  addAction(show);
}

Rect MainFrame::frame() const {
  const QRect r = frameGeometry();
  return {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
}

std::vector<Rect> MainFrame::screens() const {
  std::vector<Rect> rects;
  const QScreen* primary = QGuiApplication::primaryScreen();
  QList<QScreen*> all = QGuiApplication::screens();
  std::stable_partition(all.begin(), all.end(), [primary](QScreen* s) { return s == primary; });
  for (const QScreen* s : all) {
    const QRect g = s->geometry();
    rects.push_back({g.left(), g.top(), g.left() + g.width(), g.top() + g.height()});
  }
  return rects;
}

void MainFrame::moveFrame(Point topLeft) {
  move(topLeft.x, topLeft.y);
}

void MainFrame::betweenSlideSteps() {
  repaint();
  QThread::msleep(5);
}

void MainFrame::startSlideTimer(std::chrono::milliseconds interval) {
  m_slideTimer.start(interval);
}

void MainFrame::stopSlideTimer() {
  m_slideTimer.stop();
}

void MainFrame::recordPosition(Point topLeft) {
  m_hub.setWindowPosition(topLeft.x, topLeft.y);
}

void MainFrame::place() {
  const app::MainSettings& s = m_hub.settings();
  m_docker.place({s.xPos, s.yPos});
}

void MainFrame::onMoved(Point cursor) {
  m_docker.moved(cursor);
}

void MainFrame::onPointerOver() {
  m_docker.pointerOver();
}

void MainFrame::onSlideTimer(Point cursor) {
  m_docker.slideTimer(cursor);
}

void MainFrame::closeEvent(QCloseEvent* event) {
  m_slideTimer.stop();
  if (m_onClose) m_onClose();
  event->accept();
}

void MainFrame::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  m_docker.moved(m_cursor());
}

void MainFrame::enterEvent(QEnterEvent* event) {
  QWidget::enterEvent(event);
  onPointerOver();
}

void MainFrame::mouseMoveEvent(QMouseEvent* event) {
  QWidget::mouseMoveEvent(event);
  onPointerOver();
}

}  // namespace tivra::ui

#include "ui/nav_page.h"

#include <QApplication>
#include <QCursor>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>
#include <QWindow>

#include "search/gpx_export.h"
#include "search/nav_page.h"

namespace tivra::ui {

namespace {

// The trackbars keep the control's default range 0 to 100.
constexpr int kSliderMax = 100;

// The picker: a pin, blue at rest (icon 141) and red while dragging (icon 142).
QPixmap pickerPixmap(bool dragging) {
  QPixmap pixmap(24, 24);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor colour = dragging ? QColor(200, 30, 30) : QColor(30, 80, 200);
  p.setPen(QPen(colour.darker(), 1.5));
  p.setBrush(colour);
  p.drawEllipse(QPointF(12, 8), 6, 6);
  p.drawLine(QPointF(12, 14), QPointF(12, 23));
  return pixmap;
}

QString qs(const std::string& text) {
  return QString::fromStdString(text);
}

}  // namespace

std::optional<Rect> findRenderWindow() {
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (!top->isVisible() || top->windowTitle().compare("Render", Qt::CaseInsensitive) != 0)
      continue;
    const QRect r(top->mapToGlobal(QPoint(0, 0)), top->size());
    return Rect{r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
  }
  return std::nullopt;
}

NavPage::NavPage(search::NavPage& core, QWidget* parent) : QWidget(parent), m_core(core) {
  setWindowTitle("导航");
  auto* route = new QGroupBox("导航", this);
  auto* grid = new QGridLayout(route);
  const char* labels[] = {"起点", "途经", "终点"};
  for (int i = 0; i < 3; ++i) {
    m_edits[i] = new QLineEdit(route);
    m_edits[i]->setReadOnly(true);
    m_edits[i]->installEventFilter(this);
    grid->addWidget(new QLabel(labels[i], route), i, 0);
    grid->addWidget(m_edits[i], i, 1, 1, 2);
  }
  m_count = new QLabel(route);
  m_clear = new QPushButton("清空", route);
  m_picker = new QLabel(route);
  m_picker->setPixmap(pickerPixmap(false));
  m_picker->setToolTip("拖到三维视图上选点");
  m_picker->installEventFilter(this);
  m_navigate = new QPushButton("导航", route);
  auto* row = new QHBoxLayout;
  row->addWidget(m_count);
  row->addWidget(m_clear);
  row->addWidget(m_picker);
  row->addWidget(m_navigate);
  grid->addLayout(row, 3, 0, 1, 3);
  m_query = new QLabel(route);
  grid->addWidget(m_query, 4, 0, 1, 3);
  m_export = new QPushButton(kExportGpxText, route);
  grid->addWidget(m_export, 5, 0, 1, 3);

  auto* flight = new QGroupBox("鸟瞰", this);
  auto* flightGrid = new QGridLayout(flight);
  m_fly = new QPushButton(flight);
  m_speed = new QSlider(Qt::Horizontal, flight);
  m_height = new QSlider(Qt::Horizontal, flight);
  m_angle = new QSlider(Qt::Horizontal, flight);
  const char* sliderLabels[] = {"速度", "高度", "角度"};
  QSlider* sliders[] = {m_speed, m_height, m_angle};
  for (int i = 0; i < 3; ++i) {
    sliders[i]->setRange(0, kSliderMax);
    flightGrid->addWidget(new QLabel(sliderLabels[i], flight), i, 0);
    flightGrid->addWidget(sliders[i], i, 1);
  }
  flightGrid->addWidget(m_fly, 3, 0, 1, 2);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addWidget(route);
  layout->addWidget(flight);
  layout->addStretch();

  // The page's members into its controls at creation: the sliders start at 5, 8 and 45.
  writeControls();
  m_core.onMembersChanged = [this] { writeControls(); };
  m_core.onReadControls = [this] { readSliders(); };

  connect(m_clear, &QPushButton::clicked, this, [this] { m_core.clearVia(); });
  // The route downloads off this thread; during it the button cancels.
  connect(m_navigate, &QPushButton::clicked, this, [this] {
    if (m_core.querying()) {
      m_core.cancelQuery();
    } else {
      m_core.navigate();
    }
  });
  connect(m_export, &QPushButton::clicked, this, [this] {
    if (const search::Route* r = m_core.route()) exportGpx(this, m_chooseGpx, search::routeGpx(*r));
  });
  connect(m_fly, &QPushButton::clicked, this, [this] {
    readSliders();
    m_core.flyButton();
  });
}

NavPage::~NavPage() {
  // The core outlives the page; its flight may still post.
  m_core.onMembersChanged = nullptr;
  m_core.onReadControls = nullptr;
}

void NavPage::writeControls() {
  const std::string* texts[] = {&m_core.startText, &m_core.viaText, &m_core.endText};
  for (int i = 0; i < 3; ++i) {
    if (m_edits[i]->text() != qs(*texts[i])) m_edits[i]->setText(qs(*texts[i]));
  }
  m_count->setText(qs(m_core.countLabel));
  m_fly->setText(qs(m_core.flyText));
  m_fly->setEnabled(m_core.flyEnabled);
  m_export->setEnabled(m_core.route() != nullptr && !m_core.querying());
  m_navigate->setText(qs(m_core.navigateText));
  m_navigate->setEnabled(m_core.navigateEnabled);
  m_query->setText(qs(m_core.queryText));
  const search::FlightState& f = m_core.flight();
  const QSignalBlocker bs(m_speed), bh(m_height), ba(m_angle);
  m_speed->setValue(f.speed);
  m_height->setValue(f.height);
  m_angle->setValue(f.angle);
}

void NavPage::readSliders() {
  m_core.setSliders(m_speed->value(), m_height->value(), m_angle->value());
}

bool NavPage::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type == QEvent::FocusIn) {
    for (int i = 0; i < 3; ++i) {
      if (watched == m_edits[i]) m_core.focusEdit(1001 + i);
    }
    return QWidget::eventFilter(watched, event);
  }
  if (watched == m_picker && (type == QEvent::MouseButtonPress || type == QEvent::MouseMove ||
                              type == QEvent::MouseButtonRelease))
    return pickerEvent(type, *static_cast<QMouseEvent*>(event));
  return QWidget::eventFilter(watched, event);
}

bool NavPage::pickerEvent(QEvent::Type type, const QMouseEvent& mouse) {
  const QPoint global = mouse.globalPosition().toPoint();
  const Point at{global.x(), global.y()};
  if (type == QEvent::MouseButtonPress) {
    if (mouse.button() != Qt::LeftButton) return true;
    const Rect r = m_renderWindow ? m_renderWindow().value_or(Rect{}) : Rect{};
    m_core.pressPicker({r.left, r.top, r.right, r.bottom});
    m_picker->grabMouse(Qt::CrossCursor);
    m_picker->setPixmap(pickerPixmap(true));
    QCursor::setPos(m_picker->mapToGlobal(QPoint(0, 0)));
  } else if (type == QEvent::MouseMove) {
    if (m_core.dragging) m_core.movePointer(at.x, at.y, m_viewUnder && m_viewUnder(at));
  } else if (m_core.dragging && mouse.button() == Qt::LeftButton) {
    endDrag(at);
  }
  return true;
}

void NavPage::endDrag(Point at) {
  m_picker->releaseMouse();
  m_picker->setPixmap(pickerPixmap(false));
  m_core.releasePointer(at.x, at.y, m_viewUnder && m_viewUnder(at));
}

void NavPage::mousePressEvent(QMouseEvent* event) {
  // A press on the page moves the main window, as a press on its caption would.
  if (event->button() == Qt::LeftButton) {
    if (QWindow* w = window()->windowHandle()) w->startSystemMove();
  }
  QWidget::mousePressEvent(event);
}

void NavPage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  const int mode = m_core.pickMode;
  if (mode >= 1 && mode <= 3) m_edits[mode - 1]->setFocus();
}

}  // namespace tivra::ui

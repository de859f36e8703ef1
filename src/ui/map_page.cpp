#include "ui/map_page.h"

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <mutex>

#include "app/main_window.h"
#include "globe/earth.h"
#include "platform/log.h"

namespace tivra::ui {

namespace {

constexpr int kOffsetLimit = 100000;

// The drag icon: a cross-hair, drawn green while idle and red while dragging.
QPixmap dragPixmap(bool dragging) {
  QPixmap pixmap(24, 24);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(dragging ? QColor(200, 30, 30) : QColor(20, 140, 60), 2));
  p.drawEllipse(QPointF(12, 12), 8, 8);
  p.drawLine(12, 1, 12, 23);
  p.drawLine(1, 12, 23, 12);
  return pixmap;
}

}  // namespace

std::optional<Rect> findRenderView(Point globalCursor) {
  QWidget* top = QApplication::topLevelAt(QPoint(globalCursor.x, globalCursor.y));
  if (top == nullptr || top->windowTitle().compare("Render", Qt::CaseInsensitive) != 0)
    return std::nullopt;
  const QRect r(top->mapToGlobal(QPoint(0, 0)), top->size());
  return Rect{r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
}

MapPage::MapPage(app::MainWindow& hub, platform::Frontend& frontend, QWidget* parent)
    : QWidget(parent), m_hub(hub), m_frontend(frontend) {
  setWindowTitle("地图");
  auto* offsets = new QGroupBox("坐标偏移调整", this);
  m_xBox = new NumberBox(-kOffsetLimit, kOffsetLimit, offsets);
  m_yBox = new NumberBox(-kOffsetLimit, kOffsetLimit, offsets);
  for (NumberBox* box : {m_xBox, m_yBox}) {
    box->setMinimumWidth(72);
    box->onStepped = [this](int) { onOffsetStepped(); };
  }
  m_auto = new QCheckBox("自动", offsets);
  m_dragIcon = new QLabel(offsets);
  m_dragIcon->setPixmap(dragPixmap(false));
  m_dragIcon->setToolTip("拖到三维视图上调整偏移");
  m_dragIcon->installEventFilter(this);
  m_dataShare = new QPushButton("数据共享...", offsets);

  auto* offsetGrid = new QGridLayout(offsets);
  auto* xRow = new QHBoxLayout;
  xRow->addWidget(new QLabel("X:", offsets));
  xRow->addWidget(m_xBox);
  auto* yRow = new QHBoxLayout;
  yRow->addWidget(new QLabel("Y:", offsets));
  yRow->addWidget(m_yBox);
  offsetGrid->addLayout(xRow, 0, 0);
  offsetGrid->addWidget(m_auto, 0, 1);
  offsetGrid->addLayout(yRow, 1, 0);
  offsetGrid->addWidget(m_dragIcon, 1, 1, Qt::AlignCenter);
  offsetGrid->addWidget(m_dataShare, 2, 0, 1, 2);

  m_zoomBox = new NumberBox(-5, 5, this);
  m_transparency = new QSlider(Qt::Horizontal, this);
  m_transparency->setRange(0, 100);
  m_enhancement = new QCheckBox("图像增强", this);
  m_settings = new QPushButton("设置...", this);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addWidget(offsets);
  auto* zoomRow = new QHBoxLayout;
  zoomRow->addWidget(new QLabel("缩放级别调整", this));
  zoomRow->addWidget(m_zoomBox);
  layout->addLayout(zoomRow);
  layout->addWidget(new QLabel("透明度调整", this));
  layout->addWidget(m_transparency);
  auto* enhanceRow = new QHBoxLayout;
  enhanceRow->addWidget(m_enhancement);
  enhanceRow->addWidget(m_settings);
  layout->addLayout(enhanceRow);
  layout->addStretch();

  refresh();

  connect(m_xBox, &QSpinBox::valueChanged, this, [this] { onOffsetEdited(); });
  connect(m_yBox, &QSpinBox::valueChanged, this, [this] { onOffsetEdited(); });
  connect(m_zoomBox, &QSpinBox::valueChanged, this, [this] { onZoomChanged(); });
  connect(m_auto, &QCheckBox::clicked, this, [this] { storeControls(); });
  connect(m_transparency, &QSlider::valueChanged, this, [this] { storeControls(); });
  connect(m_enhancement, &QCheckBox::clicked, this, [this] {
    storeControls();
    m_settings->setEnabled(m_enhancement->isChecked());
  });
  connect(m_settings, &QPushButton::clicked, this, [this] { openImageAdvanced(); });
  connect(m_dataShare, &QPushButton::clicked, this, [this] { openDataShare(); });
}

void MapPage::refresh() {
  const tiles::MapValues& v = m_hub.mapValues();
  const QSignalBlocker bx(m_xBox), by(m_yBox), bz(m_zoomBox), bt(m_transparency);
  m_xBox->setValue(v.xoff.load());
  m_yBox->setValue(v.yoff.load());
  m_auto->setChecked(v.autoOffset.load());
  m_zoomBox->setValue(v.zoomLevel.load());
  m_transparency->setValue(v.transParency.load());
  m_enhancement->setChecked(v.imageEnhancement.load());
  m_settings->setEnabled(v.imageEnhancement.load());
}

void MapPage::storeControls() {
  tiles::MapValues& v = m_hub.mapValues();
  const std::lock_guard lock(m_hub.stateLock());
  v.xoff = m_xBox->value();
  v.yoff = m_yBox->value();
  v.autoOffset = m_auto->isChecked();
  v.transParency = m_transparency->value();
  v.imageEnhancement = m_enhancement->isChecked();
}

void MapPage::onOffsetEdited() {
  storeControls();
  const std::lock_guard lock(m_hub.stateLock());
  m_hub.mapValues().offsetEdited = true;
}

void MapPage::onOffsetStepped() {
  // A step also ends the automatic offset; the box has stored and clamped its value.
  {
    const std::lock_guard lock(m_hub.stateLock());
    m_hub.mapValues().autoOffset = false;
    m_hub.mapValues().offsetEdited = true;
  }
  refresh();
}

void MapPage::onZoomChanged() {
  const std::lock_guard lock(m_hub.stateLock());
  m_hub.mapValues().zoomLevel = m_zoomBox->value();
}

void MapPage::mousePressEvent(QMouseEvent* event) {
  // A press on the page moves the main window, as a press on its caption would.
  if (event->button() == Qt::LeftButton) {
    if (QWindow* w = window()->windowHandle()) w->startSystemMove();
  }
  QWidget::mousePressEvent(event);
}

bool MapPage::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (watched != m_dragIcon || (type != QEvent::MouseButtonPress && type != QEvent::MouseMove &&
                                type != QEvent::MouseButtonRelease)) {
    return QWidget::eventFilter(watched, event);
  }
  const auto* mouse = static_cast<QMouseEvent*>(event);
  const QPoint global = mouse->globalPosition().toPoint();
  const Point at{global.x(), global.y()};
  if (type == QEvent::MouseButtonPress) {
    if (mouse->button() == Qt::LeftButton) startDrag();
  } else if (type == QEvent::MouseMove) {
    if (m_dragging) dragTo(at);
  } else if (m_dragging && mouse->button() == Qt::LeftButton) {
    endDrag(at);
  }
  return true;
}

void MapPage::startDrag() {
  tiles::MapValues& v = m_hub.mapValues();
  {
    const std::lock_guard lock(m_hub.stateLock());
    v.autoOffset = false;
    m_dragStartX = v.xoff;
    m_dragStartY = v.yoff;
  }
  m_auto->setChecked(false);
  m_dragging = true;
  m_dragIcon->grabMouse(Qt::CrossCursor);
  m_dragIcon->setPixmap(dragPixmap(true));
  QCursor::setPos(m_dragIcon->mapToGlobal(QPoint(0, 0)));
}

void MapPage::dragTo(Point globalCursor) {
  const auto view = m_locateView ? m_locateView(globalCursor) : std::nullopt;
  globe::Earth* earth = m_hub.earth();
  if (!view || earth == nullptr) return;
  const auto point = dragViewPoint(*view, globalCursor);
  if (!point) return;
  try {
    const globe::TerrainPoint centre = earth->GetPointOnTerrainFromScreenCoords(0.0, 0.0);
    const globe::TerrainPoint at = earth->GetPointOnTerrainFromScreenCoords(point->x, point->y);
    tiles::MapValues& v = m_hub.mapValues();
    {
      const std::lock_guard lock(m_hub.stateLock());
      // The boxes hold no more than the limit, and show what is stored.
      v.xoff = std::clamp(draggedOffset(m_dragStartX, at.Longitude, centre.Longitude),
                          -kOffsetLimit, kOffsetLimit);
      v.yoff = std::clamp(draggedOffset(m_dragStartY, at.Latitude, centre.Latitude), -kOffsetLimit,
                          kOffsetLimit);
    }
    refresh();
  } catch (const globe::EarthError& e) {
    // Off the globe or the globe gone: the offsets stay as they are.
    platform::debugTrace(std::string("drag offset: ") + e.what());
  }
}

void MapPage::endDrag(Point globalCursor) {
  dragTo(globalCursor);
  m_dragging = false;
  m_dragIcon->releaseMouse();
  m_dragIcon->setPixmap(dragPixmap(false));
  const std::lock_guard lock(m_hub.stateLock());
  m_hub.mapValues().offsetEdited = true;
}

void MapPage::openImageAdvanced() {
  tiles::MapValues& v = m_hub.mapValues();
  const AdvancedValues current{v.transparentMode, v.bkRange, v.colorNo, m_cacheSize};
  ImageAdvancedDialog dialog(current, v.transParency, this);
  if (dialog.exec() != QDialog::Accepted) return;
  const AdvancedValues chosen = dialog.values();
  {
    const std::lock_guard lock(m_hub.stateLock());
    v.transparentMode = chosen.transparentMode;
    v.bkRange = chosen.bkRange;
    v.colorNo = chosen.colorNo;
  }
  m_cacheSize = chosen.cacheSize;
}

void MapPage::openDataShare() {
  DataShareDialog dialog(m_hub.tileCache(), m_frontend, m_chooseFile, this);
  dialog.exec();
}

}  // namespace tivra::ui

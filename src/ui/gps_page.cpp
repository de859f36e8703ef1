#include "ui/gps_page.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWindow>

#include "gps/gps_page.h"
#include "ui/gpx_file.h"

namespace tivra::ui {

namespace {

constexpr const char* kBauds[] = {"4800", "9600", "19200", "57600"};
constexpr double kMaxTimeFactor = 1000.0;

QString qs(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

GpsPage::GpsPage(gps::GpsPage& core, const std::vector<std::string>& ports, QWidget* parent)
    : QWidget(parent), m_core(core) {
  setWindowTitle("GPS");
  m_com = new QRadioButton("COM", this);
  m_demo = new QRadioButton("Demo", this);
  m_file = new QRadioButton("文件输入", this);
  m_kinds = new QButtonGroup(this);
  m_kinds->addButton(m_com, static_cast<int>(gps::SourceKind::Com));
  m_kinds->addButton(m_demo, static_cast<int>(gps::SourceKind::Demo));
  m_kinds->addButton(m_file, static_cast<int>(gps::SourceKind::File));
  m_port = new QComboBox(this);
  m_port->addItem(qs(gps::kAutoChoice));
  for (const std::string& port : ports) m_port->addItem(QString::fromStdString(port));
  m_baud = new QComboBox(this);
  m_baud->addItem(qs(gps::kAutoChoice));
  for (const char* baud : kBauds) m_baud->addItem(baud);
  m_fileEdit = new QLineEdit(this);
  m_browse = new QToolButton(this);
  m_browse->setText("...");
  m_timeLabel = new QLabel("时间因子", this);
  // Typed in the user's locale ("0,5" in German), read as shown; 0 plays without pauses.
  m_timeBox = new QDoubleSpinBox(this);
  m_timeBox->setRange(0.0, kMaxTimeFactor);
  m_timeBox->setDecimals(2);
  m_timeBox->setSingleStep(0.5);
  m_timeBox->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
  m_timeBox->setMaximumWidth(80);
  m_autoTrack = new QCheckBox("自动跟踪", this);
  m_heading = new QCheckBox("方向", this);
  m_height = new QCheckBox("高度", this);
  m_angle = new QCheckBox("角度", this);
  m_start = new QPushButton("开始", this);
  m_stop = new QPushButton("停止", this);
  m_status = new QLabel(this);
  m_status->setFrameShape(QFrame::StyledPanel);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  auto* kindRow = new QHBoxLayout;
  kindRow->addWidget(m_com);
  kindRow->addWidget(m_demo);
  kindRow->addWidget(m_file);
  layout->addLayout(kindRow);
  auto* serial = new QGridLayout;
  serial->addWidget(new QLabel("端口", this), 0, 0);
  serial->addWidget(m_port, 0, 1);
  serial->addWidget(new QLabel("波特率", this), 1, 0);
  serial->addWidget(m_baud, 1, 1);
  layout->addLayout(serial);
  auto* fileRow = new QHBoxLayout;
  fileRow->addWidget(m_fileEdit);
  fileRow->addWidget(m_browse);
  layout->addLayout(fileRow);
  auto* timeRow = new QHBoxLayout;
  timeRow->addWidget(m_timeLabel);
  timeRow->addWidget(m_timeBox);
  timeRow->addStretch();
  layout->addLayout(timeRow);
  auto* trackRow = new QHBoxLayout;
  trackRow->addWidget(m_autoTrack);
  trackRow->addWidget(m_heading);
  trackRow->addWidget(m_height);
  trackRow->addWidget(m_angle);
  layout->addLayout(trackRow);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(m_start);
  buttons->addWidget(m_stop);
  layout->addLayout(buttons);
  layout->addWidget(m_status);
  m_record = new QCheckBox("记录轨迹", this);
  m_record->setChecked(m_core.recording());  // --record
  layout->addWidget(m_record);
  layout->addStretch();

  // Page initialisation: first entries, Demo, status "就绪" (the core's current text).
  gps::GpsPageSettings& s = m_core.settings();
  s.kind = gps::SourceKind::Demo;
  s.port = gps::kAutoChoice;
  s.baud = gps::kAutoChoice;
  writeControls();
  m_status->setText(qs(m_core.status()));
  m_core.onStatusShown = [this](std::string_view text) { m_status->setText(qs(text)); };

  m_chooseFile = [this]() -> std::optional<std::filesystem::path> {
    const QString file = QFileDialog::getOpenFileName(this, {}, {}, kTrackFileFilter);
    if (file.isEmpty()) return std::nullopt;
    return std::filesystem::path(file.toStdString());
  };
  connect(m_kinds, &QButtonGroup::idClicked, this, [this] {
    readControls();
    enableByKind();
  });
  connect(m_autoTrack, &QCheckBox::clicked, this, [this] {
    readControls();
    m_core.applyFollowOptions();
    const bool on = m_autoTrack->isChecked();
    for (QCheckBox* c : {m_heading, m_height, m_angle}) c->setEnabled(on);
  });
  for (QCheckBox* c : {m_heading, m_height, m_angle}) {
    connect(c, &QCheckBox::clicked, this, [this] {
      readControls();
      m_core.applyFollowOptions();
    });
  }
  m_chooseRecord = [this]() -> std::optional<std::filesystem::path> {
    // No overwrite question: a file that is not our track is refused, never replaced.
    const QString file = QFileDialog::getSaveFileName(this, "记录轨迹", {}, "GPX Files(*.gpx)",
                                                      nullptr, QFileDialog::DontConfirmOverwrite);
    if (file.isEmpty()) return std::nullopt;
    return std::filesystem::path(file.toStdString());
  };
  connect(m_record, &QCheckBox::clicked, this, [this] { toggleRecording(); });
  connect(m_browse, &QToolButton::clicked, this, [this] { browse(); });
  connect(m_start, &QPushButton::clicked, this, [this] { start(); });
  connect(m_stop, &QPushButton::clicked, this, [this] { m_core.stop(); });
}

GpsPage::~GpsPage() {
  m_core.onStatusShown = nullptr;
}

void GpsPage::readControls() {
  gps::GpsPageSettings& s = m_core.settings();
  const int kind = m_kinds->checkedId();
  if (kind >= 0) s.kind = static_cast<gps::SourceKind>(kind);
  s.port = m_port->currentText().toStdString();
  s.baud = m_baud->currentText().toStdString();
  s.fileName = m_fileEdit->text().toStdString();
  m_timeBox->interpretText();
  s.timeFactor = m_timeBox->value();
  s.autoTrack = m_autoTrack->isChecked();
  s.heading = m_heading->isChecked();
  s.height = m_height->isChecked();
  s.angle = m_angle->isChecked();
}

void GpsPage::writeControls() {
  const gps::GpsPageSettings& s = m_core.settings();
  // Gpsd has no radio button of its own; it reads as COM.
  const int kind = s.kind == gps::SourceKind::Gpsd ? 0 : static_cast<int>(s.kind);
  if (QAbstractButton* b = m_kinds->button(kind)) b->setChecked(true);
  const int port = m_port->findText(QString::fromStdString(s.port));
  m_port->setCurrentIndex(port >= 0 ? port : 0);
  const int baud = m_baud->findText(QString::fromStdString(s.baud));
  m_baud->setCurrentIndex(baud >= 0 ? baud : 0);
  m_fileEdit->setText(QString::fromStdString(s.fileName));
  m_timeBox->setValue(s.timeFactor);
  m_autoTrack->setChecked(s.autoTrack);
  m_heading->setChecked(s.heading);
  m_height->setChecked(s.height);
  m_angle->setChecked(s.angle);
  for (QCheckBox* c : {m_heading, m_height, m_angle}) c->setEnabled(s.autoTrack);
  enableByKind();
}

void GpsPage::enableByKind() {
  const int kind = m_kinds->checkedId();
  const bool com = kind == static_cast<int>(gps::SourceKind::Com);
  const bool file = kind == static_cast<int>(gps::SourceKind::File);
  m_timeLabel->setEnabled(!com);
  m_timeBox->setEnabled(!com);
  m_fileEdit->setEnabled(file);
  m_browse->setEnabled(file);
  m_port->setEnabled(com);
  m_baud->setEnabled(com);
}

void GpsPage::browse() {
  const auto file = m_chooseFile ? m_chooseFile() : std::nullopt;
  if (!file) return;
  m_fileEdit->setText(QString::fromStdString(std::filesystem::absolute(*file).string()));
  readControls();
}

void GpsPage::toggleRecording() {
  if (!m_record->isChecked()) {
    m_core.stopRecording();
    return;
  }
  const auto file = m_chooseRecord ? m_chooseRecord() : std::nullopt;
  std::string error;
  if (!file || !m_core.startRecording(withGpxExtension(*file), error)) {
    m_record->setChecked(false);
    if (!error.empty()) QMessageBox::warning(this, "Tivra", QString::fromStdString(error));
  }
}

void GpsPage::start() {
  // The core stops the active source first.
  readControls();
  QApplication::setOverrideCursor(Qt::WaitCursor);
  m_core.start();
  QApplication::restoreOverrideCursor();
  // Start may have changed the kind (a file kind without a name runs the demo).
  writeControls();
}

void GpsPage::mousePressEvent(QMouseEvent* event) {
  // A press on the page moves the main window, as a press on its caption would.
  if (event->button() == Qt::LeftButton) {
    if (QWindow* w = window()->windowHandle()) w->startSystemMove();
  }
  QWidget::mousePressEvent(event);
}

}  // namespace tivra::ui

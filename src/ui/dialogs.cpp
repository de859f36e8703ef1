#include "ui/dialogs.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

#include "platform/frontend.h"
#include "platform/image_codec.h"
#include "platform/resources.h"
#include "store/data_share.h"
#include "store/tile_cache.h"

namespace tivra::ui {

namespace {

// A built-in sample picture as RGB rows; empty when it cannot be decoded.
std::vector<Rgb8> samplePixels(int id, int& width, int& height) {
  const auto image = platform::decodeImage(platform::findResource(platform::ResourceType::Png, id));
  std::vector<Rgb8> pixels;
  width = height = 0;
  if (!image || image->bgra.size() != image->pixelCount() * 4) return pixels;
  width = static_cast<int>(image->width);
  height = static_cast<int>(image->height);
  pixels.reserve(image->pixelCount());
  for (std::size_t i = 0; i + 3 < image->bgra.size(); i += 4)
    pixels.push_back({image->bgra[i + 2], image->bgra[i + 1], image->bgra[i]});
  return pixels;
}

QString shown(const std::string& text) {
  // The texts end lines with "\r\n"; a text box wants one line break.
  return QString::fromUtf8(text).replace("\r\n", "\n");
}

}  // namespace

NumberBox::NumberBox(int minimum, int maximum, QWidget* parent) : QSpinBox(parent) {
  setRange(minimum, maximum);
  // Typed text becomes the value as it is typed; what does not fit is refused.
  setKeyboardTracking(true);
  setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
  setAccelerated(true);
}

void NumberBox::stepBy(int steps) {
  QSpinBox::stepBy(steps);
  if (onStepped) onStepped(steps);
}

ImageAdvancedDialog::ImageAdvancedDialog(const AdvancedValues& values, int transParency,
                                         QWidget* parent)
    : QDialog(parent), m_transParency(transParency) {
  setWindowTitle("图像增强");
  setModal(true);
  m_tile = samplePixels(platform::kResourceSampleTile, m_tileWidth, m_tileHeight);
  m_background =
      samplePixels(platform::kResourceSamplePicture, m_backgroundWidth, m_backgroundHeight);

  m_previewLabel = new QLabel(this);
  m_previewLabel->setFixedSize(200, 200);
  m_mode = new QCheckBox("透明色模式", this);
  m_mode->setChecked(values.transparentMode);
  m_rangeLabel = new QLabel("底色范围:", this);
  m_range = new QSlider(Qt::Horizontal, this);
  m_range->setRange(0, 100);
  m_range->setSingleStep(20);
  m_range->setPageStep(20);
  m_range->setTickInterval(20);
  m_range->setTickPosition(QSlider::TicksBelow);
  m_range->setValue(values.bkRange);
  m_rangeNumber = new QLabel(QString::number(values.bkRange / 20), this);
  m_colorLabel = new QLabel("颜色调节", this);
  m_colorBox = new NumberBox(0, 7, this);
  m_colorBox->setValue(values.colorNo);
  m_cacheBox = new NumberBox(5, 1000, this);
  m_cacheBox->setValue(values.cacheSize);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText("OK");
  buttons->button(QDialogButtonBox::Cancel)->setText("Cancel");

  auto* grid = new QGridLayout;
  grid->addWidget(m_mode, 0, 0, 1, 3);
  grid->addWidget(m_rangeLabel, 1, 0);
  grid->addWidget(m_range, 1, 1);
  grid->addWidget(m_rangeNumber, 1, 2);
  grid->addWidget(m_colorLabel, 2, 0);
  grid->addWidget(m_colorBox, 2, 1);
  grid->addWidget(new QLabel("Cache", this), 3, 0);
  grid->addWidget(m_cacheBox, 3, 1);
  grid->addWidget(new QLabel("M", this), 3, 2);
  auto* top = new QHBoxLayout(this);
  top->setContentsMargins(10, 3, 10, 10);
  top->addWidget(m_previewLabel, 0, Qt::AlignTop);
  auto* right = new QVBoxLayout;
  right->addLayout(grid);
  right->addStretch();
  right->addWidget(buttons);
  top->addLayout(right);

  connect(m_mode, &QCheckBox::toggled, this, [this] {
    updateEnabled();
    redraw();
  });
  connect(m_range, &QSlider::valueChanged, this, [this](int value) {
    // Only multiples of 20 are ranges.
    const int snapped = (value + 10) / 20 * 20;
    if (snapped != value) {
      m_range->setValue(snapped);
      return;
    }
    m_rangeNumber->setText(QString::number(snapped / 20));
    redraw();
  });
  connect(m_colorBox, &QSpinBox::valueChanged, this, [this] { redraw(); });
  // Text left out of range shows the value kept once the box is left, OK included.
  connect(buttons, &QDialogButtonBox::accepted, this, [this] {
    m_colorBox->interpretText();
    m_cacheBox->interpretText();
  });
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  updateEnabled();
  redraw();
}

AdvancedValues ImageAdvancedDialog::values() const {
  AdvancedValues v;
  v.transparentMode = m_mode->isChecked();
  v.bkRange = m_range->value();
  v.colorNo = m_colorBox->value();
  v.cacheSize = m_cacheBox->value();
  return v;
}

void ImageAdvancedDialog::updateEnabled() {
  const bool on = m_mode->isChecked();
  for (QWidget* w : std::initializer_list<QWidget*>{m_rangeLabel, m_range, m_colorBox, m_colorLabel,
                                                    m_rangeNumber})
    w->setEnabled(on);
}

void ImageAdvancedDialog::redraw() {
  const AdvancedValues v = values();
  const PreviewValues pv{m_transParency, v.transparentMode, v.bkRange, v.colorNo};
  const auto pixels = previewImage(m_tile, m_tileWidth, m_tileHeight, m_background,
                                   m_backgroundWidth, m_backgroundHeight, pv);
  QImage image(std::max(m_tileWidth, 1), std::max(m_tileHeight, 1), QImage::Format_RGB32);
  image.fill(Qt::black);
  for (int y = 0; y < m_tileHeight && !pixels.empty(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < m_tileWidth; ++x) {
      const Rgb8& p = pixels[static_cast<std::size_t>(y) * m_tileWidth + x];
      line[x] = qRgb(p.r, p.g, p.b);
    }
  }
  m_preview = image;
  m_previewLabel->setPixmap(QPixmap::fromImage(m_preview));
}

std::optional<std::filesystem::path> chooseDataShareFile(QWidget* parent, bool save) {
  QFileDialog dialog(parent);
  // "Tivra Data Share Files(*.tds)|*.tds|All Files(*.*)|*.*||" in the file dialog's notation.
  dialog.setNameFilter("Tivra Data Share Files(*.tds);;All Files(*.*)");
  dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  if (save) {
    // A name typed without extension gets ".tds" before the question whether to replace the
    // file; Qt's own dialog asks in that order, a desktop's may not.
    dialog.setDefaultSuffix("tds");
    dialog.setOption(QFileDialog::DontUseNativeDialog);
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return std::filesystem::path(dialog.selectedFiles().front().toStdString());
}

DataShareDialog::DataShareDialog(store::TileCache& cache, platform::Frontend& frontend,
                                 DataShareChooser chooser, QWidget* parent)
    : QDialog(parent), m_cache(cache), m_frontend(frontend), m_choose(std::move(chooser)) {
  setWindowTitle("数据共享");
  setModal(true);
  if (!m_choose) m_choose = [this](bool save) { return chooseDataShareFile(this, save); };
  m_cacheText = new QPlainTextEdit(this);
  m_fileText = new QPlainTextEdit(this);
  for (QPlainTextEdit* t : {m_cacheText, m_fileText}) {
    t->setReadOnly(true);
    t->setFixedHeight(64);
  }
  m_export = new QPushButton("-->导出-->", this);
  m_import = new QPushButton("<--导入<--", this);
  auto* done = new QPushButton("结束", this);

  auto* grid = new QGridLayout(this);
  grid->addWidget(new QLabel("Cache信息", this), 0, 0);
  grid->addWidget(new QLabel("数据文件信息", this), 0, 2);
  grid->addWidget(m_cacheText, 1, 0, 2, 1);
  grid->addWidget(m_export, 1, 1);
  grid->addWidget(m_import, 2, 1);
  grid->addWidget(m_fileText, 1, 2, 2, 1);
  grid->addWidget(done, 3, 1);

  connect(m_export, &QPushButton::clicked, this, [this] { doExport(); });
  connect(m_import, &QPushButton::clicked, this, [this] { doImport(); });
  connect(done, &QPushButton::clicked, this, &QDialog::accept);

  store::LocationMap& map = m_cache.locationMap();
  std::size_t pairs = 0;
  {
    const auto guard = map.lock();
    pairs = map.size();
  }
  m_cacheText->setPlainText(shown(store::dataShareCacheText(pairs)));
}

void DataShareDialog::doExport() {
  const auto chosen = m_choose(true);
  if (!chosen) return;
  const auto result = store::exportDataShare(m_cache.locationMap(), *chosen);
  if (!result.ok) {
    m_frontend.messageBox("导出失败: " + result.error, "数据共享");
    return;
  }
  m_fileText->setPlainText(shown(store::dataShareFileText(result.path, result.pairs)));
}

void DataShareDialog::doImport() {
  const auto chosen = m_choose(false);
  if (!chosen) return;
  const auto result = store::importDataShare(m_cache, *chosen);
  if (!result.ok) {
    m_frontend.messageBox("导入失败: " + result.error, "数据共享");
    return;
  }
  m_fileText->setPlainText(shown(store::dataShareFileText(result.path, result.pairsRead)));
  m_cacheText->setPlainText(shown(store::dataShareImportCacheText(result.before, result.after)));
  // The merge holds in memory; the user must know it did not reach the store.
  if (!result.saved) m_frontend.messageBox("导入的数据无法保存到缓存文件！", "数据共享");
}

}  // namespace tivra::ui

#pragma once

// The map page's two modal dialogs: image enhancement "图像增强" with its live preview, and data
// sharing "数据共享" (export and import of the offsets in ".tds" files).

#include <QDialog>
#include <QImage>
#include <filesystem>
#include <functional>
#include <optional>

#include "ui/view_math.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSlider;
class QToolButton;

namespace tivra::platform {
class Frontend;
}
namespace tivra::store {
class TileCache;
}

namespace tivra::ui {

// An up-down pair of small arrow buttons beside an edit; step is +1 for up, -1 for down.
struct UpDown {
  QToolButton* up = nullptr;
  QToolButton* down = nullptr;
};
UpDown makeUpDown(QWidget* parent, const std::function<void(int step)>& onStep);

struct AdvancedValues {
  bool transparentMode = true;
  int bkRange = 0;
  int colorNo = 0;
  int cacheSize = 500;  // megabytes, 5..1000
};

class ImageAdvancedDialog final : public QDialog {
 public:
  // transParency is the page's slider, shown through but not changed here.
  ImageAdvancedDialog(const AdvancedValues& values, int transParency, QWidget* parent = nullptr);

  // The controls' values (what OK copies back).
  AdvancedValues values() const;
  const QImage& preview() const { return m_preview; }

  QCheckBox* modeCheck() const { return m_mode; }
  QSlider* rangeSlider() const { return m_range; }
  QLabel* rangeNumber() const { return m_rangeNumber; }
  QLineEdit* colorEdit() const { return m_colorEdit; }
  QLineEdit* cacheEdit() const { return m_cacheEdit; }
  UpDown colorSpin() const { return m_colorSpin; }

 private:
  void updateEnabled();
  void redraw();

  int m_transParency;
  std::vector<Rgb8> m_tile;
  int m_tileWidth = 0;
  int m_tileHeight = 0;
  std::vector<Rgb8> m_background;
  int m_backgroundWidth = 0;
  int m_backgroundHeight = 0;
  QImage m_preview;

  QCheckBox* m_mode;
  QLabel* m_rangeLabel;
  QSlider* m_range;
  QLabel* m_rangeNumber;
  QLabel* m_colorLabel;
  QLineEdit* m_colorEdit;
  UpDown m_colorSpin;
  QLineEdit* m_cacheEdit;
  QLabel* m_previewLabel;
};

// Which file to write (save) or read; nullopt when the user cancels.
using DataShareChooser = std::function<std::optional<std::filesystem::path>(bool save)>;
// The file dialogs with the filter "Tivra Data Share Files(*.tds)|*.tds|All Files(*.*)|*.*||".
std::optional<std::filesystem::path> chooseDataShareFile(QWidget* parent, bool save);

class DataShareDialog final : public QDialog {
 public:
  DataShareDialog(store::TileCache& cache, platform::Frontend& frontend,
                  DataShareChooser chooser = {}, QWidget* parent = nullptr);

  QPlainTextEdit* cacheText() const { return m_cacheText; }
  QPlainTextEdit* fileText() const { return m_fileText; }
  QPushButton* exportButton() const { return m_export; }
  QPushButton* importButton() const { return m_import; }

 private:
  void doExport();
  void doImport();

  store::TileCache& m_cache;
  platform::Frontend& m_frontend;
  DataShareChooser m_choose;
  QPlainTextEdit* m_cacheText;
  QPlainTextEdit* m_fileText;
  QPushButton* m_export;
  QPushButton* m_import;
};

}  // namespace tivra::ui

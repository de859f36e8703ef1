#pragma once

// The map page's two modal dialogs: image enhancement "图像增强" with its live preview, and data
// sharing "数据共享" (export and import of the offsets in ".tds" files).

#include <QDialog>
#include <QImage>
#include <QSpinBox>
#include <filesystem>
#include <functional>
#include <optional>

#include "ui/view_math.h"

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSlider;

namespace tivra::platform {
class Frontend;
}
namespace tivra::store {
class TileCache;
}

namespace tivra::ui {

// A number box with its arrows: it reads what it shows in the user's locale, keeps to its range
// (showing the value it keeps), and steps with its arrows, the arrow keys and the mouse wheel.
class NumberBox final : public QSpinBox {
 public:
  NumberBox(int minimum, int maximum, QWidget* parent = nullptr);
  // Runs after a step (not after typing), with the steps taken.
  std::function<void(int steps)> onStepped;

 protected:
  void stepBy(int steps) override;
};

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
  NumberBox* colorBox() const { return m_colorBox; }
  NumberBox* cacheBox() const { return m_cacheBox; }

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
  NumberBox* m_colorBox;
  NumberBox* m_cacheBox;
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

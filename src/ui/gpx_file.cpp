#include "ui/gpx_file.h"

#include <QFileDialog>
#include <QMessageBox>

#include "platform/text.h"
#include "search/kml_loader.h"

namespace tivra::ui {

std::filesystem::path withGpxExtension(std::filesystem::path file) {
  if (!platform::equalsIgnoreCase(file.extension().string(), ".gpx")) file += ".gpx";
  return file;
}

std::optional<std::filesystem::path> askGpxFile(QWidget* parent) {
  const QString name =
      QFileDialog::getSaveFileName(parent, kExportGpxText, QString(), "GPX Files(*.gpx)", nullptr,
                                   QFileDialog::DontConfirmOverwrite);
  if (name.isEmpty()) return std::nullopt;
  const std::filesystem::path file = withGpxExtension(name.toStdString());
  std::error_code ec;
  if (std::filesystem::exists(file, ec) &&
      QMessageBox::question(parent, kExportGpxText,
                            QString::fromStdString(file.string() + " 已存在。要替换它吗？")) !=
          QMessageBox::Yes)
    return std::nullopt;
  return file;
}

bool exportGpx(QWidget* parent, const GpxFileChooser& choose, std::string_view text) {
  const auto file = choose ? choose() : askGpxFile(parent);
  if (!file) return false;
  std::string error;
  if (!search::writeWholeFile(*file, text, error)) {
    QMessageBox::warning(
        parent, "Tivra",
        QString::fromStdString("无法写入文件 " + file->string() + " (" + error + ")"));
    return false;
  }
  return true;
}

}  // namespace tivra::ui

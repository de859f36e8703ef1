#pragma once

// "导出GPX…" of the search and navigation pages: the file question and the write.

#include <QString>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

class QWidget;

namespace tivra::ui {

// Asks for the file to write; nullopt when cancelled. Tests answer in place of the dialogs.
using GpxFileChooser = std::function<std::optional<std::filesystem::path>()>;

// The name with ".gpx" added unless it already ends so (any case).
std::filesystem::path withGpxExtension(std::filesystem::path file);

// The save dialog, then ".gpx" added, and only then the question whether to replace a file
// of that name (the dialog's own question would have been about the name without it).
std::optional<std::filesystem::path> askGpxFile(QWidget* parent);

// Writes text to the chosen file, replacing it only once complete; a failure is shown to
// the user. False when nothing was written.
bool exportGpx(QWidget* parent, const GpxFileChooser& choose, std::string_view text);

inline const QString kExportGpxText = QStringLiteral("导出GPX…");

}  // namespace tivra::ui

#include "ui/qt_translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>

namespace tivra::ui {

ChineseQtTexts::ChineseQtTexts() {
  if (!m_qtbase.load("qtbase_zh_CN", QLibraryInfo::path(QLibraryInfo::TranslationsPath))) return;
  m_loaded = QCoreApplication::installTranslator(&m_qtbase);
}

}  // namespace tivra::ui

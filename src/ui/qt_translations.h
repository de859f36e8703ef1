#pragma once

// Qt's own texts (the buttons of message boxes, the file dialogs) in Chinese, as the rest of
// the window, while this object lives.

#include <QTranslator>

namespace tivra::ui {

class ChineseQtTexts {
 public:
  ChineseQtTexts();
  ChineseQtTexts(const ChineseQtTexts&) = delete;
  ChineseQtTexts& operator=(const ChineseQtTexts&) = delete;
  // False when Qt's translations are not installed: Qt's texts stay English.
  bool loaded() const { return m_loaded; }

 private:
  QTranslator m_qtbase;  // removes itself from the application when destroyed
  bool m_loaded = false;
};

}  // namespace tivra::ui

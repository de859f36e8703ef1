#pragma once

// The search page "搜索": the city list, the keyword, the within-view box and the search button.
// Bound to search::SearchPage, which builds the query and hands the result to the globe.

#include <QValidator>
#include <QWidget>
#include <string>
#include <vector>

#include "ui/gpx_file.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tivra::search {
class SearchPage;
}

namespace tivra::ui {

// The 69 search cities as the sorted drop-down list holds them: ordered by their code page 936
// bytes, which is pinyin order for these names.
std::vector<std::string> sortedSearchCities();

// Accepts text whose code page 936 form is at most limit bytes (text without such a form is
// left to the search, which reports it).
class GbkLengthValidator final : public QValidator {
 public:
  GbkLengthValidator(std::size_t limit, QObject* parent) : QValidator(parent), m_limit(limit) {}
  State validate(QString& input, int& pos) const override;

 private:
  std::size_t m_limit;
};

class SearchPage final : public QWidget {
 public:
  explicit SearchPage(search::SearchPage& core, QWidget* parent = nullptr);
  ~SearchPage() override;

  QComboBox* cityBox() const { return m_city; }
  QLineEdit* keywordEdit() const { return m_keyword; }
  QCheckBox* withinViewCheck() const { return m_withinView; }
  QPushButton* searchButton() const { return m_search; }
  // "导出GPX…": the hits of the last search; enabled once a search gave a document.
  QPushButton* exportButton() const { return m_export; }
  void setGpxFileChooser(GpxFileChooser chooser) { m_chooseGpx = std::move(chooser); }
  // "正在查询…" while a search downloads, else empty.
  QLabel* queryLabel() const { return m_query; }

 protected:
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void onSearch();
  void showState();

  search::SearchPage& m_core;
  QComboBox* m_city;
  QLineEdit* m_keyword;
  QCheckBox* m_withinView;
  QPushButton* m_search;
  QPushButton* m_export;
  GpxFileChooser m_chooseGpx;
  QLabel* m_query;
};

}  // namespace tivra::ui

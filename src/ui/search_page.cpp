#include "ui/search_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>

#include "platform/gbk.h"
#include "search/gpx_export.h"
#include "search/local_search.h"
#include "search/search_page.h"
#include "ui/qt_loop.h"

namespace tivra::ui {

namespace {

// The entry the page selects at start.
constexpr int kFirstCity = 2;

}  // namespace

std::vector<std::string> sortedSearchCities() {
  std::vector<std::pair<std::string, std::string>> keyed;
  for (const std::string_view city : search::kSearchCities) {
    const auto bytes = platform::utf8ToGbk(city);
    keyed.emplace_back(bytes.value_or(std::string(city)), std::string(city));
  }
  // std::string compares its bytes unsigned, as the list control does.
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::string> cities;
  for (auto& [bytes, city] : keyed) cities.push_back(std::move(city));
  return cities;
}

QValidator::State GbkLengthValidator::validate(QString& input, int& /*pos*/) const {
  const auto bytes = platform::utf8ToGbk(input.toStdString());
  if (bytes && bytes->size() > m_limit) return Invalid;
  return Acceptable;
}

SearchPage::SearchPage(search::SearchPage& core, QWidget* parent) : QWidget(parent), m_core(core) {
  setWindowTitle("搜索");
  m_city = new QComboBox(this);
  for (const std::string& city : sortedSearchCities())
    m_city->addItem(QString::fromStdString(city));
  m_city->setCurrentIndex(kFirstCity);
  m_keyword = new QLineEdit(this);
  m_keyword->setValidator(new GbkLengthValidator(search::kKeywordLimit, m_keyword));
  m_withinView = new QCheckBox("在GE当前视图范围内", this);
  m_search = new QPushButton("搜索", this);
  m_query = new QLabel(this);
  m_export = new QPushButton(kExportGpxText, this);
  m_export->setEnabled(false);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel("城市", this), 0, 0);
  grid->addWidget(m_city, 0, 1);
  grid->addWidget(new QLabel("内容", this), 1, 0);
  grid->addWidget(m_keyword, 1, 1);
  layout->addLayout(grid);
  layout->addWidget(m_withinView);
  layout->addWidget(m_search);
  layout->addWidget(m_query);
  layout->addWidget(m_export);
  layout->addStretch();

  // The download runs off this thread; its document reaches the globe from this thread's queue.
  m_core.setPost(postToGuiThread);
  m_core.onFinished = [this](search::SearchResult) { showState(); };
  connect(m_search, &QPushButton::clicked, this, [this] { onSearch(); });
  connect(m_export, &QPushButton::clicked, this, [this] {
    if (const auto* hits = m_core.results()) exportGpx(this, m_chooseGpx, search::resultGpx(*hits));
  });
}

SearchPage::~SearchPage() {
  // The core outlives the page; a search may still end.
  m_core.onFinished = nullptr;
}

void SearchPage::onSearch() {
  if (m_core.searching()) {
    m_core.cancel();
  } else {
    m_core.city = m_city->currentText().toStdString();
    m_core.keyword = m_keyword->text().toStdString();
    m_core.withinView = m_withinView->isChecked();
    m_core.OnSearch();
  }
  showState();
}

void SearchPage::showState() {
  const bool busy = m_core.searching();
  m_search->setText(busy ? "取消" : "搜索");
  m_query->setText(busy ? search::kQueryingText : "");
  m_export->setEnabled(!busy && m_core.results() != nullptr);
}

void SearchPage::mousePressEvent(QMouseEvent* event) {
  // A press on the page moves the main window, as a press on its caption would.
  if (event->button() == Qt::LeftButton) {
    if (QWindow* w = window()->windowHandle()) w->startSystemMove();
  }
  QWidget::mousePressEvent(event);
}

}  // namespace tivra::ui

#include "ui/status_line.h"

#include "app/main_window.h"

namespace tivra::ui {

namespace {

constexpr auto kRefresh = std::chrono::milliseconds(1000);
constexpr qsizetype kSourceChars = 60;  // longer names are cut in the middle

// The host a user has not set: a name under the reserved ".invalid" domain never answers.
bool unsetHost(const std::string& host) {
  return host.empty() || host.ends_with(".invalid") || host.find(".invalid:") != std::string::npos;
}

QString shortened(const QString& text) {
  if (text.size() <= kSourceChars) return text;
  const qsizetype half = (kSourceChars - 1) / 2;
  return text.left(half) + QChar(0x2026) + text.right(half);
}

}  // namespace

QString tileSourceName(const app::MainWindow& hub) {
  const app::HostSettings& hosts = hub.hosts();
  if (!hosts.tileUrl.empty()) return QString::fromStdString(hosts.tileUrl);
  if (unsetHost(hosts.tileHost)) return {};
  return QString::fromStdString(hosts.tileHost);
}

StatusLine::StatusLine(app::MainWindow& hub, QWidget* parent) : QLabel(parent), m_hub(hub) {
  setObjectName("tivraStatusLine");
  setWordWrap(true);
  // The figures grow; the window's width must not follow them.
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  setTextFormat(Qt::PlainText);
  m_timer.setInterval(kRefresh);
  connect(&m_timer, &QTimer::timeout, this, [this] { refresh(); });
  m_timer.start();
  refresh();
}

void StatusLine::refresh() {
  const server::TileCounts& counts = m_hub.tileCounts();
  const QString source = tileSourceName(m_hub);
  const QString line1 =
      QString("端口 %1  %2").arg(m_hub.listeningPort()).arg(m_hub.online() ? "在线" : "离线");
  const QString line2 = source.isEmpty()
                            ? QString("未设置瓦片来源：在 Tivra.ini 中设置 TileUrl 或 TileHost")
                            : QString("瓦片来源 %1").arg(shortened(source));
  const QString line3 = QString("已送出 %1  已保存 %2  缺失 %3")
                            .arg(counts.served.load())
                            .arg(counts.stored.load())
                            .arg(counts.missed.load());
  setText(line1 + "\n" + line2 + "\n" + line3);
  setToolTip(source);
}

}  // namespace tivra::ui

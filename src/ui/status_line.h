#pragma once

// The line at the foot of the window: the port, online or offline, the tile source and the
// tiles served, stored and missed since the start, read again every second.

#include <QLabel>
#include <QTimer>

namespace tivra::app {
class MainWindow;
}

namespace tivra::ui {

class StatusLine final : public QLabel {
 public:
  explicit StatusLine(app::MainWindow& hub, QWidget* parent = nullptr);

  // Reads the figures now (the timer does so every second).
  void refresh();

 private:
  app::MainWindow& m_hub;
  QTimer m_timer;
};

// The tile source as the status line names it; empty when none is set, so every tile would be
// the placeholder.
QString tileSourceName(const app::MainWindow& hub);

}  // namespace tivra::ui

#pragma once

// The program's hub on the GUI thread, as the window runs it: a Qt-driven loop, a data
// directory with a free TcpPort, and the built-in globe when asked for.

#include <QApplication>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>

#include "app/globe_wiring.h"
#include "app/main_window.h"
#include "support/recording_frontend.h"
#include "support/temp_dir.h"
#include "ui/qt_loop.h"

namespace tivra::test {

class GuiHub {
 public:
  // extraSettings: further "Key=value\r\n" lines of the [settings] section. With a dataDir,
  // the hub runs there on the Tivra.ini found (written as above when there is none) and keeps
  // the window's choices, as the window does.
  explicit GuiHub(bool useEarth, std::function<void()> mapPageRefresh = {},
                  std::string_view extraSettings = {}, std::filesystem::path dataDir = {});
  ~GuiHub();
  GuiHub(const GuiHub&) = delete;
  GuiHub& operator=(const GuiHub&) = delete;

  app::MainWindow& window() { return *m_window; }
  globe::SimGlobe* globe() { return m_globe ? m_globe->globe() : nullptr; }
  RecordingFrontend& frontend() { return m_frontend; }
  ui::QtEventLoop& loop() { return m_loop; }
  const TempDir& dir() const { return m_dir; }
  const std::filesystem::path& dataDir() const { return m_dataDir; }

 private:
  TempDir m_dir;
  std::filesystem::path m_dataDir;
  RecordingFrontend m_frontend;
  ui::QtEventLoop m_loop;
  std::unique_ptr<app::BuiltInGlobe> m_globe;
  std::unique_ptr<app::MainWindow> m_window;
};

// Runs the GUI thread's events until predicate holds or the timeout passes.
bool processUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

}  // namespace tivra::test

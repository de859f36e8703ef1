#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "app/globe_wiring.h"
#include "app/main_window.h"
#include "platform/message_loop.h"
#include "support/recording_frontend.h"
#include "support/temp_dir.h"

namespace tivra::test {

// A free loopback port at the time of the call.
std::uint16_t freePort();

// The program's hub started as the headless program starts it, with its message loop on a
// thread of its own: a data directory with the given extra settings, and a free TcpPort.
class AppHarness {
 public:
  explicit AppHarness(std::string extraSettings = "", bool useEarth = false);
  // Runs on an existing data directory; only TcpPort of its Tivra.ini is changed.
  explicit AppHarness(const std::filesystem::path& dataDir, bool useEarth = false);
  ~AppHarness();  // shuts the window down in order
  AppHarness(const AppHarness&) = delete;
  AppHarness& operator=(const AppHarness&) = delete;

  // What start() hands to the window; adjust before start(). The globe's waits are short and
  // its temporary directory is private to this harness.
  app::MainWindowOptions& options() { return m_options; }
  // The built-in globe's options; used unless options().earthFactory is set.
  app::BuiltInGlobeOptions& globeOptions() { return m_globeOptions; }

  // Start-up; false when it failed (exitCode() tells the code).
  bool start();
  int exitCode() const { return m_exitCode; }
  void stop();

  std::uint16_t port() const { return m_port; }
  app::MainWindow& window() { return *m_window; }
  // The built-in globe once started; null otherwise.
  globe::SimGlobe* globe() { return m_globe ? m_globe->globe() : nullptr; }
  RecordingFrontend& frontend() { return m_frontend; }
  const std::filesystem::path& dataDir() const { return m_dataDir; }
  // Runs task on the loop thread and waits for it.
  void onLoop(const std::function<void()>& task);

 private:
  TempDir m_dir;
  std::filesystem::path m_dataDir;
  RecordingFrontend m_frontend;
  platform::MessageLoop m_loop;
  std::uint16_t m_port = 0;
  bool m_useEarth;
  app::MainWindowOptions m_options;
  app::BuiltInGlobeOptions m_globeOptions;
  int m_exitCode = 0;
  std::unique_ptr<app::BuiltInGlobe> m_globe;
  std::unique_ptr<app::MainWindow> m_window;
  std::thread m_loopThread;
};

}  // namespace tivra::test

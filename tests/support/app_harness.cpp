#include "support/app_harness.h"

#include <fstream>
#include <future>

#include "platform/ini.h"
#include "platform/socket.h"

namespace tivra::test {

std::uint16_t freePort() {
  auto probe = platform::TcpListener::listen("127.0.0.1", 0, 1);
  return probe ? probe->port() : 0;
}

AppHarness::AppHarness(std::string extraSettings, bool useEarth)
    : m_dataDir(m_dir.path()), m_useEarth(useEarth) {
  m_port = freePort();
  std::ofstream(m_dir / "Tivra.ini") << "[settings]\r\nTcpPort=" << m_port << "\r\n"
                                     << extraSettings;
}

AppHarness::AppHarness(const std::filesystem::path& dataDir, bool useEarth)
    : m_dataDir(dataDir), m_useEarth(useEarth) {
  // A fresh free port; every other setting stays as the last run left it.
  m_port = freePort();
  platform::IniFile(dataDir / "Tivra.ini").write("settings", "TcpPort", std::to_string(m_port));
}

AppHarness::~AppHarness() {
  stop();
}

bool AppHarness::start() {
  app::MainWindowOptions options;
  options.dataDirectory = m_dataDir;
  options.useEarth = m_useEarth;
  m_window = std::make_unique<app::MainWindow>(m_loop, m_frontend, options);
  if (m_window->initialise()) return false;
  m_port = m_window->listeningPort();
  m_loopThread = std::thread([this] { m_loop.run(); });
  return true;
}

void AppHarness::onLoop(const std::function<void()>& task) {
  std::promise<void> done;
  m_loop.post([&] {
    task();
    done.set_value();
  });
  done.get_future().wait();
}

void AppHarness::stop() {
  if (m_loopThread.joinable()) {
    m_loop.quit(0);
    m_loopThread.join();
  }
  if (m_window) m_window->shutdown();
  m_window.reset();
}

}  // namespace tivra::test

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

namespace {

app::BuiltInGlobeOptions harnessGlobeOptions() {
  app::BuiltInGlobeOptions options;
  // Flights end at once, so views settle quickly.
  options.globe.flightBase = std::chrono::milliseconds(1);
  options.globe.maxFlight = std::chrono::milliseconds(1);
  options.wiring.connectTimeout = std::chrono::milliseconds(1000);
  options.wiring.totalTimeout = std::chrono::milliseconds(5000);
  return options;
}

app::MainWindowOptions harnessOptions(const TempDir& dir) {
  app::MainWindowOptions options;
  options.earthWaits.initializePoll = std::chrono::milliseconds(10);
  options.earthWaits.maxInitializePolls = 200;
  options.earthWaits.afterOpen = std::chrono::milliseconds(10);
  options.earthWaits.afterViewError = std::chrono::milliseconds(10);
  options.earthWaits.beforeRelease = std::chrono::milliseconds(10);
  options.tempDirectory = dir / "tmp";
  std::filesystem::create_directory(options.tempDirectory);
  std::filesystem::permissions(options.tempDirectory, std::filesystem::perms::owner_all);
  return options;
}

}  // namespace

AppHarness::AppHarness(std::string extraSettings, bool useEarth)
    : m_dataDir(m_dir.path()),
      m_useEarth(useEarth),
      m_options(harnessOptions(m_dir)),
      m_globeOptions(harnessGlobeOptions()) {
  m_port = freePort();
  std::ofstream(m_dir / "Tivra.ini") << "[settings]\r\nTcpPort=" << m_port << "\r\n"
                                     << extraSettings;
}

AppHarness::AppHarness(const std::filesystem::path& dataDir, bool useEarth)
    : m_dataDir(dataDir),
      m_useEarth(useEarth),
      m_options(harnessOptions(m_dir)),
      m_globeOptions(harnessGlobeOptions()) {
  // A fresh free port; every other setting stays as the last run left it.
  m_port = freePort();
  platform::IniFile(dataDir / "Tivra.ini").write("settings", "TcpPort", std::to_string(m_port));
}

AppHarness::~AppHarness() {
  stop();
}

bool AppHarness::start() {
  app::MainWindowOptions options = m_options;
  options.dataDirectory = m_dataDir;
  options.useEarth = m_useEarth;
  if (!options.earthFactory) {
    m_globe = std::make_unique<app::BuiltInGlobe>(m_globeOptions);
    options.earthFactory = m_globe->factory();
  }
  m_window = std::make_unique<app::MainWindow>(m_loop, m_frontend, options);
  if (const auto failed = m_window->initialise()) {
    m_exitCode = *failed;
    return false;
  }
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
  m_globe.reset();
}

}  // namespace tivra::test

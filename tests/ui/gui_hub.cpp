#include "gui_hub.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <fstream>

#include "support/app_harness.h"

namespace tivra::test {

GuiHub::GuiHub(bool useEarth, std::function<void()> mapPageRefresh, std::string_view extraSettings,
               std::filesystem::path dataDir)
    : m_dataDir(dataDir.empty() ? m_dir.path() : std::move(dataDir)) {
  // Tiles the globe asks for fail at once (nobody listens there), so no download outlasts the
  // window's wait for its connections when the hub goes.
  if (!std::filesystem::exists(m_dataDir / "Tivra.ini"))
    std::ofstream(m_dataDir / "Tivra.ini") << "[settings]\r\nTcpPort=" << freePort()
                                           << "\r\nTileHost=127.0.0.1:" << freePort() << "\r\n"
                                           << extraSettings;
  app::MainWindowOptions options;
  options.dataDirectory = m_dataDir;
  options.rememberChoices = m_dataDir != m_dir.path();
  options.useEarth = useEarth;
  options.earthWaits.initializePoll = std::chrono::milliseconds(10);
  options.earthWaits.afterOpen = std::chrono::milliseconds(10);
  options.earthWaits.afterViewError = std::chrono::milliseconds(10);
  options.earthWaits.beforeRelease = std::chrono::milliseconds(10);
  options.tempDirectory = m_dir / "tmp";
  std::filesystem::create_directory(options.tempDirectory);
  std::filesystem::permissions(options.tempDirectory, std::filesystem::perms::owner_all);
  options.mapPageRefresh = std::move(mapPageRefresh);
  options.flightTiming = search::FlightTiming{std::chrono::milliseconds(5), 101};
  options.kmlLoadWait = std::chrono::milliseconds(1);
  if (useEarth) {
    app::BuiltInGlobeOptions globe;
    globe.globe.flightBase = std::chrono::milliseconds(1);
    globe.globe.maxFlight = std::chrono::milliseconds(1);
    m_globe = std::make_unique<app::BuiltInGlobe>(globe);
    options.earthFactory = m_globe->factory();
  }
  m_window = std::make_unique<app::MainWindow>(m_loop, m_frontend, options);
  EXPECT_EQ(m_window->initialise(), std::nullopt);
}

GuiHub::~GuiHub() {
  m_window->shutdown();
  m_window.reset();
  m_globe.reset();
}

bool processUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
  QElapsedTimer timer;
  timer.start();
  while (!predicate()) {
    if (timer.elapsed() > timeout.count()) return predicate();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

}  // namespace tivra::test

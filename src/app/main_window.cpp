#include "app/main_window.h"

#include <algorithm>

#include "app/entry_document.h"
#include "platform/http_response.h"
#include "platform/log.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "server/image_endpoint.h"
#include "server/kmz_endpoint.h"
#include "server/overlay_endpoints.h"

namespace tivra::app {

using server::Endpoint;

MainWindow::MainWindow(platform::MessageLoop& loop, platform::Frontend& frontend,
                       MainWindowOptions options)
    : m_loop(loop),
      m_frontend(frontend),
      m_options(std::move(options)),
      m_ini(m_options.dataDirectory / kSettingsFile) {
  m_settings = loadMainSettings(m_ini);
  m_hosts = loadHostSettings(m_ini);
  m_entryDocument = buildEntryDocument(m_settings);
  m_tileCache = std::make_unique<store::TileCache>(m_options.dataDirectory, m_frontend,
                                                   "http:///" + m_hosts.tileHost + "/404.png");
  m_endpoints = std::make_unique<server::EndpointContext>(
      server::EndpointContext{m_settings.tcpPort, tileSourceBase(), m_mapValues, m_stateLock,
                              *m_tileCache, m_online, [this] { postMapPageRefresh(); }});
  installHandlers();
}

MainWindow::~MainWindow() {
  if (!m_shutDown) shutdown();
}

std::string MainWindow::tileSourceBase() const {
  return "http://" + m_hosts.tileHost + "/googlechina/maptile?";
}

void MainWindow::installHandlers() {
  // The GPS endpoints answer the bare empty document while there is no GPS source.
  const auto empty = [](std::string_view, std::string& out) {
    out.append(platform::kEmptyKmlDocument);
  };
  m_router.setHandler(Endpoint::SatUpdateServer, empty);
  m_router.setHandler(Endpoint::PosUpdateServer, empty);
  m_router.setHandler(Endpoint::GPSServer, empty);
  const server::EndpointContext& context = *m_endpoints;
  m_router.setHandler(Endpoint::KmzServer, [&context](std::string_view request, std::string& out) {
    server::KmzServer(context, request, out);
  });
  m_router.setHandler(Endpoint::ImageServer,
                      [&context](std::string_view request, std::string& out) {
                        server::ImageServer(context, request, out);
                      });
  m_router.setHandler(Endpoint::KmlServer, [&context](std::string_view request, std::string& out) {
    server::KmlServer(context, request, out);
  });
  m_router.setHandler(Endpoint::Default, [&context](std::string_view request, std::string& out) {
    server::DefaultEndpoint(context, request, out);
  });
}

void MainWindow::openTileCache() {
  using platform::ResourceType;
  const std::string base = tileSourceBase();
  const auto resource = [](ResourceType type, int id) { return platform::findResource(type, id); };
  const store::SeedEntry seeds[] = {
      {base + "default.png", resource(ResourceType::Png, platform::kResourceDefaultTile)},
      {base + "logo.png", resource(ResourceType::Png, platform::kResourceLogo)},
      {base + "cross.png", resource(ResourceType::Png, platform::kResourceCross)},
      {"TivraCar.kmz", resource(ResourceType::Kmz, platform::kResourceCarModel)},
      {"sat.kmz", resource(ResourceType::Kmz, platform::kResourceSatelliteModel)},
      {"demo.nmea", resource(ResourceType::Nmea, platform::kResourceDemoRecording)},
  };
  // A store that cannot be opened has been reported; the program runs on without it.
  m_tileCache->OpenCache(seeds);
}

std::optional<int> MainWindow::initialise() {
  openTileCache();

  // The listening socket.
  server::ServerHooks hooks;
  hooks.beforeAccept = [this] { exchangeMapPage(); };
  hooks.threadStarted = [this](server::ThreadId id) {
    m_loop.post([this, id] { onServerThreadStarted(id); });
  };
  hooks.threadEnded = [this](server::ThreadId id) {
    m_loop.post([this, id] { onServerThreadEnded(id); });
  };
  m_server = std::make_unique<server::HttpServer>(m_loop, m_router, m_stateLock, m_frontend,
                                                  std::move(hooks), m_options.serverOptions);
  const int port = m_settings.tcpPort;
  if (port < 0 || port > 65535 ||
      !m_server->listen(m_hosts.listenAddress, static_cast<std::uint16_t>(port))) {
    m_frontend.messageBox(platform::format("无法监听端口:%d！", port), "Tivra");
    return 1;
  }

  // The map page reads its keys when it is created.
  loadMapValues(m_ini, m_mapValues);
  m_mapPageCreated = true;

  // Without the globe, tiles may always be downloaded.
  m_online = true;
  return std::nullopt;
}

void MainWindow::exchangeMapPage() {
  // The page's spin control keeps ZoomLevel within -5..5.
  const int zoom = m_mapValues.zoomLevel;
  m_mapValues.zoomLevel = std::clamp(zoom, -5, 5);
}

void MainWindow::postMapPageRefresh() {
  // Refreshes still waiting in the queue are dropped: one is enough.
  if (m_refreshQueued.exchange(true)) return;
  m_loop.post([this] { onMapPageRefresh(); });
}

void MainWindow::onMapPageRefresh() {
  m_refreshQueued = false;
  platform::debugTrace(
      platform::format("map page offset %d,%d", m_mapValues.xoff.load(), m_mapValues.yoff.load()));
}

void MainWindow::onServerThreadStarted(server::ThreadId id) {
  m_serverThreads.push_back(id);
}

void MainWindow::onServerThreadEnded(server::ThreadId id) {
  if (m_closing) return;
  const auto it = std::find(m_serverThreads.begin(), m_serverThreads.end(), id);
  if (it != m_serverThreads.end()) m_serverThreads.erase(it);
}

void MainWindow::close() {
  if (m_closing) return;
  m_closing = true;
  if (m_server) {
    for (const server::ThreadId id : m_serverThreads) m_server->stopConnection(id);
    // Threads whose start message has not reached the list yet are stopped too.
    m_server->stopAllConnections();
  }
  server::CServerThread::waitNoServerThreads(std::chrono::milliseconds(5000));
}

void MainWindow::shutdown() {
  if (m_shutDown) return;
  close();
  m_shutDown = true;
  if (m_server) m_server->closeListener();
  if (m_mapPageCreated) saveMapValues(m_ini, m_mapValues);
  // The location map is saved, then the store closed.
  m_tileCache->CloseCache();
  saveMainSettings(m_ini, m_settings);
  m_server.reset();
}

}  // namespace tivra::app

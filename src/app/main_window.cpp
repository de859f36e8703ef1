#include "app/main_window.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>

#include "app/entry_document.h"
#include "platform/http_response.h"
#include "platform/log.h"
#include "platform/resources.h"
#include "platform/temp_paths.h"
#include "platform/text.h"
#include "search/kml_loader.h"
#include "search/local_search.h"
#include "server/image_endpoint.h"
#include "server/kmz_endpoint.h"
#include "server/overlay_endpoints.h"
#include "store/lock_file.h"

namespace tivra::app {

using server::Endpoint;

namespace {

// How long the connection threads' messages wait for the loop: one wake-up takes them all.
constexpr std::chrono::milliseconds kThreadMessageDelay{20};

}  // namespace

MainWindow::MainWindow(platform::EventLoop& loop, platform::Frontend& frontend,
                       MainWindowOptions options)
    : m_loop(loop),
      m_frontend(frontend),
      m_options(std::move(options)),
      m_ini(m_options.settingsFile.empty() ? m_options.dataDirectory / kSettingsFile
                                           : m_options.settingsFile) {
  // Defaults are used for this run, and the file is not written over at its end.
  if (const auto why = m_ini.unreadable()) {
    platform::warn("tivra: cannot read the settings file " + *why);
    m_frontend.errorBox("无法读取设置文件 " + *why + "，本次使用默认设置，退出时不覆盖它。",
                        "Tivra");
  }
  m_settings = loadMainSettings(m_ini);
  m_hosts = loadHostSettings(m_ini);
  if (m_options.rememberChoices) m_windowChoices = loadWindowChoices(m_ini);
  m_entryDocument = buildEntryDocument(m_settings);
  if (m_options.browserGlobe) m_options.browserGlobe->setEntryDocument(m_entryDocument);
  m_tileCache = std::make_unique<store::TileCache>(m_options.dataDirectory, m_frontend,
                                                   "http:///" + m_hosts.tileHost + "/404.png");
  m_endpoints = std::make_unique<server::EndpointContext>(
      server::EndpointContext{m_settings.tcpPort, tileSourceBase(), m_mapValues, m_stateLock,
                              *m_tileCache, m_online, [this] { postMapPageRefresh(); }});
  m_tileSource = std::make_unique<tiles::TileSource>(
      tiles::TileSource::Settings{m_hosts.tileUrl, m_hosts.tileSubdomains, m_hosts.testCaFile});
  m_endpoints->tileSource = m_tileSource.get();
  m_endpoints->offsetModel = tiles::parseOffsetModel(m_hosts.offsetModel);
  m_endpoints->stop = m_stopDownloads.get_token();
  m_endpoints->flights = &m_tileFlights;
  m_endpoints->counts = &m_tileCounts;
  m_endpoints->transparentTiles = &m_transparentTiles;
  createGpsPage();
  installHandlers();
}

MainWindow::~MainWindow() {
  if (!m_shutDown) shutdown();
}

std::string MainWindow::tileSourceBase() const {
  return "http://" + m_hosts.tileHost + "/googlechina/maptile?";
}

void MainWindow::createGpsPage() {
  std::filesystem::path dir = m_options.tempDirectory;
  if (dir.empty()) {
    std::string error;
    if (const auto found = platform::privateTempDirectory(error)) dir = *found;
  }
  m_tempDirectory = dir;
  gps::GpsControllerOptions controller = m_options.gpsController;
  controller.serialPatterns = m_hosts.serialPorts;
  m_gpsPage = std::make_unique<gps::GpsPage>(gps::GpsPageDeps{
      .loop = m_loop,
      .frontend = m_frontend,
      .stateLock = m_stateLock,
      .earth = [this]() -> globe::Earth* { return m_earthStarted ? m_earth.get() : nullptr; },
      .tempDirectory = dir,
      .serverPort = m_settings.tcpPort,
      .onStatus = m_options.gpsStatus,
      .startWait = m_options.gpsStartWait,
      .controller = controller});
  gps::GpsPage* page = m_gpsPage.get();
  m_gpsEndpoints = std::make_unique<gps::GpsEndpointContext>(gps::GpsEndpointContext{
      .port = m_settings.tcpPort,
      .iconHost = m_hosts.iconHost,
      .activeSource = [page]() -> std::shared_ptr<gps::GpsData> {
        auto source = page->controller().activeSource();
        return source ? std::shared_ptr<gps::GpsData>(source, &source->data()) : nullptr;
      },
      .documentName = [page] { return page->documentName(); },
      .follow = [page] { return page->followOptions(); },
      // Without the globe the camera step fails quietly.
      .earthFactory = m_options.useEarth ? m_options.earthFactory : globe::EarthFactory()});
}

void MainWindow::installHandlers() {
  const gps::GpsEndpointContext& gpsContext = *m_gpsEndpoints;
  m_router.setHandler(Endpoint::SatUpdateServer,
                      [&gpsContext](std::string_view request, std::string& out) {
                        gps::SatUpdateServer(gpsContext, request, out);
                      });
  m_router.setHandler(Endpoint::PosUpdateServer,
                      [&gpsContext](std::string_view request, std::string& out) {
                        gps::PosUpdateServer(gpsContext, request, out);
                      });
  m_router.setHandler(Endpoint::GPSServer,
                      [&gpsContext](std::string_view request, std::string& out) {
                        gps::GPSServer(gpsContext, request, out);
                      });
  const server::EndpointContext& context = *m_endpoints;
  m_router.setHandler(Endpoint::KmzServer, [&context](std::string_view request, std::string& out) {
    server::KmzServer(context, request, out);
  });
  m_router.setResponseHandler(Endpoint::ImageServer,
                              [&context](std::string_view request, server::Response& out) {
                                server::ImageServer(context, request, out);
                              });
  m_router.setHandler(Endpoint::KmlServer, [&context](std::string_view request, std::string& out) {
    server::KmlServer(context, request, out);
  });
  m_router.setHandler(Endpoint::Default, [&context](std::string_view request, std::string& out) {
    server::DefaultEndpoint(context, request, out);
  });
  m_pageContext = std::make_unique<web::PageContext>(
      web::PageContext{.root = m_options.webRoot.value_or(web::defaultWebRoot()),
                       .port = m_settings.tcpPort,
                       // Built once at construction, so connection threads may read it.
                       .entryDocument = [this] { return m_entryDocument; },
                       .route = [this](std::string_view request,
                                       std::string& out) { m_router.RouteRequest(request, out); },
                       .globe = m_options.browserGlobe});
  const web::PageContext& page = *m_pageContext;
  m_router.setPrefixHandler(std::string(web::kPagePrefix),
                            [&page](std::string_view request, std::string& out) {
                              web::PageEndpoint(page, request, out);
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
  // One writer per store, whatever runtime directory (and so instance lock) the other has.
  auto writer = store::lock_writer(m_options.dataDirectory / store::kStoreBaseName);
  if (!writer.lock) {
    platform::warn(writer.outcome == platform::LockOutcome::kHeldByAnother
                       ? "tivra: the store in " + m_options.dataDirectory.string() +
                             " is in use by another program"
                       : "tivra: cannot lock the store: " + writer.error);
    m_frontend.errorBox("无法创建缓存文件！", "Tivra");
    return;
  }
  m_storeWriter = std::move(writer.lock);
  // A store that cannot be opened has been reported; the program runs on without it.
  if (m_tileCache->OpenCache(seeds) == 0)
    m_storeTimer = m_loop.addTimer(
        m_tileCache->maintainPeriod(), [this] { m_tileCache->maintain(); }, true);
}

std::optional<int> MainWindow::initialise() {
  openTileCache();

  // The listening socket.
  server::ServerHooks hooks;
  hooks.beforeAccept = [this] { exchangeMapPage(); };
  hooks.threadStarted = [this](server::ThreadId id) { queueServerThreadMessage(id, true); };
  hooks.threadEnded = [this](server::ThreadId id) { queueServerThreadMessage(id, false); };
  m_server = std::make_unique<server::HttpServer>(m_router, m_stateLock, m_frontend,
                                                  std::move(hooks), m_options.serverOptions);
  const int port = m_settings.tcpPort;
  if (port < 0 || port > 65535 ||
      !m_server->listen(m_hosts.listenAddress, static_cast<std::uint16_t>(port))) {
    m_frontend.errorBox(platform::format("无法监听端口:%d！", port), "Tivra");
    return 1;
  }
  // Connections are taken once the loop runs: by then everything they reach is set up.
  m_loop.post([this] {
    if (!m_closing && !m_server->startAccepting())
      platform::warn("tivra: no thread to take connections could be started");
  });

  // The map page reads its keys when it is created.
  loadMapValues(m_ini, m_mapValues);
  m_mapPageCreated = true;

  // Without the globe, or when it cannot be reached, tiles may always be downloaded.
  m_online = true;
  if (m_options.useEarth) {
    if (!createEarth()) {
      m_frontend.errorBox("无法启动Google Earth,请确认正常安装GE4.0.2091以上版本！", "Tivra");
      return 3;
    }
    startEarth();
  }

  // The navigation and search pages need a newer globe.
  if (m_earthStarted && m_online && m_earthVersion) {
    if (*m_earthVersion > 402091) {
      createSearchPages();
    } else {
      m_frontend.messageBox("GE4.0.2416以下版本部分重要功能无法使将用，建议升级！", "Tivra");
    }
  }
  return std::nullopt;
}

void MainWindow::createSearchPages() {
  // The services' results are shifted as the overlay is, so they land on its map.
  const search::Offsets offsets{&m_tileCache->locationMap(),
                                tiles::parseOffsetModel(m_hosts.offsetModel)};
  const std::string iconBase = search::serviceBase(m_hosts.iconHost);
  const search::ServiceSetting routeService = search::parseServiceSetting(m_hosts.routeService);
  const search::ServiceSetting searchService = search::parseServiceSetting(m_hosts.searchService);
  const auto base = [](const search::ServiceSetting& setting, const std::string& host) {
    return setting.api == search::ServiceApi::Legacy ? search::serviceBase(host) : setting.base;
  };
  m_navPage = std::make_unique<search::NavPage>(
      *m_earth, m_frontend,
      search::NavPageOptions{
          .earthFactory = m_options.earthFactory,
          .service = {base(routeService, m_hosts.routeHost), offsets, routeService.api,
                      std::make_shared<search::RequestPacer>()},
          .iconBase = iconBase,
          .tempDirectory = m_tempDirectory,
          // Messages 1228 and 1229 reach the page through the main thread's queue.
          .post = [this](std::function<void()> task) { m_loop.post(std::move(task)); },
          .stateLock = &m_stateLock,
          .flightTiming = m_options.flightTiming,
          .loadWait = m_options.kmlLoadWait});
  m_searchPage = std::make_unique<search::SearchPage>(
      *m_earth, m_frontend,
      search::SearchServices{base(searchService, m_hosts.searchHost),
                             {iconBase, search::serviceBase(m_hosts.detailHost)},
                             offsets,
                             searchService.api,
                             std::make_shared<search::RequestPacer>()},
      m_tempDirectory, m_options.kmlLoadWait);
  if (m_options.browserGlobe) {
    // The page's pick mode drags the picker over its own view; the pointer is where the picker
    // points, 15 pixels above and left of its corner.
    m_options.browserGlobe->setPickHandler([this](const web::PagePick& pick) {
      m_loop.post([this, pick] {
        if (!m_navPage) return;
        using Phase = web::PagePick::Phase;
        if (pick.phase == Phase::Press)
          m_navPage->pressPicker({0, 0, pick.width, pick.height});
        else if (pick.phase == Phase::Move)
          m_navPage->movePointer(pick.x - 15, pick.y - 15, true);
        else
          m_navPage->releasePointer(pick.x - 15, pick.y - 15, true);
      });
    });
  }
}

bool MainWindow::createEarth() {
  const EarthWaits& waits = m_options.earthWaits;
  try {
    if (m_options.earthFactory) m_earth = m_options.earthFactory();
    if (!m_earth) throw globe::EarthError("no globe");
    for (int polls = 0; !m_earth->IsInitialized(); ++polls) {
      if (polls >= waits.maxInitializePolls)
        throw globe::EarthError("the globe did not become ready");
      std::this_thread::sleep_for(waits.initializePoll);
    }
    return true;
  } catch (const std::exception& e) {
    platform::debugTrace(std::string("globe: cannot start: ") + e.what());
    m_earth.reset();
    return false;
  }
}

void MainWindow::startEarth() {
  const EarthWaits& waits = m_options.earthWaits;
  m_earthStarted = true;
  openEntryDocument();
  if (waits.afterOpenByTimer) {
    // The same calls in the same order as the wait below, with the window shown meanwhile;
    // the state is read first since the pages created at start-up depend on it.
    readEarthState();
    m_entryViewTimer = m_loop.addTimer(
        waits.afterOpen,
        [this] {
          m_entryViewTimer = 0;
          showEntryView();
        },
        false);
    return;
  }
  std::this_thread::sleep_for(waits.afterOpen);
  showEntryView();
  readEarthState();
}

void MainWindow::showEntryView() {
  try {
    const auto feature = m_earth->GetFeatureByName("Tivra");
    if (!feature) throw globe::EarthError("no feature named Tivra");
    feature->putVisibility(true);
    m_earth->SetFeatureView(*feature, 0.1);
  } catch (const globe::EarthError& e) {
    platform::debugTrace(std::string("globe: entry view: ") + e.what());
    // The pause lets the globe settle before it is asked anything more; by timer, nothing is.
    if (!m_options.earthWaits.afterOpenByTimer)
      std::this_thread::sleep_for(m_options.earthWaits.afterViewError);
  }
}

void MainWindow::readEarthState() {
  try {
    const bool online = m_earth->IsOnline();
    const int major = m_earth->VersionMajor();
    const int minor = m_earth->VersionMinor();
    const int build = m_earth->VersionBuild();
    const int version = major * 100000 + minor * 10000 + build;
    m_online = online;
    m_earthVersion = version;
  } catch (const globe::EarthError& e) {
    // A globe that cannot be asked is treated as one that cannot be reached.
    platform::debugTrace(std::string("globe: state: ") + e.what());
    m_online = true;
  }
}

void MainWindow::openEntryDocument() {
  std::filesystem::path dir = m_options.tempDirectory;
  std::string error;
  if (dir.empty()) {
    const auto found = platform::privateTempDirectory(error);
    if (found) dir = *found;
  }
  if (dir.empty()) {
    m_frontend.errorBox("无法写入入口文档: " + error, "Tivra");
    return;
  }
  const std::filesystem::path file = dir / "tivra.kml";
  if (!search::writeWholeFile(file, m_entryDocument, error)) {
    m_frontend.errorBox("无法写入入口文档 " + file.string() + ": " + error, "Tivra");
    return;
  }
  m_entryFile = file;
  try {
    m_earth->OpenKmlFile(file.string(), true);
  } catch (const globe::EarthError& e) {
    platform::debugTrace(std::string("globe: cannot open the entry document: ") + e.what());
  }
}

void MainWindow::stopEarth() {
  if (!m_earthStarted || !m_earth) return;
  try {
    for (const std::string_view name : {"Tivra Overlay", "Tivra GPS"}) {
      if (const auto feature = m_earth->GetFeatureByName(name)) feature->putVisibility(false);
    }
    const globe::Camera camera = m_earth->GetCamera(true);
    // A camera the globe cannot describe is not written over the user's last good one.
    if (std::isfinite(camera.FocusPointLongitude) && std::isfinite(camera.FocusPointLatitude) &&
        std::isfinite(camera.Range)) {
      m_settings.cameraLongitude = camera.FocusPointLongitude;
      m_settings.cameraLatitude = camera.FocusPointLatitude;
      m_settings.cameraRange = camera.Range;
    }
    std::this_thread::sleep_for(m_options.earthWaits.beforeRelease);
  } catch (const globe::EarthError& e) {
    platform::debugTrace(std::string("globe: at shutdown: ") + e.what());
  }
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
  if (m_options.mapPageRefresh) m_options.mapPageRefresh();
  platform::debugTrace(
      platform::format("map page offset %d,%d", m_mapValues.xoff.load(), m_mapValues.yoff.load()));
}

void MainWindow::queueServerThreadMessage(server::ThreadId id, bool started) {
  {
    std::lock_guard lock(m_threadMessagesMutex);
    // Messages already waiting have a take-over on its way.
    const bool posted = !m_threadMessages.empty();
    m_threadMessages.emplace_back(id, started);
    if (posted) return;
  }
  m_loop.post([this] {
    if (m_shutDown) {
      takeServerThreadMessages();
      return;
    }
    m_threadMessagesTimer = m_loop.addTimer(
        kThreadMessageDelay,
        [this] {
          m_threadMessagesTimer = 0;
          takeServerThreadMessages();
        },
        false);
  });
}

void MainWindow::takeServerThreadMessages() {
  std::vector<std::pair<server::ThreadId, bool>> messages;
  {
    std::lock_guard lock(m_threadMessagesMutex);
    messages.swap(m_threadMessages);
  }
  for (const auto& [id, started] : messages) {
    if (started)
      onServerThreadStarted(id);
    else
      onServerThreadEnded(id);
  }
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
  // The promised 5000 ms are the whole wait for connection threads, joins included.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(5000);
  m_stopDownloads.request_stop();
  if (m_server) {
    takeServerThreadMessages();
    for (const server::ThreadId id : m_serverThreads) m_server->stopConnection(id);
    // Threads whose start message has not reached the list yet are stopped too.
    m_server->stopAllConnections();
    m_server->stop(deadline);
  }
}

void MainWindow::shutdown() {
  if (m_shutDown) return;
  m_shutDown = true;
  // Each step runs whatever an earlier one threw: the settings and the store matter most.
  const auto step = [](const char* what, const auto& run) {
    try {
      run();
    } catch (const std::exception& e) {
      platform::warn(std::string("tivra: at shutdown, ") + what + ": " + e.what());
    }
  };
  // The pages go first: closing the navigation page stops a flight, the GPS page its source.
  step("pages", [&] {
    if (m_options.browserGlobe) m_options.browserGlobe->setPickHandler({});
    m_navPage.reset();
    m_searchPage.reset();
    if (m_gpsPage) m_gpsPage->stop();
  });
  if (m_entryViewTimer != 0) m_loop.cancelTimer(m_entryViewTimer);
  m_entryViewTimer = 0;
  if (m_threadMessagesTimer != 0) m_loop.cancelTimer(m_threadMessagesTimer);
  m_threadMessagesTimer = 0;
  step("connections", [&] { close(); });
  step("listening socket", [&] {
    if (m_server) m_server->closeListener();
  });
  step("globe", [&] { stopEarth(); });
  // The location map is saved, then the store closed; a failure there does not stop the rest.
  if (m_storeTimer != 0) m_loop.cancelTimer(m_storeTimer);
  m_storeTimer = 0;
  step("store", [&] {
    m_tileCache->CloseCache();
    m_storeWriter.reset();
  });
  // The map page's keys go with the window's in one rewrite: a full disk or a kill never
  // leaves the file with one half of them.
  step("settings", [&] {
    std::string error;
    if (!saveSettings(m_ini, m_mapPageCreated ? &m_mapValues : nullptr, m_settings, &error)) {
      m_settingsNotSaved = error.empty() ? std::string("unknown error") : error;
      platform::warn(std::string("tivra: the settings were not saved (") + kSettingsFile +
                     " keeps what it held): " + error);
    }
    if (m_options.rememberChoices && m_settingsNotSaved.empty() &&
        !saveWindowChoices(m_ini, m_windowChoices, &error))
      m_settingsNotSaved = error.empty() ? std::string("unknown error") : error;
  });
  step("server", [&] { m_server.reset(); });
  step("entry document", [&] {
    if (!m_entryFile.empty()) {
      std::error_code ec;
      std::filesystem::remove(m_entryFile, ec);
      m_entryFile.clear();
    }
  });
  // The handle goes; whoever made the globe ends it after this.
  step("globe release", [&] { m_earth.reset(); });
  m_earthStarted = false;
}

std::string globePageUrl(std::uint16_t port) {
  return "http://127.0.0.1:" + std::to_string(port) + std::string(web::kPagePrefix);
}

void exitIfConnectionsStuck(int code) {
  // Every thread joined: the exit handlers may run. A thread still running would meet them
  // (freed heaps, cleaned-up libraries), so the process leaves without them.
  if (server::HttpServer::threadsLeft() == 0) return;
  std::fflush(nullptr);
  ::_exit(code);
}

}  // namespace tivra::app

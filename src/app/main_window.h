#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "globe/earth.h"
#include "gps/gps_endpoints.h"
#include "gps/gps_page.h"
#include "platform/event_loop.h"
#include "platform/file_lock.h"
#include "platform/frontend.h"
#include "platform/ini.h"
#include "search/nav_page.h"
#include "search/search_page.h"
#include "server/endpoint_context.h"
#include "server/http_server.h"
#include "server/router.h"
#include "server/tile_flights.h"
#include "store/tile_cache.h"
#include "tiles/map_values.h"
#include "tiles/transparent_tiles.h"
#include "web/browser_globe.h"
#include "web/page_endpoint.h"

namespace tivra::app {

// The pauses of the globe's start and shutdown; tests shorten them.
struct EarthWaits {
  std::chrono::milliseconds initializePoll{500};
  // A globe that never becomes ready is given up after this many polls (a minute).
  int maxInitializePolls = 120;
  std::chrono::milliseconds afterOpen{300};
  // The window's start: the wait after the entry document runs as a timer of the loop, so the
  // window shows during it; the globe's online flag and version are read before it.
  bool afterOpenByTimer = false;
  std::chrono::milliseconds afterViewError{1000};
  std::chrono::milliseconds beforeRelease{1500};
};

struct MainWindowOptions {
  std::filesystem::path dataDirectory = ".";  // holds the tile store
  std::filesystem::path settingsFile;         // Tivra.ini; empty: in dataDirectory
  bool useEarth = true;                       // off with "-WW" / "/WW"
  // Tests shorten the idle limit of connections.
  server::ServerOptions serverOptions{};

  EarthWaits earthWaits{};
  // Connects to the globe; empty: the globe cannot be started.
  globe::EarthFactory earthFactory;
  // Where tivra.kml is written; empty: the private per-user temporary directory.
  std::filesystem::path tempDirectory;
  // Every status text of the GPS page; tests shorten the page's waits and probes.
  std::function<void(std::string_view)> gpsStatus;
  std::chrono::milliseconds gpsStartWait{1500};
  gps::GpsControllerOptions gpsController{};
  // WM_MAP_PAGE_REFRESH reaching the window (main thread): the page shows its values again.
  std::function<void()> mapPageRefresh;
  // The navigation page's waits; tests shorten them.
  search::FlightTiming flightTiming{};
  std::chrono::milliseconds kmlLoadWait{300};
  // The globe page under /globe/: its files (empty: beside the program or in the source tree)
  // and, when the page is the globe, the hub that drives it.
  std::optional<web::WebRoot> webRoot;
  web::BrowserGlobe* browserGlobe = nullptr;
  // The window's page and GPS choices are read at the start and written at the end.
  bool rememberChoices = false;
};

// The hub of the program, the same object in GUI and headless runs: the settings, StateLock, the
// map page's values, the online flag, the listening socket and the list of live connection
// threads. Lives on the main thread; the connection threads reach it only through posted work and
// the members marked thread-safe.
class MainWindow {
 public:
  MainWindow(platform::EventLoop& loop, platform::Frontend& frontend, MainWindowOptions options);
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Start-up in order; returns nullopt when running, or the exit code when start-up failed.
  std::optional<int> initialise();
  // Closing: the closing flag, WM_SERVER_THREAD_STOP to every listed thread and a bounded wait
  // for them. Then shutdown() in order (listening socket, map page, store, settings).
  void close();
  void shutdown();

  const MainSettings& settings() const { return m_settings; }
  // The window's last recorded left and top edge, written as XPos and YPos at shutdown.
  void setWindowPosition(std::int32_t x, std::int32_t y) {
    m_settings.xPos = x;
    m_settings.yPos = y;
  }
  const HostSettings& hosts() const { return m_hosts; }
  // What the window shows and keeps (see MainWindowOptions::rememberChoices).
  WindowChoices& windowChoices() { return m_windowChoices; }
  const std::string& entryDocument() const { return m_entryDocument; }
  std::uint16_t listeningPort() const { return m_server ? m_server->port() : 0; }
  std::string tileSourceBase() const;
  // Thread-safe: the tiles served, stored and missed since the start.
  const server::TileCounts& tileCounts() const { return m_tileCounts; }
  // Why the settings could not be written at shutdown; empty when they were.
  const std::string& settingsNotSaved() const { return m_settingsNotSaved; }

  // The globe, once started (main thread only).
  bool earthStarted() const { return m_earthStarted; }
  globe::Earth* earth() { return m_earth.get(); }
  // major * 100000 + minor * 10000 + build; nullopt when it could not be read.
  std::optional<int> earthVersion() const { return m_earthVersion; }
  // The entry document's file while the globe runs.
  const std::filesystem::path& entryFile() const { return m_entryFile; }

  // Thread-safe.
  std::mutex& stateLock() { return m_stateLock; }
  tiles::MapValues& mapValues() { return m_mapValues; }
  bool online() const { return m_online.load(); }
  void setOnline(bool online) { m_online = online; }
  void postMapPageRefresh();
  store::TileCache& tileCache() { return *m_tileCache; }
  // The GPS page's core (main thread only).
  gps::GpsPage& gpsPage() { return *m_gpsPage; }
  // The navigation and search pages' cores (main thread only): created by initialise() with a
  // globe that is online and newer than 4.0.2091, else null.
  search::NavPage* navPage() { return m_navPage.get(); }
  search::SearchPage* searchPage() { return m_searchPage.get(); }
  // The window's GPS page exists only with the globe in use.
  bool gpsPageWanted() const { return m_earthStarted; }
  // True until the entry document's view step has run (see EarthWaits::afterOpenByTimer).
  bool entryViewPending() const { return m_entryViewTimer != 0; }

  // Main thread only (tests read it between loop turns).
  const std::vector<server::ThreadId>& serverThreads() const { return m_serverThreads; }

 private:
  void createGpsPage();
  void createSearchPages();
  void installHandlers();
  void openTileCache();
  // Creates the globe and waits until it is ready; false when it cannot be started.
  bool createEarth();
  void startEarth();
  void openEntryDocument();
  void showEntryView();
  void readEarthState();
  void stopEarth();
  // WM_SERVER_THREAD_STARTED / _ENDED, from a connection thread: queued, and taken by the
  // loop in one batch a moment after the first, so a busy server does not wake the loop for
  // every connection.
  void queueServerThreadMessage(server::ThreadId id, bool started);
  void takeServerThreadMessages();
  void onServerThreadStarted(server::ThreadId id);
  void onServerThreadEnded(server::ThreadId id);
  void onMapPageRefresh();
  // The accept handler's data exchange: the page's controls into its values.
  void exchangeMapPage();

  platform::EventLoop& m_loop;
  platform::Frontend& m_frontend;
  MainWindowOptions m_options;
  platform::IniFile m_ini;
  MainSettings m_settings;
  HostSettings m_hosts;
  WindowChoices m_windowChoices;
  std::string m_entryDocument;

  std::mutex m_stateLock;  // `StateLock`
  tiles::MapValues m_mapValues;
  bool m_mapPageCreated = false;
  std::atomic<bool> m_online{false};
  std::atomic<bool> m_refreshQueued{false};

  std::optional<platform::FileLock> m_storeWriter;  // held while the store is open
  std::unique_ptr<store::TileCache> m_tileCache;
  platform::EventLoop::TimerId m_storeTimer = 0;  // saves the location map, checkpoints
  std::unique_ptr<tiles::TileSource> m_tileSource;
  // Closing the window gives up the downloads of connection threads.
  std::stop_source m_stopDownloads;
  server::TileFlights m_tileFlights;
  server::TileCounts m_tileCounts;
  std::string m_settingsNotSaved;
  tiles::TransparentTiles m_transparentTiles;
  std::unique_ptr<server::EndpointContext> m_endpoints;
  std::unique_ptr<web::PageContext> m_pageContext;
  // Outlive the server: connection threads read them until it is gone.
  std::unique_ptr<gps::GpsPage> m_gpsPage;
  std::unique_ptr<gps::GpsEndpointContext> m_gpsEndpoints;
  std::filesystem::path m_tempDirectory;  // the private temporary directory, empty if none
  // Destroyed first at shutdown: closing stops a running flight.
  std::unique_ptr<search::SearchPage> m_searchPage;
  std::unique_ptr<search::NavPage> m_navPage;

  bool m_closing = false;
  bool m_shutDown = false;
  std::vector<server::ThreadId> m_serverThreads;
  std::mutex m_threadMessagesMutex;
  std::vector<std::pair<server::ThreadId, bool>> m_threadMessages;  // (id, started), in order
  platform::EventLoop::TimerId m_threadMessagesTimer = 0;           // loop thread only
  server::Router m_router;
  std::unique_ptr<server::HttpServer> m_server;

  std::unique_ptr<globe::Earth> m_earth;
  bool m_earthStarted = false;
  std::optional<int> m_earthVersion;
  std::filesystem::path m_entryFile;
  platform::EventLoop::TimerId m_entryViewTimer = 0;
};

// The globe page's address on the loopback.
std::string globePageUrl(std::uint16_t port);

// After shutdown(), when everything is written: a connection thread stuck past the shutdown
// wait still reaches the window, its store and the loop, and must not meet the exit handlers,
// so the process ends with `code` at once. Returns when every connection thread was joined.
void exitIfConnectionsStuck(int code);

}  // namespace tivra::app

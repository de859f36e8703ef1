#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/settings.h"
#include "platform/frontend.h"
#include "platform/ini.h"
#include "platform/message_loop.h"
#include "server/endpoint_context.h"
#include "server/http_server.h"
#include "server/router.h"
#include "store/tile_cache.h"
#include "tiles/map_values.h"

namespace tivra::app {

struct MainWindowOptions {
  std::filesystem::path dataDirectory = ".";  // holds Tivra.ini and the tile store
  bool useEarth = true;                       // off with "-WW" / "/WW"
  // Tests shorten the idle limit of connections.
  server::ServerOptions serverOptions{};
};

// The hub of the program, the same object in GUI and headless runs: the settings, StateLock, the
// map page's values, the online flag, the listening socket and the list of live connection
// threads. Lives on the main thread; the connection threads reach it only through posted work and
// the members marked thread-safe.
class MainWindow {
 public:
  MainWindow(platform::MessageLoop& loop, platform::Frontend& frontend, MainWindowOptions options);
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
  const HostSettings& hosts() const { return m_hosts; }
  const std::string& entryDocument() const { return m_entryDocument; }
  std::uint16_t listeningPort() const { return m_server ? m_server->port() : 0; }
  std::string tileSourceBase() const;

  // Thread-safe.
  std::mutex& stateLock() { return m_stateLock; }
  tiles::MapValues& mapValues() { return m_mapValues; }
  bool online() const { return m_online.load(); }
  void setOnline(bool online) { m_online = online; }
  void postMapPageRefresh();
  store::TileCache& tileCache() { return *m_tileCache; }

  // Main thread only (tests read it between loop turns).
  const std::vector<server::ThreadId>& serverThreads() const { return m_serverThreads; }

 private:
  void installHandlers();
  void openTileCache();
  void onServerThreadStarted(server::ThreadId id);
  void onServerThreadEnded(server::ThreadId id);
  void onMapPageRefresh();
  // The accept handler's data exchange: the page's controls into its values.
  void exchangeMapPage();

  platform::MessageLoop& m_loop;
  platform::Frontend& m_frontend;
  MainWindowOptions m_options;
  platform::IniFile m_ini;
  MainSettings m_settings;
  HostSettings m_hosts;
  std::string m_entryDocument;

  std::mutex m_stateLock;  // `StateLock`
  tiles::MapValues m_mapValues;
  bool m_mapPageCreated = false;
  std::atomic<bool> m_online{false};
  std::atomic<bool> m_refreshQueued{false};

  std::unique_ptr<store::TileCache> m_tileCache;
  std::unique_ptr<server::EndpointContext> m_endpoints;

  bool m_closing = false;
  bool m_shutDown = false;
  std::vector<server::ThreadId> m_serverThreads;
  server::Router m_router;
  std::unique_ptr<server::HttpServer> m_server;
};

}  // namespace tivra::app

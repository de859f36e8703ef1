#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "store/tile_cache.h"
#include "tiles/map_values.h"

namespace tivra::server {

// What the endpoints reach through the main window. The references outlive the server.
struct EndpointContext {
  int port = 11000;            // `TcpPort`: URLs back to this server use it
  std::string tileSourceBase;  // `TileSourceBase`
  tiles::MapValues& mapValues;
  std::mutex& stateLock;            // `StateLock`
  store::TileCache& tileCache;      // fails harmlessly when the store could not be opened
  const std::atomic<bool>& online;  // downloads only while set
  std::function<void()> postMapPageRefresh;
};

}  // namespace tivra::server

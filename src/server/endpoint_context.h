#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>

#include "store/tile_cache.h"
#include "tiles/gcj02.h"
#include "tiles/map_values.h"
#include "tiles/tile_source.h"
#include "tiles/transparent_tiles.h"

namespace tivra::server {

class TileFlights;

// Tiles asked of `ImageServer` since the start, for the window's status line; any thread.
struct TileCounts {
  std::atomic<std::uint64_t> served{0};  // answered with an image
  std::atomic<std::uint64_t> stored{0};  // downloaded and kept in the store
  std::atomic<std::uint64_t> missed{0};  // answered with the placeholder
};

// What the endpoints reach through the main window. The references outlive the server.
struct EndpointContext {
  int port = 11000;            // `TcpPort`: URLs back to this server use it
  std::string tileSourceBase;  // `TileSourceBase`
  tiles::MapValues& mapValues;
  std::mutex& stateLock;            // `StateLock`
  store::TileCache& tileCache;      // fails harmlessly when the store could not be opened
  const std::atomic<bool>& online;  // downloads only while set
  std::function<void()> postMapPageRefresh;
  // `TileUrl`: where a tile missing from the store is read; null: `TileSourceBase` + query.
  const tiles::TileSource* tileSource = nullptr;
  tiles::OffsetModel offsetModel = tiles::OffsetModel::None;  // `OffsetModel`
  // Requested when the window closes: downloads and waits for them give up.
  std::stop_token stop{};
  // Shares one fetch among connections asking for the same tile; null: each fetches alone.
  TileFlights* flights = nullptr;
  // Null: nothing is counted.
  TileCounts* counts = nullptr;
  // The transparent tiles made lately; null: each "T" request processes its tile anew.
  tiles::TransparentTiles* transparentTiles = nullptr;
};

}  // namespace tivra::server

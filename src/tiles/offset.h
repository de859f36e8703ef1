#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "store/location_map.h"
#include "tiles/gcj02.h"
#include "tiles/geometry.h"
#include "tiles/map_values.h"

namespace tivra::tiles {

inline constexpr int kOffsetLevels = 8;

// The cell key of a position on level 0..7: "%ld,%ld" of the indices (lon >> (level + 8),
// lat >> (level + 8)), an arithmetic shift, so negative positions fall into cell -1 and below.
std::string cellKey(PointE5 position, int level);

// `LookupOffset`: the offset of the finest cell that holds one.
std::optional<PointE5> LookupOffset(const store::LocationMap& map, PointE5 position);
// `StoreOffset`: records the offset in the position's cells on all eight levels.
bool StoreOffset(store::LocationMap& map, PointE5 position, PointE5 offset, bool overwrite);

// The map's offset at a position: the finest calibrated cell's, else the offset model's; nullopt
// when neither gives one. The overlay and the search services shift by this one rule, so their
// results land on the same map.
std::optional<PointE5> offsetAt(const store::LocationMap* locations, OffsetModel model,
                                PointE5 position);

// What the offset correction of an overlay request works with.
struct OffsetContext {
  MapValues& values;
  std::mutex& stateLock;                     // `StateLock`
  store::LocationMap* locations;             // null without a store
  std::function<void()> postMapPageRefresh;  // WM_MAP_PAGE_REFRESH to the main window
  OffsetModel model = OffsetModel::None;     // `OffsetModel`
};

// The offset correction run by each overlay request for the view centre. With AutoOffset the
// location map's offset becomes the page's; where the map has no cell, the offset model's offset
// (if any) is used the same way but not stored, so a calibration of the user's always wins.
// Without AutoOffset a hand-edited offset is stored for the place. pause is how long the lock is
// kept after a found offset was posted. Returns the offset to use.
PointE5 correctOffset(const OffsetContext& context, PointE5 centre,
                      std::chrono::milliseconds pause);

}  // namespace tivra::tiles

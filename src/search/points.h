#pragma once

// Positions of search and navigation: E5 units (0.00001 degree, x longitude, y latitude), point
// list texts "x,y;x,y", and the shift between the globe's frame and the services' map frame.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/location_map.h"
#include "tiles/gcj02.h"
#include "tiles/geometry.h"

namespace tivra::search {

using tiles::PointE5;

// `DegreesToE5`: each value narrowed to single precision first, then times 100000 in double
// precision, truncated toward zero (116.397128 gives 11639712, 31.23 gives 3122999).
PointE5 DegreesToE5(double longitude, double latitude);

// A list text of points: "%ld,%ld" joined by ";".
std::string pointListText(std::span<const PointE5> points);

// `CountPoints`: 0 for an empty text; the number of commas when it is one more than the number
// of semicolons; else -1.
int CountPoints(std::string_view list);

// `ParsePointList`: as many ";"-separated tokens as CountPoints gives, each read as "x,y" with
// atoi; empty for a count of 0 or -1.
std::vector<PointE5> ParsePointList(std::string_view list);

// Where the services' map frame lies against the globe's: the stored offsets (null when no store
// is open) and the offset model for places without one, as the overlay has them. Without either
// every offset is 0.
struct Offsets {
  Offsets() = default;
  // Implicit: a bare map (or nullptr) is offsets without a model.
  Offsets(const store::LocationMap* locations,
          tiles::OffsetModel offsetModel = tiles::OffsetModel::None)
      : map(locations), model(offsetModel) {}
  const store::LocationMap* map = nullptr;
  tiles::OffsetModel model = tiles::OffsetModel::None;
};

// `GlobeToMapList`: every point p of the list as p - offset(p), written "%d,%d" joined by ";".
std::string GlobeToMapList(std::string_view list, Offsets offsets);

// `MapToGlobe`: each point p becomes 2p - q where q is p shifted into the map frame; one
// reflection step.
std::vector<PointE5> MapToGlobe(std::span<const PointE5> points, Offsets offsets);

// Whether a position lies on the globe: |longitude| <= 180 and |latitude| <= 90 degrees.
bool onGlobe(PointE5 p);

// What the parse of a service's answer left out, for callers that tell the user.
struct AnswerNotes {
  bool cut = false;         // more items than our limit: the rest were not read
  std::size_t refused = 0;  // items whose position, as the service wrote it or shifted, is off
                            // the globe
};

namespace detail {
// Differences of hostile positions may leave 32 bits; they saturate instead.
std::int32_t saturate(std::int64_t value);
}  // namespace detail

}  // namespace tivra::search

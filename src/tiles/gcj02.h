#pragma once

#include <string_view>

#include "tiles/geometry.h"

namespace tivra::tiles {

// How an overlay request finds the map's offset where the location map has no cell.
enum class OffsetModel {
  None,   // keep the page's current offset
  Gcj02,  // the offset of China's national shifted frame at the view centre
};

// `OffsetModel` as written in the settings: "gcj02" in any case, everything else is None.
OffsetModel parseOffsetModel(std::string_view text);

struct LonLat {
  double lon = 0;
  double lat = 0;
};

// Whether a globe position lies in the box where maps are drawn in the shifted frame.
bool insideGcj02Box(LonLat globe);

// The position in the shifted frame (GCJ-02) of a globe position: the published closed-form
// shift over the Krasovsky ellipsoid. Positions outside the box are returned unchanged.
LonLat toGcj02(LonLat globe);

// The offset the shifted frame has at a view centre, as every offset here is meant (map frame =
// globe frame - offset): trunc((lon - gcjLon) x 100000), likewise for the latitude. 0 outside
// the box.
PointE5 gcj02Offset(PointE5 centre);

}  // namespace tivra::tiles

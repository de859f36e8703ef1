#pragma once

// Search hits and routes as GPX 1.1, for GPS devices and other map tools.

#include <span>
#include <string>

#include "search/local_search.h"
#include "search/route_kml.h"

namespace tivra::search {

// One waypoint per hit: its name, its address as the description, its position in degrees.
std::string resultGpx(std::span<const PoiRecord> records);

// The trip's points (start, via points, end) as waypoints, the steps of the legs that came as
// one route (each step's instruction as its name, as the route document titles it) and their
// lines as one track, a segment per leg.
std::string routeGpx(const Route& route);

}  // namespace tivra::search

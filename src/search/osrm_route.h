#pragma once

// Routes from a routing service of today with OSRM's API: one request for the whole trip, its
// legs and steps read into the same legs the old service's answers give. The service works in
// the globe's own frame (WGS-84): no offset is applied.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "search/route.h"

namespace tivra::search {

// A trip point in degrees.
struct GeoPoint {
  double longitude = 0.0;
  double latitude = 0.0;
};

// The trip's points in degrees as the texts give them (start, via points, end); empty unless
// tripPoints accepts the texts.
std::vector<GeoPoint> tripDegrees(std::string_view startText, std::string_view viaText,
                                  std::string_view endText);

// BASE/route/v1/driving/LON,LAT;LON,LAT[;...]?steps=true&overview=full&geometries=polyline6
std::string osrmRouteUrl(std::string_view base, std::span<const GeoPoint> points);

// The Chinese instruction of a manoeuvre: type and modifier as OSRM names them, the road's
// name (empty when it has none), the roundabout exit (0 when none): "左转进入长安街".
std::string instructionText(std::string_view type, std::string_view modifier, std::string_view road,
                            int exit = 0);

// Trip totals as the service gave them.
struct TripTotals {
  double metres = 0.0;
  double seconds = 0.0;
};
// "全程12.3公里，约25分钟"
std::string tripTotalsText(const TripTotals& totals);

// An answer read: a leg per trip leg (from and to are the trip's points), each step a placemark
// at its manoeuvre with its instruction, the leg's line from its steps' geometry (the overview
// when they have none), its distance in km and its time in minutes. failure, with no legs, when
// the service refused the route ("code" other than "Ok": its code and message) or the answer
// is not the expected JSON.
struct OsrmAnswer {
  std::vector<RouteLeg> legs;
  TripTotals totals;
  std::optional<std::string> failure;
};
OsrmAnswer parseOsrmAnswer(std::string_view json, std::span<const PointE5> trip);

// Asks the service for the trip of the route's texts and reads the answer: the route's legs,
// totals, problems (steps cut, points refused), or its failure.
OsrmAnswer queryOsrmRoute(std::string_view startText, std::string_view viaText,
                          std::string_view endText, const RouteService& service);

}  // namespace tivra::search

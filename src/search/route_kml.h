#pragma once

// The route document "Navigate": one placemark per instruction point, one line per leg.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "search/osrm_route.h"
#include "search/route.h"

namespace tivra::search {

// `Route`: the trip's three point texts, the document head built from them, and the legs once
// the route has been written, with the legs that failed or lost part of their answer.
struct Route {
  Route(std::string start, std::string via, std::string end, std::string_view iconBase);

  std::string startText;
  std::string viaText;
  std::string endText;
  std::string iconBase;
  std::string kmlHead;
  std::optional<std::vector<RouteLeg>> legs;
  std::vector<LegProblem> problems;
  // A service of today answers for the whole trip: its totals, or why it gave no route (then
  // there is no document and the legs stay absent).
  std::optional<TripTotals> totals;
  std::optional<std::string> failure;
};

// `Heading`: degrees clockwise from north from one point to the next, -180 up to 180, with the
// factor 180 / 3.1415927 (so a diagonal prints 44.999999).
double Heading(PointE5 from, PointE5 to);

// `WriteRouteKml`: queries the legs, keeps them in the route, returns the whole document; empty
// when the route failed as a whole (route.failure).
std::string WriteRouteKml(Route& route, const RouteService& service);

// The document of a route whose legs are already known. When a leg's steps were cut at
// kMaxRouteSteps, the document's description says so after the trip, as it says the trip's
// totals when the route has them.
std::string routeKmlText(const Route& route);

}  // namespace tivra::search

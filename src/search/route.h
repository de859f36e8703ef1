#pragma once

// Routes: a trip from a start over via points to an end, queried leg by leg from the route
// service and parsed into instruction points, a polyline and three display texts.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "search/points.h"
#include "search/service_api.h"

namespace tivra::search {

// `RouteStep`: one instruction point, E5 units in the globe's frame; text is UTF-8.
struct RouteStep {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::string text;
};

// `RouteLeg`: one request to the route service. steps absent means the leg failed.
struct RouteLeg {
  PointE5 from;
  PointE5 to;
  std::optional<std::vector<RouteStep>> steps;
  std::optional<std::vector<PointE5>> polyline;
  std::string timeText;
  std::string lengthText;
  std::string lengthUnitText;
  // Why the leg failed ("no answer", "HTTP status 500", "answer does not begin with var", ...);
  // empty while it has not.
  std::string failure;
  bool stepsCut = false;          // more than kMaxRouteSteps steps: the rest were not read
  std::size_t refusedPoints = 0;  // steps and line points off the globe, left out
};

// A leg of a trip that failed or lost part of its answer, for callers that tell the user.
struct LegProblem {
  std::size_t leg = 0;  // 0-based, in trip order
  std::string failure;  // why the leg was dropped; empty when it was kept
  bool stepsCut = false;
  std::size_t refusedPoints = 0;
};

// Where route requests go and how positions shift between the frames.
struct RouteService {
  RouteService() = default;
  RouteService(std::string serviceBase, Offsets shift = nullptr,
               ServiceApi serviceApi = ServiceApi::Legacy,
               std::shared_ptr<RequestPacer> servicePacer = nullptr)
      : base(std::move(serviceBase)),
        offsets(shift),
        api(serviceApi),
        pacer(std::move(servicePacer)) {}

  std::string base;  // scheme and host of the route service
  Offsets offsets = nullptr;
  // Legacy: the old grammar, leg by leg; Osrm: one request to a service of today at base.
  ServiceApi api = ServiceApi::Legacy;
  std::shared_ptr<RequestPacer> pacer;  // shared by every query to this service
};

// The service answers more pieces than are ever read; the rest is ignored.
inline constexpr std::size_t kMaxAnswerPieces = 20;
// Real routes have hundreds of steps; a hostile answer must not fill memory with millions.
inline constexpr std::size_t kMaxRouteSteps = 65536;

// `BuildLegs`' points of a trip: start, the via points and end, each "lon,lat" in degrees as
// the navigation page shows them. Empty unless start and end hold one point each and via is
// empty or well formed.
std::vector<PointE5> tripPoints(std::string_view startText, std::string_view viaText,
                                std::string_view endText);

// `BuildLegs`: every leg between consecutive trip points queried in order; failed legs dropped.
// problems, when given, receives every leg that failed or lost part of its answer.
std::vector<RouteLeg> BuildLegs(std::string_view startText, std::string_view viaText,
                                std::string_view endText, const RouteService& service,
                                std::vector<LegProblem>* problems = nullptr);

// The leg URL: base + "/apisrv/nv?wd1=\"\"&wd2=\"\"&p1=x,y&p2=x,y" with map-frame points;
// nullopt when the points do not survive the frame shift.
std::optional<std::string> legUrl(PointE5 from, PointE5 to, const RouteService& service);

// `QueryLeg`: downloads and parses one leg; its steps are absent, and its failure says why, when
// it failed. An answer whose status is not 2xx is a failed download whatever its body.
RouteLeg QueryLeg(PointE5 from, PointE5 to, const RouteService& service);

// Reads a route answer (UTF-8) into the leg: false when it does not begin with "var" in any
// case. Pieces are the texts between double quotes, empty ones dropped, the first 20 held.
// Steps and line points off the globe (as the service wrote them or shifted) are left out.
bool parseRouteAnswer(std::string_view answer, RouteLeg& leg, Offsets offsets);

// `ParseSteps`: "x,y,text;x,y,text;" up to its last ";", positions shifted into the globe's
// frame; empty without any ";". At most kMaxRouteSteps; a step off the globe is left out.
std::vector<RouteStep> ParseSteps(std::string_view text, Offsets offsets,
                                  AnswerNotes* notes = nullptr);

}  // namespace tivra::search

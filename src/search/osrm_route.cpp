#include "search/osrm_route.h"

#include <cmath>
#include <stdexcept>

#include "platform/text.h"
#include "search/json_answer.h"
#include "search/local_search.h"
#include "search/polyline.h"

namespace tivra::search {

using nlohmann::json;

namespace {

// Nesting of an answer: {routes:[{legs:[{steps:[{...}]}]}]} puts a leg's members at depth 5 and
// its steps at depth 6.
constexpr int kLegDepth = 4;
constexpr int kStepsArrayDepth = 5;
constexpr int kStepDepth = 6;
// No road trip is longer than the way around the globe a few times, nor a week in the car.
constexpr double kMaxMetres = 1e8;
constexpr double kMaxSeconds = 1e7;

struct Modifier {
  std::string_view name;
  std::string_view turn;  // as the manoeuvre's verb
  int side;               // -1 left, 0 ahead or back, 1 right
};
constexpr Modifier kModifiers[] = {
    {"uturn", "掉头", 0},    {"sharp right", "向右急转", 1},
    {"right", "右转", 1},    {"slight right", "稍向右转", 1},
    {"straight", "直行", 0}, {"slight left", "稍向左转", -1},
    {"left", "左转", -1},    {"sharp left", "向左急转", -1},
};

const Modifier* findModifier(std::string_view name) {
  for (const Modifier& m : kModifiers) {
    if (m.name == name) return &m;
  }
  return nullptr;
}

std::string intoRoad(std::string_view road) {
  return road.empty() ? std::string() : "进入" + std::string(road);
}

bool validTotal(const std::optional<double>& v, double limit) {
  return v && *v >= 0.0 && *v <= limit;
}

std::optional<PointE5> locationE5(const json& maneuver) {
  const auto it = maneuver.is_object() ? maneuver.find("location") : maneuver.end();
  if (it == maneuver.end() || !it->is_array() || it->size() < 2 || !(*it)[0].is_number() ||
      !(*it)[1].is_number())
    return std::nullopt;
  const double lon = (*it)[0].get<double>();
  const double lat = (*it)[1].get<double>();
  if (!(std::fabs(lon) <= 180.0) || !(std::fabs(lat) <= 90.0)) return std::nullopt;
  return PointE5{static_cast<std::int32_t>(std::lround(lon * 100000.0)),
                 static_cast<std::int32_t>(std::lround(lat * 100000.0))};
}

// Appends a decoded geometry to a line, without repeating the point where they join.
bool appendGeometry(std::vector<PointE5>& line, std::string_view encoded) {
  const auto points = decodePolyline6(encoded);
  if (!points) return false;
  for (const PointE6& p : *points) {
    const PointE5 q = toE5(p);
    if (line.empty() || !(line.back() == q)) line.push_back(q);
  }
  return true;
}

OsrmAnswer refused(std::string why) {
  OsrmAnswer a;
  a.failure = "the answer is not the expected JSON (" + why + ")";
  return a;
}

}  // namespace

std::vector<GeoPoint> tripDegrees(std::string_view startText, std::string_view viaText,
                                  std::string_view endText) {
  if (tripPoints(startText, viaText, endText).empty()) return {};
  const auto read = [](std::string_view text) {
    const auto comma = text.find(',');
    return GeoPoint{platform::parseReal(text.substr(0, comma)),
                    platform::parseReal(text.substr(comma + 1))};
  };
  std::vector<GeoPoint> points{read(startText)};
  for (const std::string_view piece : platform::tokenize(viaText, ";", kMaxRouteSteps))
    points.push_back(read(piece));
  points.push_back(read(endText));
  return points;
}

std::string osrmRouteUrl(std::string_view base, std::span<const GeoPoint> points) {
  std::string url(base);
  url += "/route/v1/driving/";
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (i > 0) url += ';';
    platform::appendFormat(url, "%.6f,%.6f", points[i].longitude, points[i].latitude);
  }
  url += "?steps=true&overview=full&geometries=polyline6";
  return url;
}

std::string instructionText(std::string_view type, std::string_view modifier, std::string_view road,
                            int exit) {
  const Modifier* m = findModifier(modifier);
  const std::string turn(m != nullptr ? m->turn : "继续行驶");
  const std::string side = m == nullptr || m->side == 0 ? "" : (m->side < 0 ? "向左" : "向右");
  const std::string keep = m == nullptr || m->side == 0 ? "直行" : (m->side < 0 ? "靠左" : "靠右");
  const bool ahead = m == nullptr || modifier == "straight";
  if (type == "depart") return road.empty() ? "出发" : "沿" + std::string(road) + "出发";
  if (type == "arrive") {
    if (m == nullptr || m->side == 0) return "到达目的地";
    return m->side < 0 ? "到达目的地，在左侧" : "到达目的地，在右侧";
  }
  if (type == "continue") return (ahead ? "继续直行" : turn) + intoRoad(road);
  if (type == "new name" || type == "notification") return "继续行驶" + intoRoad(road);
  if (type == "end of road") return "在道路尽头" + turn + intoRoad(road);
  if (type == "merge") return side + "并入" + (road.empty() ? "主路" : std::string(road));
  if (type == "on ramp") {
    return (ahead ? "" : turn) + "进入匝道" + (road.empty() ? "" : "，前往" + std::string(road));
  }
  if (type == "off ramp") {
    return (ahead ? "" : turn) + "驶出匝道" + (road.empty() ? "" : "，" + intoRoad(road));
  }
  if (type == "fork") return "在岔路口" + keep + intoRoad(road);
  if (type == "roundabout" || type == "rotary") {
    std::string text = "进入环岛";
    if (exit > 0 && exit < 100) platform::appendFormat(text, "，从第%d出口驶出", exit);
    return text + intoRoad(road);
  }
  if (type == "roundabout turn") return "在环岛" + turn + intoRoad(road);
  if (type == "exit roundabout" || type == "exit rotary") return "驶出环岛" + intoRoad(road);
  // "turn", "use lane" and types of later versions: the direction alone.
  return (type == "use lane" && ahead ? "直行" : turn) + intoRoad(road);
}

std::string tripTotalsText(const TripTotals& totals) {
  return platform::format("全程%.1f公里，约%lld分钟", totals.metres / 1000.0,
                          static_cast<long long>(std::llround(totals.seconds / 60.0)));
}

// {"code":"Ok","routes":[{"distance":1234.5,"duration":180.2,"geometry":"<polyline6>",
//   "legs":[{"distance":1234.5,"duration":180.2,"steps":[{"name":"长安街","geometry":"...",
//     "maneuver":{"type":"turn","modifier":"left","location":[116.4,39.9]}}]}]}],
//  "waypoints":[...]}
// {"code":"NoRoute","message":"Impossible route between points"}
OsrmAnswer parseOsrmAnswer(std::string_view text, std::span<const PointE5> trip) {
  // Steps past kMaxRouteSteps of one leg are dropped while reading, not held.
  std::vector<bool> cutLegs;
  std::size_t legsSeen = 0, stepsInArray = 0;
  const auto callback = [&](int depth, json::parse_event_t event, json&) {
    using E = json::parse_event_t;
    if ((event == E::object_start || event == E::array_start) && depth > kMaxJsonDepth)
      throw std::length_error("nested too deep");
    if (event == E::array_start && depth == kStepsArrayDepth) stepsInArray = 0;
    if (event == E::object_end && depth == kLegDepth) ++legsSeen;
    if (event == E::object_end && depth == kStepDepth && ++stepsInArray > kMaxRouteSteps) {
      if (cutLegs.size() <= legsSeen) cutLegs.resize(legsSeen + 1);
      cutLegs[legsSeen] = true;
      return false;
    }
    return true;
  };
  json value;
  try {
    value = json::parse(text.begin(), text.end(), callback);
  } catch (const json::exception&) {
    OsrmAnswer a;
    a.failure = "the answer is not JSON";
    return a;
  } catch (const std::length_error&) {
    return refused("nested too deep");
  }
  if (!value.is_object()) return refused("not an object");
  const auto codeIt = value.find("code");
  if (codeIt == value.end() || !codeIt->is_string()) return refused("no code");
  const std::string code = codeIt->get<std::string>();
  if (code != "Ok") {
    OsrmAnswer a;
    const std::string message = jsonString(value, "message");
    a.failure = message.empty() ? code : code + ": " + message;
    return a;
  }
  const auto routes = value.find("routes");
  if (routes == value.end() || !routes->is_array() || routes->empty() ||
      !routes->front().is_object())
    return refused("no route");
  const json& route = routes->front();
  OsrmAnswer answer;
  const auto metres = jsonNumber(route, "distance");
  const auto seconds = jsonNumber(route, "duration");
  if (!validTotal(metres, kMaxMetres) || !validTotal(seconds, kMaxSeconds))
    return refused("the trip's distance or duration");
  answer.totals = TripTotals{*metres, *seconds};
  std::vector<PointE5> overview;
  const auto geometry = route.find("geometry");
  if (geometry != route.end() && geometry->is_string() &&
      !appendGeometry(overview, geometry->get<std::string>()))
    return refused("the route's geometry is no polyline");
  const auto legs = route.find("legs");
  if (legs == route.end() || !legs->is_array() || trip.size() < 2 ||
      legs->size() != trip.size() - 1)
    return refused("not one leg per pair of trip points");
  bool anyLine = false;
  for (std::size_t i = 0; i < legs->size(); ++i) {
    const json& l = (*legs)[i];
    const auto legMetres = jsonNumber(l, "distance");
    const auto legSeconds = jsonNumber(l, "duration");
    if (!l.is_object() || !validTotal(legMetres, kMaxMetres) ||
        !validTotal(legSeconds, kMaxSeconds))
      return refused("a leg's distance or duration");
    RouteLeg leg;
    leg.from = trip[i];
    leg.to = trip[i + 1];
    leg.steps.emplace();
    leg.polyline.emplace();
    leg.stepsCut = i < cutLegs.size() && cutLegs[i];
    const auto steps = l.find("steps");
    if (steps != l.end() && steps->is_array()) {
      for (const json& s : *steps) {
        const auto maneuver = s.is_object() ? s.find("maneuver") : s.end();
        const auto at = maneuver != s.end() ? locationE5(*maneuver) : std::nullopt;
        if (!at) {
          ++leg.refusedPoints;
          continue;
        }
        std::string road = jsonString(s, "name");
        if (road.empty()) road = jsonString(s, "ref");
        const auto exit = jsonNumber(*maneuver, "exit");
        const int exitNumber = exit && *exit >= 1 && *exit < 100 ? static_cast<int>(*exit) : 0;
        leg.steps->push_back(
            RouteStep{at->x, at->y,
                      instructionText(jsonString(*maneuver, "type"),
                                      jsonString(*maneuver, "modifier"), road, exitNumber)});
        const std::string stepGeometry = jsonString(s, "geometry");
        if (!appendGeometry(*leg.polyline, stepGeometry))
          return refused("a step's geometry is no polyline");
      }
    }
    anyLine = anyLine || !leg.polyline->empty();
    leg.lengthText = platform::format("%.1f", *legMetres / 1000.0);
    leg.lengthUnitText = "公里";
    leg.timeText =
        platform::format("%lld分钟", static_cast<long long>(std::llround(*legSeconds / 60.0)));
    answer.legs.push_back(std::move(leg));
  }
  if (!anyLine && !answer.legs.empty()) *answer.legs.front().polyline = std::move(overview);
  return answer;
}

OsrmAnswer queryOsrmRoute(std::string_view startText, std::string_view viaText,
                          std::string_view endText, const RouteService& service) {
  const std::vector<GeoPoint> points = tripDegrees(startText, viaText, endText);
  const std::vector<PointE5> trip = tripPoints(startText, viaText, endText);
  if (points.size() < 2) {
    OsrmAnswer a;
    a.failure = "the trip's points are not LON,LAT in degrees";
    return a;
  }
  const tiles::FetchResult fetched =
      fetchServiceAnswer(osrmRouteUrl(service.base, points), service.pacer.get());
  const auto body = [&] {
    return std::string_view(reinterpret_cast<const char*>(fetched.body->data()),
                            fetched.body->size());
  };
  auto failure = downloadFailure(fetched);
  // The service refuses a route with a 4xx status and its code and message in JSON.
  if (failure && fetched.body && !fetched.body->empty()) {
    OsrmAnswer a = parseOsrmAnswer(body(), trip);
    if (a.failure && !a.failure->starts_with("the answer is not")) return a;
  }
  if (failure) {
    OsrmAnswer a;
    a.failure = std::move(*failure);
    return a;
  }
  return parseOsrmAnswer(body(), trip);
}

}  // namespace tivra::search

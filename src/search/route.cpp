#include "search/route.h"

#include <span>

#include "platform/gbk.h"
#include "platform/text.h"
#include "search/local_search.h"
#include "tiles/fetch_url.h"

namespace tivra::search {

namespace {

// "lon,lat" in degrees as atof reads the first two pieces.
PointE5 degreesText(std::string_view text) {
  const auto pieces = platform::tokenize(text, ",", 2);
  const double lon = pieces.empty() ? 0.0 : platform::parseReal(pieces[0]);
  const double lat = pieces.size() < 2 ? 0.0 : platform::parseReal(pieces[1]);
  return DegreesToE5(lon, lat);
}

// Text up to (not including) its last ";"; empty without one.
std::string_view beforeLastSemicolon(std::string_view text) {
  const auto last = text.rfind(';');
  return last == std::string_view::npos ? std::string_view{} : text.substr(0, last);
}

}  // namespace

std::vector<PointE5> tripPoints(std::string_view startText, std::string_view viaText,
                                std::string_view endText) {
  const int via = CountPoints(viaText);
  if (CountPoints(startText) != 1 || via < 0 || CountPoints(endText) != 1) return {};
  std::vector<PointE5> points{degreesText(startText)};
  if (!viaText.empty()) {
    for (const std::string_view piece :
         platform::tokenize(viaText, ";", static_cast<std::size_t>(via)))
      points.push_back(degreesText(piece));
  }
  points.push_back(degreesText(endText));
  return ParsePointList(pointListText(points));
}

std::vector<RouteLeg> BuildLegs(std::string_view startText, std::string_view viaText,
                                std::string_view endText, const RouteService& service,
                                std::vector<LegProblem>* problems) {
  const std::vector<PointE5> points = tripPoints(startText, viaText, endText);
  std::vector<RouteLeg> legs;
  for (std::size_t i = 0; i + 1 < points.size(); ++i) {
    RouteLeg leg = QueryLeg(points[i], points[i + 1], service);
    const bool kept = leg.steps.has_value();
    if (problems != nullptr && (!kept || leg.stepsCut || leg.refusedPoints > 0))
      problems->push_back(LegProblem{i, leg.failure, leg.stepsCut, leg.refusedPoints});
    if (kept) legs.push_back(std::move(leg));
  }
  return legs;
}

std::optional<std::string> legUrl(PointE5 from, PointE5 to, const RouteService& service) {
  const PointE5 ends[] = {from, to};
  const auto map = ParsePointList(GlobeToMapList(pointListText(ends), service.offsets));
  if (map.size() < 2) return std::nullopt;
  std::string url = service.base;
  platform::appendFormat(url, "/apisrv/nv?wd1=\"\"&wd2=\"\"&p1=%ld,%ld&p2=%ld,%ld",
                         static_cast<long>(map[0].x), static_cast<long>(map[0].y),
                         static_cast<long>(map[1].x), static_cast<long>(map[1].y));
  return url;
}

RouteLeg QueryLeg(PointE5 from, PointE5 to, const RouteService& service) {
  RouteLeg leg;
  leg.from = from;
  leg.to = to;
  const auto url = legUrl(from, to, service);
  if (!url) {
    leg.failure = "the points do not survive the shift into the map frame";
    return leg;
  }
  tiles::FetchOptions options;
  options.allowHttps = true;  // a service host may be given with its https scheme
  const tiles::FetchResult fetched = tiles::fetch_url(*url, options);
  // An error page that happens to begin with "var" is still no route.
  if (auto failure = downloadFailure(fetched)) {
    leg.failure = std::move(*failure);
    return leg;
  }
  const std::string_view body(reinterpret_cast<const char*>(fetched.body->data()),
                              fetched.body->size());
  if (!parseRouteAnswer(platform::gbkToUtf8(body), leg, service.offsets))
    leg.failure = "answer does not begin with var";
  return leg;
}

// var r=["steps;","polyline;","?","time","?","length","?","unit"]
//        1         3           5      7      9  (pieces between quotes, empty ones dropped)
bool parseRouteAnswer(std::string_view answer, RouteLeg& leg, Offsets offsets) {
  if (answer.size() < 3 || !platform::equalsIgnoreCase(answer.substr(0, 3), "var")) return false;
  const std::vector<std::string_view> pieces = platform::tokenize(answer, "\"", kMaxAnswerPieces);
  const auto piece = [&](std::size_t i) {
    return i < pieces.size() ? pieces[i] : std::string_view{};
  };
  AnswerNotes notes;
  leg.steps = ParseSteps(piece(1), offsets, &notes);
  leg.stepsCut = notes.cut;
  leg.refusedPoints = notes.refused;
  const std::vector<PointE5> line = ParsePointList(beforeLastSemicolon(piece(3)));
  const std::vector<PointE5> shifted = MapToGlobe(line, offsets);
  leg.polyline.emplace();
  for (std::size_t i = 0; i < line.size() && i < shifted.size(); ++i) {
    if (onGlobe(line[i]) && onGlobe(shifted[i])) {
      leg.polyline->push_back(shifted[i]);
    } else {
      ++leg.refusedPoints;
    }
  }
  leg.timeText = piece(5);
  leg.lengthText = piece(7);
  leg.lengthUnitText = piece(9);
  return true;
}

// "11639712,3990357,向东行驶;11640000,3990357,右转;"  x, y (E5, map frame), instruction
std::vector<RouteStep> ParseSteps(std::string_view text, Offsets offsets, AnswerNotes* notes) {
  std::vector<RouteStep> steps;
  AnswerNotes found;
  platform::Tokenizer tokens(beforeLastSemicolon(text), ";");
  while (true) {
    const std::string_view token = tokens.next();
    if (token.empty()) break;
    if (steps.size() == kMaxRouteSteps) {
      found.cut = true;
      break;
    }
    const auto parts = platform::tokenize(token, ",", 3);
    RouteStep step;
    if (!parts.empty()) step.x = platform::parseInt(parts[0]);
    if (parts.size() > 1) step.y = platform::parseInt(parts[1]);
    if (parts.size() > 2) step.text = parts[2];
    steps.push_back(std::move(step));
  }
  std::vector<PointE5> positions;
  positions.reserve(steps.size());
  for (const RouteStep& s : steps) positions.push_back(PointE5{s.x, s.y});
  const std::vector<PointE5> globe = MapToGlobe(positions, offsets);
  std::vector<RouteStep> kept;
  kept.reserve(steps.size());
  for (std::size_t i = 0; i < steps.size() && i < globe.size(); ++i) {
    if (!onGlobe(positions[i]) || !onGlobe(globe[i])) {
      ++found.refused;
      continue;
    }
    steps[i].x = globe[i].x;
    steps[i].y = globe[i].y;
    kept.push_back(std::move(steps[i]));
  }
  if (notes != nullptr) *notes = found;
  return kept;
}

}  // namespace tivra::search

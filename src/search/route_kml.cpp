#include "search/route_kml.h"

#include <algorithm>
#include <cmath>

#include "platform/http_response.h"
#include "platform/text.h"
#include "search/kml_text.h"
#include "search/result_kml.h"

namespace tivra::search {

namespace {

constexpr double kDegreesPerRadian = 57.29577866666166;  // 180 / 3.1415927, not 180 / pi

std::string icon(std::string_view base, int number) {
  return platform::format("%.*s/mapfiles/kml/pal4/icon%d.png", static_cast<int>(base.size()),
                          base.data(), number);
}

void appendStepPlacemark(std::string& out, const RouteStep& step, std::string_view title,
                         double heading, std::string_view styleMap) {
  const double x = step.x * 0.00001;
  const double y = step.y * 0.00001;
  out += "<Placemark>\n<name>";
  appendElementText(out, title);
  out += "</name>\n<description>";
  appendBalloonElementText(out, title);
  out += "</description>\n<open>1</open>\n";
  platform::appendFormat(out, "<address>%f,%f</address>\n<LookAt>\n", x, y);
  platform::appendFormat(out, "\t<longitude>%f</longitude>\n\t<latitude>%f</latitude>\n", x, y);
  out += "\t<altitude>0</altitude>\n\t<range>800</range>\n\t<tilt>45</tilt>\n";
  platform::appendFormat(out, "\t<heading>%f</heading>\n</LookAt>\n<styleUrl>#", heading);
  out += styleMap;
  out += "</styleUrl>\n<Point>\n";
  platform::appendFormat(out, "\t<coordinates>%f,%f,0</coordinates>\n", x, y);
  out += "</Point>\n</Placemark>\n";
}

void appendRoutePlacemark(std::string& out, const RouteLeg& leg) {
  out += "\t<Placemark>\n<name>Route</name>\n<description><![CDATA[距离:";
  appendBalloonText(out, leg.lengthText);
  appendBalloonText(out, leg.lengthUnitText);
  out += " (大约";
  appendBalloonText(out, leg.timeText);
  out +=
      ")<br/>]]></description>\n<styleUrl>#roadStyle</styleUrl>\n<MultiGeometry>\n"
      "<LineString>\n<coordinates>\n";
  if (leg.polyline) {
    for (const PointE5& p : *leg.polyline)
      platform::appendFormat(out, "%f,%f,0 ", p.x * 0.00001, p.y * 0.00001);
  }
  out += "</coordinates>\n</LineString>\n</MultiGeometry>\n</Placemark>\n";
}

PointE5 position(const RouteStep& step) {
  return PointE5{step.x, step.y};
}

// The head of the document; note, when not empty, follows the trip in the description.
std::string routeHead(const Route& route, std::string_view note) {
  const std::string& base = route.iconBase;
  const std::string p7 = icon(base, 7), p15 = icon(base, 15), p23 = icon(base, 23),
                    p31 = icon(base, 31), p54 = icon(base, 54), p62 = icon(base, 62);
  std::string h(platform::kKml21Root);
  h += "<Document>\n<name>Navigate</name>\n<description>&lt;i&gt; 从";
  appendElementText(h, route.startText);
  h += "到";
  appendElementText(h, route.endText);
  h += "&lt;/i&gt;";
  if (!note.empty()) {
    h += "&lt;br/&gt;";
    appendBalloonElementText(h, note);
  }
  h += "</description>\n\t<open>1</open>\n";
  appendStyle(h, p7, true);
  h += "\t<Style id=\"roadStyle\">\n\t\t<LineStyle>\n\t\t\t<color>7fcf0064</color>\n"
       "\t\t\t<width>6</width>\n\t\t</LineStyle>\n\t</Style>\n";
  appendStyleMap(h, p31, p23);
  appendStyle(h, p62, false);
  appendStyle(h, p31, false);
  appendStyleMap(h, p15, p7);
  appendStyle(h, p15, false);
  appendStyleMap(h, p62, p54);
  appendStyle(h, p23, true);
  appendStyle(h, p54, true);
  return h;
}

}  // namespace

Route::Route(std::string start, std::string via, std::string end, std::string_view icons)
    : startText(std::move(start)),
      viaText(std::move(via)),
      endText(std::move(end)),
      iconBase(icons) {
  kmlHead = routeHead(*this, {});
}

double Heading(PointE5 from, PointE5 to) {
  const double dx = static_cast<double>(to.x) - from.x;
  const double dy = static_cast<double>(to.y) - from.y;
  if (dy == 0) return dx > 0 ? 90.0 : -90.0;
  const double t = std::atan(dx / dy) * kDegreesPerRadian;
  if (dx > 0) return dy > 0 ? t : t + 180.0;
  if (dx < 0) return dy > 0 ? t : t - 180.0;
  return dy > 0 ? 0.0 : -180.0;
}

std::string routeKmlText(const Route& route) {
  const std::string base = route.iconBase;
  const std::string startMap = styleMapId(icon(base, 62), icon(base, 54));
  const std::string endMap = styleMapId(icon(base, 15), icon(base, 7));
  const std::string stepMap = styleMapId(icon(base, 31), icon(base, 23));
  const std::vector<RouteLeg> none;
  const std::vector<RouteLeg>& legs = route.legs ? *route.legs : none;
  const bool cut =
      std::any_of(legs.begin(), legs.end(), [](const RouteLeg& l) { return l.stepsCut; });
  std::string note = route.totals ? tripTotalsText(*route.totals) : std::string();
  if (cut) {
    if (!note.empty()) note += "；";
    platform::appendFormat(note, "部分路段超过%zu步，只列出了前%zu步", kMaxRouteSteps,
                           kMaxRouteSteps);
  }
  std::string out = note.empty() ? route.kmlHead : routeHead(route, note);
  for (std::size_t i = 0; i < legs.size(); ++i) {
    if (!legs[i].steps) continue;
    const std::vector<RouteStep>& steps = *legs[i].steps;
    const std::size_t n = steps.size();
    for (std::size_t j = 0; j < n; ++j) {
      const bool lastOfLeg = j + 1 == n;
      const bool lastLeg = i + 1 == legs.size();
      const std::string arrival = platform::format("到达中途点%d", static_cast<int>(i + 1));
      const std::string_view title = lastOfLeg && !lastLeg ? arrival : steps[j].text;
      // A leg of one step has neither neighbour: it faces north.
      double heading = 0.0;
      if (lastOfLeg && j > 0) {
        heading = Heading(position(steps[j - 1]), position(steps[j]));
      } else if (!lastOfLeg) {
        heading = Heading(position(steps[j]), position(steps[j + 1]));
      }
      const std::string& map = (i == 0 && j == 0)       ? startMap
                               : (lastLeg && lastOfLeg) ? endMap
                                                        : stepMap;
      appendStepPlacemark(out, steps[j], title, heading, map);
    }
  }
  for (const RouteLeg& leg : legs) appendRoutePlacemark(out, leg);
  out += "</Document>\n</kml>\n";
  return out;
}

std::string WriteRouteKml(Route& route, const RouteService& service) {
  route.problems.clear();
  route.totals.reset();
  route.failure.reset();
  route.legs.reset();
  if (service.api == ServiceApi::Osrm) {
    OsrmAnswer answer = queryOsrmRoute(route.startText, route.viaText, route.endText, service);
    if (answer.failure) {
      route.failure = std::move(answer.failure);
      return {};
    }
    for (std::size_t i = 0; i < answer.legs.size(); ++i) {
      const RouteLeg& leg = answer.legs[i];
      if (leg.stepsCut || leg.refusedPoints > 0)
        route.problems.push_back(LegProblem{i, {}, leg.stepsCut, leg.refusedPoints});
    }
    route.totals = answer.totals;
    route.legs = std::move(answer.legs);
    return routeKmlText(route);
  }
  if (service.api != ServiceApi::Legacy) {
    route.failure = "RouteService is neither empty nor osrm:BASE";
    return {};
  }
  route.legs = BuildLegs(route.startText, route.viaText, route.endText, service, &route.problems);
  return routeKmlText(route);
}

}  // namespace tivra::search

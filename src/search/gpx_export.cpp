#include "search/gpx_export.h"

#include "platform/gpx.h"
#include "platform/text.h"
#include "search/kml_text.h"

namespace tivra::search {

namespace {

platform::GpxPoint pointAt(PointE5 p) {
  platform::GpxPoint point;
  point.latitude = p.y * 0.00001;
  point.longitude = p.x * 0.00001;
  return point;
}

std::string tripName(const Route& route) {
  return "从" + route.startText + "到" + route.endText;
}

}  // namespace

std::string resultGpx(std::span<const PoiRecord> records) {
  platform::GpxDocument document;
  document.waypoints.reserve(records.size());
  for (const PoiRecord& record : records) {
    platform::GpxPoint point = pointAt(PointE5{record.lon, record.lat});
    point.name = resolveReferences(record.name);
    point.description = resolveReferences(record.address);
    document.waypoints.push_back(std::move(point));
  }
  return platform::writeGpx(document);
}

std::string routeGpx(const Route& route) {
  platform::GpxDocument document;
  document.name = tripName(route);
  const std::vector<PointE5> trip = tripPoints(route.startText, route.viaText, route.endText);
  for (std::size_t i = 0; i < trip.size(); ++i) {
    platform::GpxPoint point = pointAt(trip[i]);
    point.name = i == 0                 ? std::string("起点")
                 : i + 1 == trip.size() ? std::string("终点")
                                        : platform::format("途经点%zu", i);
    document.waypoints.push_back(std::move(point));
  }
  platform::GpxRoute steps{tripName(route), {}, {}};
  platform::GpxTrack line{tripName(route), {}};
  const std::vector<RouteLeg> none;
  const std::vector<RouteLeg>& legs = route.legs ? *route.legs : none;
  for (std::size_t i = 0; i < legs.size(); ++i) {
    if (!legs[i].steps) continue;
    const std::vector<RouteStep>& legSteps = *legs[i].steps;
    for (std::size_t j = 0; j < legSteps.size(); ++j) {
      platform::GpxPoint point = pointAt(PointE5{legSteps[j].x, legSteps[j].y});
      // The end of a leg before the last is a via point, as the route document says.
      const bool arrival = j + 1 == legSteps.size() && i + 1 < legs.size();
      point.name =
          arrival ? platform::format("到达中途点%zu", i + 1) : resolveReferences(legSteps[j].text);
      steps.points.push_back(std::move(point));
    }
    std::vector<platform::GpxPoint> segment;
    if (legs[i].polyline) {
      segment.reserve(legs[i].polyline->size());
      for (const PointE5& p : *legs[i].polyline) segment.push_back(pointAt(p));
    }
    line.segments.push_back(std::move(segment));
  }
  document.routes.push_back(std::move(steps));
  document.tracks.push_back(std::move(line));
  return platform::writeGpx(document);
}

}  // namespace tivra::search

// Time to turn service answers into documents: a 100-hit local-search answer (code page 936)
// cut into records and written as the result document; a 1,000-step route answer read into a
// leg and written as the route document. Both with a location map of a realistic size. Beside
// them the JSON answers of today's services: a 100-hit Nominatim and Photon answer, a 1,000-step
// OSRM answer with its polyline6 geometry.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "platform/gbk.h"
#include "platform/text.h"
#include "search/gpx_export.h"
#include "search/local_search.h"
#include "search/osrm_route.h"
#include "search/place_search.h"
#include "search/polyline.h"
#include "search/result_kml.h"
#include "search/route.h"
#include "search/route_kml.h"
#include "tiles/offset.h"

namespace {

using namespace tivra;

void fillOffsets(store::LocationMap& map) {
  for (int i = 0; i < 5000; ++i)
    tiles::StoreOffset(map, {11000000 + i * 400, 3900000 + i * 30}, {-600 + i % 7, 130}, true);
}

std::string searchAnswer(int hits) {
  std::string utf8 = "<?xml version=\"1.0\" encoding=\"GBK\"?><Result count=\"100\">";
  for (int i = 0; i < hits; ++i) {
    platform::appendFormat(
        utf8,
        "<Poi id=\"%d\"><LSID v=\"L%d\"/><Na v=\"北京咖啡馆第%d分店\"/><Add "
        "v=\"东城区长安街%d号\"/>"
        "<Tel v=\"010-6512%04d\"/><Geo lo=\"%d\" la=\"%d\"/><LSIDE v=\"E%d\"/><LSIDN v=\"N%d\"/>"
        "<Dis v=\"%d\"/><Admin pro=\"北京市\" city=\"北京\" dis=\"东城区\"/>"
        "<Class g1=\"餐饮\" g2=\"咖啡\" g3=\"咖啡馆\"/></Poi>",
        i, i, i, i, i, 11639712 + i * 37, 3990357 + i * 23, i, i, i * 10);
  }
  utf8 += "</Result>";
  return platform::utf8ToGbk(utf8).value_or("");
}

std::string routeAnswer(int steps) {
  std::string stepText, line;
  for (int i = 0; i < steps; ++i) {
    platform::appendFormat(stepText, "%d,%d,沿长安街向东行驶%d米;", 11639712 + i * 50,
                           3990357 + (i % 2) * 40, i);
    platform::appendFormat(line, "%d,%d;", 11639712 + i * 50, 3990357 + (i % 2) * 40);
  }
  return platform::utf8ToGbk("var r=[\"" + stepText + "\",\"" + line +
                             "\",\"约25分钟\",\"12.5\",\"公里\"]")
      .value_or("");
}

void BM_SearchDocument(benchmark::State& state) {
  store::LocationMap offsets;
  fillOffsets(offsets);
  const std::string answer = searchAnswer(static_cast<int>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    const auto records = search::parseSearchAnswer(answer, &offsets);
    const std::string kml =
        search::BuildResultKml(records, {"http://maps.google.com", "http://detail.example"});
    bytes = kml.size();
    benchmark::DoNotOptimize(kml.data());
  }
  state.SetLabel(std::to_string(answer.size()) + " answer bytes, " + std::to_string(bytes) +
                 " document bytes");
}
BENCHMARK(BM_SearchDocument)->Arg(100)->Unit(benchmark::kMicrosecond);

void BM_RouteDocument(benchmark::State& state) {
  store::LocationMap offsets;
  fillOffsets(offsets);
  const std::string answer = routeAnswer(static_cast<int>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    search::Route route("116.397128,39.903570", "", "116.447128,39.903970",
                        "http://maps.google.com");
    search::RouteLeg leg;
    search::parseRouteAnswer(platform::gbkToUtf8(answer), leg, &offsets);
    route.legs.emplace().push_back(std::move(leg));
    const std::string kml = search::routeKmlText(route);
    bytes = kml.size();
    benchmark::DoNotOptimize(kml.data());
  }
  state.SetLabel(std::to_string(answer.size()) + " answer bytes, " + std::to_string(bytes) +
                 " document bytes");
}
BENCHMARK(BM_RouteDocument)->Arg(1000)->Unit(benchmark::kMicrosecond);

std::string nominatimAnswer(int hits) {
  std::string json = "[";
  for (int i = 0; i < hits; ++i) {
    platform::appendFormat(
        json,
        "%s{\"place_id\":%d,\"licence\":\"Data © OpenStreetMap contributors\","
        "\"osm_type\":\"node\",\"osm_id\":%d,\"lat\":\"%.7f\",\"lon\":\"%.7f\","
        "\"category\":\"amenity\",\"type\":\"cafe\",\"place_rank\":30,\"importance\":0.1,"
        "\"addresstype\":\"amenity\",\"name\":\"北京咖啡馆第%d分店\","
        "\"display_name\":\"北京咖啡馆第%d分店, 长安街%d号, 东城区, 北京市, 100010, 中国\","
        "\"address\":{\"amenity\":\"北京咖啡馆第%d分店\",\"house_number\":\"%d\","
        "\"road\":\"长安街\",\"suburb\":\"东城区\",\"city\":\"北京市\","
        "\"postcode\":\"100010\",\"country\":\"中国\",\"country_code\":\"cn\"},"
        "\"boundingbox\":[\"39.9\",\"39.91\",\"116.39\",\"116.4\"]}",
        i == 0 ? "" : ",", i, 1000 + i, 39.9035 + i * 0.00023, 116.3971 + i * 0.00037, i, i, i, i,
        i);
  }
  return json + "]";
}

std::string photonAnswer(int hits) {
  std::string json = "{\"features\":[";
  for (int i = 0; i < hits; ++i) {
    platform::appendFormat(
        json,
        "%s{\"geometry\":{\"coordinates\":[%.7f,%.7f],\"type\":\"Point\"},"
        "\"type\":\"Feature\",\"properties\":{\"osm_id\":%d,\"osm_type\":\"N\","
        "\"country\":\"中国\",\"osm_key\":\"amenity\",\"city\":\"北京市\","
        "\"countrycode\":\"CN\",\"district\":\"东城区\",\"osm_value\":\"cafe\","
        "\"postcode\":\"100010\",\"name\":\"北京咖啡馆第%d分店\",\"street\":\"长安街\","
        "\"housenumber\":\"%d\",\"state\":\"北京市\",\"type\":\"house\"}}",
        i == 0 ? "" : ",", 116.3971 + i * 0.00037, 39.9035 + i * 0.00023, 1000 + i, i, i);
  }
  return json + "],\"type\":\"FeatureCollection\"}";
}

// Precision-6 polyline of the points (x longitude, y latitude in millionths).
std::string encodePolyline(const std::vector<search::PointE6>& points) {
  std::string out;
  search::PointE6 previous;
  const auto value = [&](std::int64_t v) {
    std::uint64_t u =
        v < 0 ? ~(static_cast<std::uint64_t>(v) << 1) : static_cast<std::uint64_t>(v) << 1;
    while (u >= 0x20) {
      out.push_back(static_cast<char>((0x20 | (u & 0x1F)) + 63));
      u >>= 5;
    }
    out.push_back(static_cast<char>(u + 63));
  };
  for (const search::PointE6& p : points) {
    value(p.y - previous.y);
    value(p.x - previous.x);
    previous = p;
  }
  return out;
}

std::string osrmAnswer(int steps) {
  std::string stepsJson;
  std::vector<search::PointE6> all;
  for (int i = 0; i < steps; ++i) {
    const search::PointE6 a{116397128 + i * 500, 39903570 + (i % 2) * 400};
    const search::PointE6 b{116397128 + (i + 1) * 500, 39903570 + ((i + 1) % 2) * 400};
    all.push_back(a);
    const char* type = i == 0 ? "depart" : (i + 1 == steps ? "arrive" : "turn");
    platform::appendFormat(
        stepsJson,
        "%s{\"geometry\":\"%s\",\"maneuver\":{\"bearing_after\":90,\"bearing_before\":0,"
        "\"location\":[%.6f,%.6f],\"type\":\"%s\",\"modifier\":\"%s\"},\"mode\":\"driving\","
        "\"name\":\"长安街\",\"intersections\":[{\"out\":0,\"entry\":[true],\"bearings\":[90],"
        "\"location\":[%.6f,%.6f]}],\"weight\":5.2,\"duration\":5.2,\"distance\":50.1}",
        i == 0 ? "" : ",", encodePolyline({a, b}).c_str(), a.x / 1e6, a.y / 1e6, type,
        i % 2 == 0 ? "left" : "right", a.x / 1e6, a.y / 1e6);
  }
  return "{\"code\":\"Ok\",\"routes\":[{\"geometry\":\"" + encodePolyline(all) +
         "\",\"legs\":[{\"steps\":[" + stepsJson +
         "],\"summary\":\"长安街\",\"weight\":5200,\"duration\":5200,\"distance\":50100}],"
         "\"weight_name\":\"routability\",\"weight\":5200,\"duration\":5200,"
         "\"distance\":50100}],\"waypoints\":[]}";
}

// Either document of the hits: the result KML, or GPX waypoints (--format gpx).
void placeDocument(benchmark::State& state, bool photon, bool gpx = false) {
  const int hits = static_cast<int>(state.range(0));
  const std::string answer = photon ? photonAnswer(hits) : nominatimAnswer(hits);
  std::size_t bytes = 0;
  for (auto _ : state) {
    const search::PlaceAnswer a =
        photon ? search::parsePhotonAnswer(answer) : search::parseNominatimAnswer(answer);
    const std::string document = gpx ? search::resultGpx(a.records)
                                     : search::BuildResultKml(a.records, {"http://maps.google.com",
                                                                          "http://detail.example"});
    bytes = document.size();
    benchmark::DoNotOptimize(document.data());
  }
  state.SetLabel(std::to_string(answer.size()) + " answer bytes, " + std::to_string(bytes) +
                 " document bytes");
}

void BM_NominatimDocument(benchmark::State& state) {
  placeDocument(state, false);
}
BENCHMARK(BM_NominatimDocument)->Arg(100)->Unit(benchmark::kMicrosecond);

void BM_PhotonDocument(benchmark::State& state) {
  placeDocument(state, true);
}
BENCHMARK(BM_PhotonDocument)->Arg(100)->Unit(benchmark::kMicrosecond);

void BM_NominatimGpx(benchmark::State& state) {
  placeDocument(state, false, true);
}
BENCHMARK(BM_NominatimGpx)->Arg(100)->Unit(benchmark::kMicrosecond);

void osrmDocument(benchmark::State& state, bool gpx) {
  const std::string answer = osrmAnswer(static_cast<int>(state.range(0)));
  const tiles::PointE5 trip[] = {{11639712, 3990357}, {11689712, 3990357}};
  std::size_t bytes = 0;
  for (auto _ : state) {
    search::Route route("116.397128,39.903570", "", "116.897128,39.903570",
                        "http://maps.google.com");
    search::OsrmAnswer a = search::parseOsrmAnswer(answer, trip);
    route.totals = a.totals;
    route.legs = std::move(a.legs);
    const std::string document = gpx ? search::routeGpx(route) : search::routeKmlText(route);
    bytes = document.size();
    benchmark::DoNotOptimize(document.data());
  }
  state.SetLabel(std::to_string(answer.size()) + " answer bytes, " + std::to_string(bytes) +
                 " document bytes");
}

void BM_OsrmRouteDocument(benchmark::State& state) {
  osrmDocument(state, false);
}
BENCHMARK(BM_OsrmRouteDocument)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_OsrmRouteGpx(benchmark::State& state) {
  osrmDocument(state, true);
}
BENCHMARK(BM_OsrmRouteGpx)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

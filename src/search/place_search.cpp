#include "search/place_search.h"

#include <algorithm>
#include <cmath>

#include "platform/text.h"
#include "search/json_answer.h"

namespace tivra::search {

using nlohmann::json;

// Centres: the coordinates of each city's (for 龙岗, 宝安, 樟木头, 虎门 and 顺德: the district's
// or town's) seat as Wikipedia and GeoNames publish them, rounded to 0.01 degree. Radii are
// ours: about the built-up area, smaller for the districts and towns. Template order.
const std::array<CityArea, 69> kCityAreas = {{
    {"北京", 116.40, 39.90, 40},   {"天津", 117.20, 39.13, 30},   {"上海", 121.47, 31.23, 40},
    {"重庆", 106.55, 29.56, 30},   {"石家庄", 114.51, 38.04, 25}, {"保定", 115.46, 38.87, 20},
    {"唐山", 118.18, 39.63, 20},   {"太原", 112.55, 37.87, 25},   {"呼和浩特", 111.75, 40.84, 20},
    {"广州", 113.26, 23.13, 35},   {"深圳", 114.06, 22.54, 30},   {"龙岗", 114.25, 22.72, 15},
    {"宝安", 113.88, 22.55, 15},   {"珠海", 113.58, 22.27, 20},   {"东莞", 113.75, 23.02, 25},
    {"樟木头", 114.08, 22.91, 8},  {"虎门", 113.67, 22.81, 10},   {"佛山", 113.12, 23.02, 25},
    {"顺德", 113.29, 22.80, 15},   {"惠州", 114.42, 23.11, 20},   {"中山", 113.39, 22.52, 20},
    {"汕头", 116.68, 23.35, 20},   {"江门", 113.08, 22.58, 20},   {"海口", 110.32, 20.04, 20},
    {"南京", 118.80, 32.06, 30},   {"无锡", 120.30, 31.57, 25},   {"江阴", 120.28, 31.92, 15},
    {"南通", 120.89, 31.98, 20},   {"常州", 119.97, 31.81, 20},   {"扬州", 119.41, 32.39, 20},
    {"苏州", 120.58, 31.30, 25},   {"张家港", 120.55, 31.87, 15}, {"昆山", 120.98, 31.38, 15},
    {"杭州", 120.16, 30.27, 30},   {"宁波", 121.55, 29.87, 25},   {"台州", 121.42, 28.66, 20},
    {"温州", 120.70, 28.00, 20},   {"绍兴", 120.58, 30.00, 20},   {"金华", 119.65, 29.08, 20},
    {"合肥", 117.23, 31.82, 25},   {"济南", 117.00, 36.67, 25},   {"青岛", 120.38, 36.07, 25},
    {"烟台", 121.45, 37.46, 20},   {"威海", 122.12, 37.51, 20},   {"淄博", 118.05, 36.81, 20},
    {"潍坊", 119.16, 36.71, 20},   {"南昌", 115.86, 28.68, 25},   {"福州", 119.30, 26.08, 25},
    {"厦门", 118.09, 24.48, 20},   {"泉州", 118.68, 24.87, 20},   {"长沙", 112.94, 28.23, 25},
    {"武汉", 114.31, 30.59, 30},   {"宜昌", 111.29, 30.69, 20},   {"郑州", 113.63, 34.75, 25},
    {"成都", 104.07, 30.57, 30},   {"绵阳", 104.68, 31.47, 20},   {"昆明", 102.83, 24.88, 25},
    {"拉萨", 91.13, 29.65, 15},    {"贵阳", 106.63, 26.65, 25},   {"南宁", 108.37, 22.82, 25},
    {"沈阳", 123.43, 41.80, 25},   {"大连", 121.61, 38.91, 25},   {"长春", 125.32, 43.82, 25},
    {"哈尔滨", 126.53, 45.80, 25}, {"银川", 106.23, 38.49, 20},   {"西安", 108.94, 34.34, 30},
    {"西宁", 101.78, 36.62, 20},   {"兰州", 103.83, 36.06, 20},   {"乌鲁木齐", 87.62, 43.83, 25},
}};

namespace {

constexpr double kKmPerDegree = 111.32;  // along a meridian, and along the equator
constexpr double kPi = 3.14159265358979323846;

// The box around a centre with half widths in km, kept on the globe.
GeoBox around(double lon, double lat, double halfKm) {
  const double dLat = halfKm / kKmPerDegree;
  const double cosLat = std::max(std::cos(lat * kPi / 180.0), 0.01);
  const double dLon = std::min(halfKm / (kKmPerDegree * cosLat), 180.0);
  return GeoBox{std::max(lon - dLon, -180.0), std::max(lat - dLat, -90.0),
                std::min(lon + dLon, 180.0), std::min(lat + dLat, 90.0)};
}

// Degrees to E5, rounded; nullopt off the globe.
std::optional<PointE5> e5(double lon, double lat) {
  if (!(std::fabs(lon) <= 180.0) || !(std::fabs(lat) <= 90.0)) return std::nullopt;
  return PointE5{static_cast<std::int32_t>(std::lround(lon * 100000.0)),
                 static_cast<std::int32_t>(std::lround(lat * 100000.0))};
}

std::string firstOf(const json& object, std::initializer_list<std::string_view> keys) {
  for (const std::string_view key : keys) {
    std::string value = jsonString(object, key);
    if (!value.empty()) return value;
  }
  return {};
}

void joinNonEmpty(std::string& out, std::string_view part, std::string_view separator) {
  if (part.empty()) return;
  if (!out.empty()) out += separator;
  out += part;
}

// Items kept of an answer, numbered in order, positions checked.
void keep(PlaceAnswer& answer, PoiRecord record, std::optional<PointE5> at) {
  if (!at) {
    ++answer.notes.refused;
    return;
  }
  record.lon = at->x;
  record.lat = at->y;
  record.id = static_cast<std::int32_t>(answer.records.size() + 1);
  answer.records.push_back(std::move(record));
}

std::string serviceMessage(const json& value) {
  if (!value.is_object()) return {};
  const auto error = value.find("error");
  if (error != value.end()) {
    if (error->is_string()) return error->get<std::string>();
    const std::string message = jsonString(*error, "message");
    if (!message.empty()) return message;
  }
  return jsonString(value, "message");
}

}  // namespace

std::optional<GeoBox> cityBox(std::string_view city) {
  for (const CityArea& c : kCityAreas) {
    if (c.name == city) return around(c.longitude, c.latitude, c.radiusKm);
  }
  return std::nullopt;
}

GeoBox viewBox(const SearchView& view) {
  const double lon =
      std::clamp(std::isfinite(view.longitude) ? view.longitude : 0.0, -180.0, 180.0);
  const double lat = std::clamp(std::isfinite(view.latitude) ? view.latitude : 0.0, -90.0, 90.0);
  // A view closer than 100 m still searches its street; one of the whole globe is the globe.
  const double rangeKm =
      std::clamp(std::isfinite(view.range) ? view.range / 1000.0 : 0.0, 0.1, 20000.0);
  return around(lon, lat, rangeKm);
}

std::optional<GeoBox> queryBox(const SearchQuery& query) {
  if (query.view) return viewBox(*query.view);
  return cityBox(query.city);
}

std::string placeSearchUrl(ServiceApi api, std::string_view base, std::string_view keyword,
                           const GeoBox& box) {
  std::string url(base);
  if (api == ServiceApi::Photon) {
    url += "/api?q=";
    url += percentEncode(keyword);
    platform::appendFormat(url, "&limit=100&bbox=%.6f,%.6f,%.6f,%.6f", box.west, box.south,
                           box.east, box.north);
  } else {
    url += "/search?q=";
    url += percentEncode(keyword);
    platform::appendFormat(url,
                           "&format=jsonv2&limit=100&addressdetails=1&viewbox=%.6f,%.6f,%.6f,%.6f"
                           "&bounded=1",
                           box.west, box.north, box.east, box.south);
  }
  return url;
}

// [{"place_id":1,"lat":"39.9087","lon":"116.3975","category":"tourism","type":"attraction",
//   "name":"天安门","display_name":"天安门, 东长安街, 东城区, 北京市, 100010, 中国",
//   "address":{"road":"东长安街","suburb":"东城区","city":"北京市","postcode":"100010"}}]
PlaceAnswer parseNominatimAnswer(std::string_view text) {
  PlaceAnswer answer;
  std::string error;
  auto parsed = parseBoundedJson(text, 1, kMaxRecords, error);
  if (!parsed) {
    answer.failure = error;
    return answer;
  }
  answer.notes.cut = parsed->cut;
  const json& value = parsed->value;
  if (!value.is_array()) {
    const std::string message = serviceMessage(value);
    answer.failure = message.empty() ? "the answer is not the expected JSON (a list of places)"
                                     : "the service says: " + message;
    return answer;
  }
  answer.records.reserve(value.size());
  for (const json& hit : value) {
    if (!hit.is_object()) {
      ++answer.notes.refused;
      continue;
    }
    PoiRecord r;
    const std::string display = jsonString(hit, "display_name");
    r.name = jsonString(hit, "name");
    if (r.name.empty()) r.name = display.substr(0, display.find(", "));
    r.address = display;
    const auto address = hit.find("address");
    if (address != hit.end() && address->is_object()) {
      r.province = firstOf(*address, {"state", "province", "region"});
      r.city = firstOf(*address, {"city", "town", "village", "municipality", "county"});
      r.district = firstOf(*address, {"city_district", "district", "suburb", "borough"});
    }
    r.class1 = jsonString(hit, "category");
    r.class2 = jsonString(hit, "type");
    const auto lon = jsonDecimalString(hit, "lon");
    const auto lat = jsonDecimalString(hit, "lat");
    keep(answer, std::move(r), lon && lat ? e5(*lon, *lat) : std::nullopt);
  }
  return answer;
}

// {"type":"FeatureCollection","features":[{"type":"Feature",
//   "geometry":{"type":"Point","coordinates":[116.3975,39.9087]},
//   "properties":{"name":"天安门","street":"东长安街","housenumber":"1","postcode":"100010",
//                 "district":"东城区","city":"北京市","state":"北京市","country":"中国",
//                 "osm_key":"tourism","osm_value":"attraction"}}]}
PlaceAnswer parsePhotonAnswer(std::string_view text) {
  PlaceAnswer answer;
  std::string error;
  auto parsed = parseBoundedJson(text, 2, kMaxRecords, error);
  if (!parsed) {
    answer.failure = error;
    return answer;
  }
  answer.notes.cut = parsed->cut;
  const json& value = parsed->value;
  const auto features = value.is_object() ? value.find("features") : value.end();
  if (!value.is_object() || features == value.end() || !features->is_array()) {
    const std::string message = serviceMessage(value);
    answer.failure = message.empty() ? "the answer is not the expected JSON (a feature collection)"
                                     : "the service says: " + message;
    return answer;
  }
  answer.records.reserve(features->size());
  for (const json& feature : *features) {
    const auto properties = feature.is_object() ? feature.find("properties") : feature.end();
    const auto geometry = feature.is_object() ? feature.find("geometry") : feature.end();
    if (properties == feature.end() || !properties->is_object() || geometry == feature.end()) {
      ++answer.notes.refused;
      continue;
    }
    const json& p = *properties;
    PoiRecord r;
    std::string street = jsonString(p, "street");
    joinNonEmpty(street, jsonString(p, "housenumber"), " ");
    r.name = jsonString(p, "name");
    if (r.name.empty()) r.name = street;
    for (const std::string& part :
         {street, jsonString(p, "postcode"), jsonString(p, "district"), jsonString(p, "city"),
          jsonString(p, "state"), jsonString(p, "country")})
      joinNonEmpty(r.address, part, ", ");
    r.province = jsonString(p, "state");
    r.city = jsonString(p, "city");
    r.district = jsonString(p, "district");
    r.class1 = jsonString(p, "osm_key");
    r.class2 = jsonString(p, "osm_value");
    std::optional<PointE5> at;
    const auto coordinates =
        geometry->is_object() ? geometry->find("coordinates") : geometry->end();
    if (coordinates != geometry->end() && coordinates->is_array() && coordinates->size() >= 2 &&
        (*coordinates)[0].is_number() && (*coordinates)[1].is_number())
      at = e5((*coordinates)[0].get<double>(), (*coordinates)[1].get<double>());
    keep(answer, std::move(r), at);
  }
  return answer;
}

}  // namespace tivra::search

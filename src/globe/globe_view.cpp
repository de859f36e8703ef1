#include "globe/globe_view.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "globe/view_format.h"

namespace tivra::globe {

namespace {

constexpr double kDegToRad = std::numbers::pi / 180.0;
constexpr double kMinCosLatitude = 0.01;  // keeps the longitude extent finite at the poles

std::string formatReal(double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6f", value);
  return buf;
}

}  // namespace

double wrapDegrees(double degrees) {
  if (!std::isfinite(degrees)) return 0.0;
  double d = std::fmod(degrees + 180.0, 360.0);
  if (d < 0) d += 360.0;
  return d - 180.0;
}

ViewGeometry makeViewGeometry(const Camera& camera, int widthPx, int heightPx, double horizFovDeg) {
  ViewGeometry v;
  v.camera = camera;
  v.widthPx = std::max(1, widthPx);
  v.heightPx = std::max(1, heightPx);
  v.horizFovDeg = std::clamp(horizFovDeg, 1.0, 170.0);
  const double aspect = static_cast<double>(v.heightPx) / v.widthPx;
  const double tanHalfV = std::tan(v.horizFovDeg * kDegToRad / 2.0) * aspect;
  v.vertFovDeg = 2.0 * std::atan(tanHalfV) / kDegToRad;

  const double halfHeightM = camera.Range * tanHalfV;
  const double halfWidthM = halfHeightM * v.widthPx / v.heightPx;
  const double cosLat = std::max(kMinCosLatitude, std::cos(camera.FocusPointLatitude * kDegToRad));
  v.halfHeightDeg = halfHeightM / kMetresPerDegree;
  v.halfWidthDeg = halfWidthM / (kMetresPerDegree * cosLat);

  const double lon = camera.FocusPointLongitude;
  const double lat = camera.FocusPointLatitude;
  v.box.west = std::clamp(lon - v.halfWidthDeg, -180.0, 180.0);
  v.box.east = std::clamp(lon + v.halfWidthDeg, -180.0, 180.0);
  v.box.south = std::clamp(lat - v.halfHeightDeg, -90.0, 90.0);
  v.box.north = std::clamp(lat + v.halfHeightDeg, -90.0, 90.0);
  return v;
}

std::optional<TerrainPoint> terrainPointAt(const ViewGeometry& view, double x, double y) {
  if (!std::isfinite(x) || !std::isfinite(y) || x < -1.0 || x > 1.0 || y < -1.0 || y > 1.0) {
    return std::nullopt;
  }
  const double lat = view.camera.FocusPointLatitude + y * view.halfHeightDeg;
  if (lat < -90.0 || lat > 90.0) return std::nullopt;  // looking past the pole into space
  const double lon = view.camera.FocusPointLongitude + x * view.halfWidthDeg;
  if (lon < -180.0 || lon > 180.0) return std::nullopt;  // the flat model ends at the date line
  return TerrainPoint{lat, lon, 0.0};
}

PixelPos toPixel(const ViewGeometry& view, double lon, double lat) {
  const double nx = (lon - view.camera.FocusPointLongitude) / view.halfWidthDeg;
  const double ny = (lat - view.camera.FocusPointLatitude) / view.halfHeightDeg;
  return PixelPos{(nx + 1.0) / 2.0 * view.widthPx, (1.0 - ny) / 2.0 * view.heightPx};
}

namespace {

std::string viewValueText(ViewValue value, const ViewGeometry& view) {
  const Camera& c = view.camera;
  switch (value) {
    case ViewValue::BboxWest:
      return formatReal(view.box.west);
    case ViewValue::BboxSouth:
      return formatReal(view.box.south);
    case ViewValue::BboxEast:
      return formatReal(view.box.east);
    case ViewValue::BboxNorth:
      return formatReal(view.box.north);
    case ViewValue::LookatLon:
      return formatReal(c.FocusPointLongitude);
    case ViewValue::LookatLat:
      return formatReal(c.FocusPointLatitude);
    case ViewValue::LookatRange:
      return formatReal(c.Range);
    case ViewValue::LookatTilt:
      return formatReal(c.Tilt);
    case ViewValue::LookatHeading:
      return formatReal(c.Azimuth);
    case ViewValue::HorizFov:
      return formatReal(view.horizFovDeg);
    case ViewValue::VertFov:
      return formatReal(view.vertFovDeg);
    case ViewValue::HorizPixels:
      return std::to_string(view.widthPx);
    case ViewValue::VertPixels:
      return std::to_string(view.heightPx);
  }
  return {};
}

}  // namespace

std::string fillViewFormat(std::string_view format, const ViewGeometry& view) {
  const Camera& c = view.camera;
  auto value = [&](std::string_view name) -> std::optional<std::string> {
    for (std::size_t i = 0; i < kViewValueCount; ++i) {
      if (name == kViewValueNames[i]) return viewValueText(static_cast<ViewValue>(i), view);
    }
    // Placeholders a KML link may ask for beyond the overlay link's list.
    if (name == "lookatTerrainLon" || name == "cameraLon") return formatReal(c.FocusPointLongitude);
    if (name == "lookatTerrainLat" || name == "cameraLat") return formatReal(c.FocusPointLatitude);
    if (name == "lookatTerrainAlt") return formatReal(0.0);
    if (name == "cameraAlt") return formatReal(c.FocusPointAltitude + c.Range);
    if (name == "terrainEnabled") return std::string("1");
    return std::nullopt;
  };

  std::string out;
  out.reserve(format.size() + 128);
  std::size_t pos = 0;
  while (pos < format.size()) {
    const std::size_t open = format.find('[', pos);
    if (open == std::string_view::npos) break;
    const std::size_t close = format.find(']', open + 1);
    if (close == std::string_view::npos) break;
    out.append(format.substr(pos, open - pos));
    if (auto v = value(format.substr(open + 1, close - open - 1))) {
      out += *v;
    } else {
      out.append(format.substr(open, close - open + 1));
    }
    pos = close + 1;
  }
  out.append(format.substr(pos));
  return out;
}

}  // namespace tivra::globe

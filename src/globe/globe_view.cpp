#include "globe/globe_view.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <numbers>

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

std::string fillViewFormat(std::string_view format, const ViewGeometry& view) {
  const Camera& c = view.camera;
  auto value = [&](std::string_view name) -> std::optional<std::string> {
    if (name == "bboxWest") return formatReal(view.box.west);
    if (name == "bboxSouth") return formatReal(view.box.south);
    if (name == "bboxEast") return formatReal(view.box.east);
    if (name == "bboxNorth") return formatReal(view.box.north);
    if (name == "lookatLon" || name == "lookatTerrainLon" || name == "cameraLon") {
      return formatReal(c.FocusPointLongitude);
    }
    if (name == "lookatLat" || name == "lookatTerrainLat" || name == "cameraLat") {
      return formatReal(c.FocusPointLatitude);
    }
    if (name == "lookatRange") return formatReal(c.Range);
    if (name == "lookatTilt") return formatReal(c.Tilt);
    if (name == "lookatHeading") return formatReal(c.Azimuth);
    if (name == "lookatTerrainAlt") return formatReal(0.0);
    if (name == "cameraAlt") return formatReal(c.FocusPointAltitude + c.Range);
    if (name == "horizFov") return formatReal(view.horizFovDeg);
    if (name == "vertFov") return formatReal(view.vertFovDeg);
    if (name == "horizPixels") return std::to_string(view.widthPx);
    if (name == "vertPixels") return std::to_string(view.heightPx);
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

std::string appendQuery(std::string_view href, std::string_view query) {
  std::string out(href);
  if (query.empty()) return out;
  if (!out.empty() && (out.back() == '?' || out.back() == '&')) {
    // already ends in a separator
  } else if (out.find('?') != std::string::npos) {
    out += '&';
  } else {
    out += '?';
  }
  out.append(query);
  return out;
}

std::string resolveHref(std::string_view base, std::string_view href) {
  auto isAbsolute = [](std::string_view s) {
    const std::size_t colon = s.find("://");
    if (colon == std::string_view::npos || colon == 0) return false;
    return std::all_of(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(colon),
                       [](char ch) { return std::isalnum(static_cast<unsigned char>(ch)) != 0; });
  };
  if (href.empty() || isAbsolute(href) || base.empty() || !isAbsolute(base)) {
    return std::string(href);
  }
  const std::size_t schemeEnd = base.find("://") + 3;
  const std::size_t pathStart = base.find('/', schemeEnd);
  const std::string_view origin = base.substr(0, pathStart);
  if (href.front() == '/') return std::string(origin) + std::string(href);
  std::string_view dir =
      pathStart == std::string_view::npos ? std::string_view("/") : base.substr(pathStart);
  dir = dir.substr(0, dir.find_first_of("?#"));
  dir = dir.substr(0, dir.rfind('/') + 1);
  return std::string(origin) + std::string(dir) + std::string(href);
}

}  // namespace tivra::globe

#include "tiles/gcj02.h"

#include <cmath>
#include <numbers>

#include "platform/text.h"

namespace tivra::tiles {

namespace {

// The Krasovsky 1940 ellipsoid the shift is defined on.
constexpr double kSemiMajorAxis = 6378245.0;
constexpr double kEccentricitySquared = 0.00669342162296594323;
constexpr double kPi = std::numbers::pi;

// The periodic part shared by both directions, in metres.
double ripple(double x) {
  return (20.0 * std::sin(6.0 * x * kPi) + 20.0 * std::sin(2.0 * x * kPi)) * 2.0 / 3.0;
}

// North shift in metres at (x, y) degrees from (105 E, 35 N).
double northMetres(double x, double y) {
  double m = -100.0 + 2.0 * x + 3.0 * y + 0.2 * y * y + 0.1 * x * y + 0.2 * std::sqrt(std::abs(x));
  m += ripple(x);
  m += (20.0 * std::sin(y * kPi) + 40.0 * std::sin(y / 3.0 * kPi)) * 2.0 / 3.0;
  m += (160.0 * std::sin(y / 12.0 * kPi) + 320.0 * std::sin(y / 30.0 * kPi)) * 2.0 / 3.0;
  return m;
}

// East shift in metres at (x, y) degrees from (105 E, 35 N).
double eastMetres(double x, double y) {
  double m = 300.0 + x + 2.0 * y + 0.1 * x * x + 0.1 * x * y + 0.1 * std::sqrt(std::abs(x));
  m += ripple(x);
  m += (20.0 * std::sin(x * kPi) + 40.0 * std::sin(x / 3.0 * kPi)) * 2.0 / 3.0;
  m += (150.0 * std::sin(x / 12.0 * kPi) + 300.0 * std::sin(x / 30.0 * kPi)) * 2.0 / 3.0;
  return m;
}

}  // namespace

OffsetModel parseOffsetModel(std::string_view text) {
  return platform::equalsIgnoreCase(text, "gcj02") ? OffsetModel::Gcj02 : OffsetModel::None;
}

bool insideGcj02Box(LonLat globe) {
  return globe.lon >= 72.004 && globe.lon <= 137.8347 && globe.lat >= 0.8293 &&
         globe.lat <= 55.8271;
}

LonLat toGcj02(LonLat globe) {
  if (!insideGcj02Box(globe)) return globe;
  const double x = globe.lon - 105.0;
  const double y = globe.lat - 35.0;
  const double latRad = globe.lat / 180.0 * kPi;
  const double w = 1.0 - kEccentricitySquared * std::sin(latRad) * std::sin(latRad);
  const double sqrtW = std::sqrt(w);
  // Metres to degrees along the meridian and along the parallel of the position.
  const double meridianRadius = kSemiMajorAxis * (1.0 - kEccentricitySquared) / (w * sqrtW);
  const double parallelRadius = kSemiMajorAxis / sqrtW * std::cos(latRad);
  return {globe.lon + eastMetres(x, y) * 180.0 / (parallelRadius * kPi),
          globe.lat + northMetres(x, y) * 180.0 / (meridianRadius * kPi)};
}

PointE5 gcj02Offset(PointE5 centre) {
  const LonLat globe{centre.x * 0.00001, centre.y * 0.00001};
  const LonLat shifted = toGcj02(globe);
  return {toE5(globe.lon - shifted.lon), toE5(globe.lat - shifted.lat)};
}

}  // namespace tivra::tiles

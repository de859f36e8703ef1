#pragma once

// The simulated globe's view: a flat model seen straight down from the camera.
//
//   vertical extent (m)   = 2 * Range * tan(vertFov / 2)
//   horizontal extent (m) = vertical extent * widthPx / heightPx
//   degrees of latitude   = metres / 111320
//   degrees of longitude  = metres / (111320 * cos(focus latitude))
//
// Tilt and azimuth are carried in the camera and reported as look-at values but do not change
// the footprint. Screen coordinates run from (-1, -1) at the lower left to (1, 1) at the upper
// right; pixel rows run from the top.

#include <optional>
#include <string>
#include <string_view>

#include "globe/earth.h"

namespace tivra::globe {

inline constexpr double kMetresPerDegree = 111320.0;

struct ViewBox {
  double west = 0.0;
  double south = 0.0;
  double east = 0.0;
  double north = 0.0;
};

struct ViewGeometry {
  Camera camera;
  int widthPx = 0;
  int heightPx = 0;
  double horizFovDeg = 0.0;
  double vertFovDeg = 0.0;
  double halfWidthDeg = 0.0;   // around the focus, before clamping to the globe
  double halfHeightDeg = 0.0;  // around the focus, before clamping to the globe
  ViewBox box;                 // clamped to -180..180, -90..90
};

struct PixelPos {
  double x = 0.0;
  double y = 0.0;
};

ViewGeometry makeViewGeometry(const Camera& camera, int widthPx, int heightPx, double horizFovDeg);

// The terrain point under screen coordinates; none outside -1..1 or off the globe.
std::optional<TerrainPoint> terrainPointAt(const ViewGeometry& view, double x, double y);

// Pixel position of a longitude/latitude (may lie outside the view). No wrap-around: overlays
// straddling the date line are not drawn.
PixelPos toPixel(const ViewGeometry& view, double lon, double lat);

// Replaces the [name] placeholders of a network link's view format by the view's values;
// unknown placeholders stay as they are.
std::string fillViewFormat(std::string_view format, const ViewGeometry& view);

// Normalises a longitude or azimuth difference into -180..180.
double wrapDegrees(double degrees);

}  // namespace tivra::globe

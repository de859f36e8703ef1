#pragma once

// The simulated globe's picture: the scene as seen from the view, and its drawing primitives.

#include <cstdint>
#include <functional>
#include <string_view>

#include "globe/globe_deps.h"
#include "globe/globe_view.h"
#include "globe/kml_model.h"
#include "globe/scene.h"

namespace tivra::globe {

struct Rgba {
  std::uint8_t r = 0, g = 0, b = 0, a = 255;
};

inline constexpr Rgba kBackground{16, 24, 40, 255};
inline constexpr Rgba kLineColour{255, 210, 0, 255};
inline constexpr Rgba kPointColour{230, 40, 40, 255};
inline constexpr Rgba kModelColour{40, 220, 230, 255};

RgbaImage makeCanvas(int width, int height, Rgba fill);

// The visible features in layers: ground overlays, lines, points and models, screen overlays.
// imageOf gives an href's decoded image, or null while there is none.
RgbaImage renderScene(const Scene& scene, const ViewGeometry& view,
                      const std::function<const RgbaImage*(std::string_view href)>& imageOf);

// Scales the image into the box (nearest pixel), tinted and faded by the KML colour (aabbggrr).
void drawGroundOverlay(RgbaImage& canvas, const ViewGeometry& view, const LatLonBoxData& box,
                       const RgbaImage& image, std::uint32_t kmlColor);

// Places the image on the screen by its placement (drawn over everything else).
void drawScreenOverlay(RgbaImage& canvas, const ScreenPlacementData& placement,
                       const RgbaImage& image, std::uint32_t kmlColor);

void drawPolyline(RgbaImage& canvas, const ViewGeometry& view, const std::vector<GeoPoint>& line,
                  Rgba colour);

void drawMarker(RgbaImage& canvas, const ViewGeometry& view, const GeoPoint& at, int halfSize,
                Rgba colour);

}  // namespace tivra::globe

#include "globe/globe_render.h"

#include <algorithm>
#include <cmath>

namespace tivra::globe {

namespace {

void blendPixel(RgbaImage& canvas, int x, int y, Rgba src, unsigned alpha) {
  if (x < 0 || y < 0 || x >= canvas.width || y >= canvas.height || alpha == 0) return;
  std::uint8_t* d = &canvas.rgba[(static_cast<std::size_t>(y) * canvas.width + x) * 4];
  const unsigned inv = 255 - alpha;
  d[0] = static_cast<std::uint8_t>((src.r * alpha + d[0] * inv + 127) / 255);
  d[1] = static_cast<std::uint8_t>((src.g * alpha + d[1] * inv + 127) / 255);
  d[2] = static_cast<std::uint8_t>((src.b * alpha + d[2] * inv + 127) / 255);
  d[3] = 255;
}

bool validImage(const RgbaImage& img) {
  return img.width > 0 && img.height > 0 &&
         img.rgba.size() >= static_cast<std::size_t>(img.width) * img.height * 4;
}

// Liang-Barsky clip of a segment to [lo, hi] in both axes; false when nothing remains.
bool clipSegment(double& x0, double& y0, double& x1, double& y1, double lo, double hiX,
                 double hiY) {
  double t0 = 0.0, t1 = 1.0;
  const double dx = x1 - x0, dy = y1 - y0;
  const double p[4] = {-dx, dx, -dy, dy};
  const double q[4] = {x0 - lo, hiX - x0, y0 - lo, hiY - y0};
  for (int i = 0; i < 4; ++i) {
    if (p[i] == 0.0) {
      if (q[i] < 0.0) return false;
      continue;
    }
    const double t = q[i] / p[i];
    if (p[i] < 0.0) {
      t0 = std::max(t0, t);
    } else {
      t1 = std::min(t1, t);
    }
    if (t0 > t1) return false;
  }
  x1 = x0 + t1 * dx;
  y1 = y0 + t1 * dy;
  x0 = x0 + t0 * dx;
  y0 = y0 + t0 * dy;
  return true;
}

}  // namespace

RgbaImage makeCanvas(int width, int height, Rgba fill) {
  RgbaImage img;
  img.width = std::max(1, width);
  img.height = std::max(1, height);
  img.rgba.resize(static_cast<std::size_t>(img.width) * img.height * 4);
  for (std::size_t i = 0; i < img.rgba.size(); i += 4) {
    img.rgba[i] = fill.r;
    img.rgba[i + 1] = fill.g;
    img.rgba[i + 2] = fill.b;
    img.rgba[i + 3] = fill.a;
  }
  return img;
}

namespace {

// Scales the image into the pixel rectangle from nw to se (nearest pixel), tinted and faded by
// the KML colour.
void blitScaled(RgbaImage& canvas, PixelPos nw, PixelPos se, const RgbaImage& image,
                std::uint32_t kmlColor) {
  const double spanX = se.x - nw.x, spanY = se.y - nw.y;
  if (!(spanX > 0.0) || !(spanY > 0.0) || !std::isfinite(spanX + spanY)) return;
  if (se.x <= 0.0 || se.y <= 0.0 || nw.x >= canvas.width || nw.y >= canvas.height) return;
  const int x0 = static_cast<int>(std::max(0.0, std::floor(nw.x)));
  const int x1 = static_cast<int>(std::min<double>(canvas.width, std::ceil(se.x)));
  const int y0 = static_cast<int>(std::max(0.0, std::floor(nw.y)));
  const int y1 = static_cast<int>(std::min<double>(canvas.height, std::ceil(se.y)));

  const unsigned ca = (kmlColor >> 24) & 0xff, cb = (kmlColor >> 16) & 0xff,
                 cg = (kmlColor >> 8) & 0xff, cr = kmlColor & 0xff;
  for (int y = y0; y < y1; ++y) {
    const double v = (y + 0.5 - nw.y) / spanY;
    if (v < 0.0 || v >= 1.0) continue;
    const int sy = std::min(image.height - 1, static_cast<int>(v * image.height));
    for (int x = x0; x < x1; ++x) {
      const double u = (x + 0.5 - nw.x) / spanX;
      if (u < 0.0 || u >= 1.0) continue;
      const int sx = std::min(image.width - 1, static_cast<int>(u * image.width));
      const std::uint8_t* s = &image.rgba[(static_cast<std::size_t>(sy) * image.width + sx) * 4];
      const Rgba tinted{static_cast<std::uint8_t>(s[0] * cr / 255),
                        static_cast<std::uint8_t>(s[1] * cg / 255),
                        static_cast<std::uint8_t>(s[2] * cb / 255), 255};
      blendPixel(canvas, x, y, tinted, (s[3] * ca + 127) / 255);
    }
  }
}

double screenValue(double value, ScreenUnits units, double extent) {
  switch (units) {
    case ScreenUnits::Pixels:
      return value;
    case ScreenUnits::InsetPixels:
      return extent - value;
    case ScreenUnits::Fraction:
      break;
  }
  return value * extent;
}

}  // namespace

void drawGroundOverlay(RgbaImage& canvas, const ViewGeometry& view, const LatLonBoxData& box,
                       const RgbaImage& image, std::uint32_t kmlColor) {
  if (!validImage(image) || !(box.east > box.west) || !(box.north > box.south)) return;
  blitScaled(canvas, toPixel(view, box.west, box.north), toPixel(view, box.east, box.south), image,
             kmlColor);
}

void drawScreenOverlay(RgbaImage& canvas, const ScreenPlacementData& placement,
                       const RgbaImage& image, std::uint32_t kmlColor) {
  if (!validImage(image)) return;
  const ScreenVec& size = placement.size;
  const double w = size.x > 0.0 ? screenValue(size.x, size.xunits, canvas.width) : image.width;
  const double h = size.y > 0.0 ? screenValue(size.y, size.yunits, canvas.height) : image.height;
  const ScreenVec& at = placement.screenXY;
  const ScreenVec& anchor = placement.overlayXY;
  const double left =
      screenValue(at.x, at.xunits, canvas.width) - screenValue(anchor.x, anchor.xunits, w);
  const double bottom =
      screenValue(at.y, at.yunits, canvas.height) - screenValue(anchor.y, anchor.yunits, h);
  const double top = canvas.height - (bottom + h);  // pixel rows run from the top
  blitScaled(canvas, PixelPos{left, top}, PixelPos{left + w, top + h}, image, kmlColor);
}

void drawPolyline(RgbaImage& canvas, const ViewGeometry& view, const std::vector<GeoPoint>& line,
                  Rgba colour) {
  for (std::size_t i = 1; i < line.size(); ++i) {
    const PixelPos a = toPixel(view, line[i - 1].lon, line[i - 1].lat);
    const PixelPos b = toPixel(view, line[i].lon, line[i].lat);
    double ax = a.x, ay = a.y, bx = b.x, by = b.y;
    if (!std::isfinite(ax + ay + bx + by)) continue;
    if (!clipSegment(ax, ay, bx, by, 0.0, canvas.width - 1.0, canvas.height - 1.0)) continue;
    // After clipping the segment lies on the canvas, so the step count is bounded by its size.
    const int steps = static_cast<int>(std::max(std::abs(bx - ax), std::abs(by - ay))) + 1;
    for (int s = 0; s <= steps; ++s) {
      const double t = static_cast<double>(s) / steps;
      blendPixel(canvas, static_cast<int>(std::lround(ax + (bx - ax) * t)),
                 static_cast<int>(std::lround(ay + (by - ay) * t)), colour, colour.a);
    }
  }
}

void drawMarker(RgbaImage& canvas, const ViewGeometry& view, const GeoPoint& at, int halfSize,
                Rgba colour) {
  const PixelPos p = toPixel(view, at.lon, at.lat);
  if (!std::isfinite(p.x) || !std::isfinite(p.y)) return;
  if (p.x < -halfSize || p.y < -halfSize || p.x > canvas.width + halfSize ||
      p.y > canvas.height + halfSize) {
    return;
  }
  const int cx = static_cast<int>(std::floor(p.x)), cy = static_cast<int>(std::floor(p.y));
  for (int y = cy - halfSize; y <= cy + halfSize; ++y) {
    for (int x = cx - halfSize; x <= cx + halfSize; ++x) blendPixel(canvas, x, y, colour, colour.a);
  }
}

RgbaImage renderScene(const Scene& scene, const ViewGeometry& view,
                      const std::function<const RgbaImage*(std::string_view href)>& imageOf) {
  RgbaImage canvas = makeCanvas(view.widthPx, view.heightPx, kBackground);
  std::vector<const KmlNode*> shown;
  scene.forEachNode([&](KmlNode& n, int, bool visible) {
    if (visible) shown.push_back(&n);
  });
  for (const KmlNode* n : shown) {
    if (n->kind != FeatureKind::GroundOverlay || !n->box) continue;
    if (const RgbaImage* image = imageOf(n->iconHref)) {
      drawGroundOverlay(canvas, view, *n->box, *image, n->color);
    }
  }
  for (const KmlNode* n : shown) {
    for (const auto& line : n->lines) drawPolyline(canvas, view, line, kLineColour);
  }
  for (const KmlNode* n : shown) {
    for (const GeoPoint& p : n->points) drawMarker(canvas, view, p, 2, kPointColour);
    if (n->model && n->model->location) {
      drawMarker(canvas, view, *n->model->location, 3, kModelColour);
    }
  }
  for (const KmlNode* n : shown) {
    if (n->kind != FeatureKind::ScreenOverlay) continue;
    if (const RgbaImage* image = imageOf(n->iconHref)) {
      drawScreenOverlay(canvas, n->screen.value_or(ScreenPlacementData{}), *image, n->color);
    }
  }
  return canvas;
}

}  // namespace tivra::globe

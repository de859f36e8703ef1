#include "ui/view_math.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

namespace tivra::ui {

namespace {

// The map background colours the preview treats as see-through.
constexpr std::array<Rgb8, 9> kPreviewBackgrounds = {{
    {241, 238, 232},
    {235, 231, 221},
    {239, 240, 241},
    {248, 251, 244},
    {244, 244, 251},
    {250, 245, 250},
    {230, 226, 217},
    {230, 227, 218},
    {235, 232, 227},
}};

std::uint8_t blend(double x, std::uint8_t background, std::uint8_t tile) {
  const double v = (1.0 - x) * background + x * tile;
  return static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
}

}  // namespace

std::optional<ViewPoint> dragViewPoint(const Rect& view, Point cursor) {
  if (view.width() <= 0 || view.height() <= 0) return std::nullopt;
  const double x = static_cast<double>(cursor.x + 7 - view.left) / view.width() * 2.0 - 1.0;
  const double y = 1.0 - static_cast<double>(cursor.y + 7 - view.top) / view.height() * 2.0;
  return ViewPoint{x, y};
}

std::int32_t draggedOffset(std::int32_t remembered, double degreesAtPoint, double degreesAtCentre) {
  const double delta = std::trunc((degreesAtPoint - degreesAtCentre) * 100000.0);
  return static_cast<std::int32_t>(std::clamp(remembered + delta, -2147483648.0, 2147483647.0));
}

Rgb8 previewPixel(Rgb8 tile, Rgb8 background, const PreviewValues& values) {
  double x = values.transParency / 100.0;
  if (values.transparentMode) {
    // 2^(BKRange / 20) / 2 per channel; with BKRange 0 only exact colours count.
    const double tolerance = std::ldexp(1.0, std::clamp(values.bkRange / 20, 0, 30)) / 2.0;
    int m = 255;
    for (const Rgb8& c : kPreviewBackgrounds) {
      if (std::abs(tile.r - c.r) <= tolerance && std::abs(tile.g - c.g) <= tolerance &&
          std::abs(tile.b - c.b) <= tolerance) {
        m = (c.r ^ tile.b ^ (c.b + tile.g) ^ (tile.r + c.g)) / 3;
        break;
      }
    }
    x = m * values.transParency / 25500.0;
    if (values.colorNo & 4) tile.r = static_cast<std::uint8_t>(255 - tile.r);
    if (values.colorNo & 2) tile.g = static_cast<std::uint8_t>(255 - tile.g);
    if (values.colorNo & 1) tile.b = static_cast<std::uint8_t>(255 - tile.b);
  }
  return {blend(x, background.r, tile.r), blend(x, background.g, tile.g),
          blend(x, background.b, tile.b)};
}

std::vector<Rgb8> previewImage(std::span<const Rgb8> tile, int width, int height,
                               std::span<const Rgb8> background, int backgroundWidth,
                               int backgroundHeight, const PreviewValues& values) {
  std::vector<Rgb8> out;
  if (width <= 0 || height <= 0 || tile.size() != static_cast<std::size_t>(width) * height)
    return out;
  const bool backgroundOk = backgroundWidth > 0 && backgroundHeight > 0 &&
                            background.size() == static_cast<std::size_t>(backgroundWidth) *
                                                     static_cast<std::size_t>(backgroundHeight);
  out.reserve(tile.size());
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      Rgb8 bg;
      if (backgroundOk && x < backgroundWidth && y < backgroundHeight)
        bg = background[static_cast<std::size_t>(y) * backgroundWidth + x];
      out.push_back(previewPixel(tile[static_cast<std::size_t>(y) * width + x], bg, values));
    }
  }
  return out;
}

}  // namespace tivra::ui

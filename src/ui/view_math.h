#pragma once

// Pure arithmetic of the map page: the drag-offset mapping from the cursor to the globe view's
// screen coordinates, and the image-enhancement preview.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ui/docking.h"

namespace tivra::ui {

// Screen coordinates of the globe view (-1..1, (0, 0) the centre, y up) for the cursor over the
// view's screen rectangle. The 7 pixels put the point under the tip of the drag cursor, whose
// hot spot sits at its top-left corner. nullopt for an empty rectangle.
struct ViewPoint {
  double x = 0.0;
  double y = 0.0;
};
std::optional<ViewPoint> dragViewPoint(const Rect& view, Point cursor);

// Xoff (or Yoff) after a drag: the remembered value plus the degrees between the terrain at the
// view point and at the centre, in E5 units truncated toward zero.
std::int32_t draggedOffset(std::int32_t remembered, double degreesAtPoint, double degreesAtCentre);

// The dialog's values the preview depends on.
struct PreviewValues {
  int transParency = 50;  // percent
  bool transparentMode = true;
  int bkRange = 0;  // multiple of 20
  int colorNo = 0;  // bit 2 red, bit 1 green, bit 0 blue
};

struct Rgb8 {
  std::uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Rgb8&) const = default;
};

// One preview pixel: the tile pixel over the background pixel as the tile processing would
// show it with these values.
Rgb8 previewPixel(Rgb8 tile, Rgb8 background, const PreviewValues& values);

// The whole preview: rows of RGB pixels of the tile's size; the background is read at the same
// position (its missing pixels count as black).
std::vector<Rgb8> previewImage(std::span<const Rgb8> tile, int width, int height,
                               std::span<const Rgb8> background, int backgroundWidth,
                               int backgroundHeight, const PreviewValues& values);

}  // namespace tivra::ui

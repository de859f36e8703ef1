#pragma once

// The overlay link's view values: the entry document asks for them in its viewFormat, the globe
// fills them in after each camera stop, and the KmlServer endpoint reads them back by position:
//
//   BBOX=[bboxWest],[bboxSouth],[bboxEast],[bboxNorth],[lookatLon],[lookatLat],[lookatRange],
//        [lookatTilt],[lookatHeading],[horizFov],[vertFov],[horizPixels],[vertPixels]

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace tivra::globe {

// Positions in the comma-separated list after "BBOX=".
enum class ViewValue : std::size_t {
  BboxWest,
  BboxSouth,
  BboxEast,
  BboxNorth,
  LookatLon,
  LookatLat,
  LookatRange,
  LookatTilt,
  LookatHeading,
  HorizFov,
  VertFov,
  HorizPixels,
  VertPixels,
};

inline constexpr std::size_t kViewValueCount = 13;

// The viewFormat placeholder of each value, in list order.
inline constexpr std::array<std::string_view, kViewValueCount> kViewValueNames = {
    "bboxWest",  "bboxSouth",   "bboxEast",   "bboxNorth",     "lookatLon",
    "lookatLat", "lookatRange", "lookatTilt", "lookatHeading", "horizFov",
    "vertFov",   "horizPixels", "vertPixels"};

constexpr std::size_t index(ViewValue value) {
  return static_cast<std::size_t>(value);
}

constexpr std::string_view viewValueName(ViewValue value) {
  return kViewValueNames[index(value)];
}

// The overlay link's viewFormat text: "BBOX=" and every placeholder, comma-separated.
inline std::string overlayViewFormat() {
  std::string format = "BBOX=";
  for (std::size_t i = 0; i < kViewValueCount; ++i) {
    if (i > 0) format += ',';
    format.append("[").append(kViewValueNames[i]).append("]");
  }
  return format;
}

}  // namespace tivra::globe

#pragma once

// Encoded polylines as routing services of today write their geometry: precision 6
// (millionths of a degree), latitude before longitude, each value the difference to the
// previous point, zig-zag signed, in 5-bit chunks of printable bytes 63..126, low chunk first,
// 0x20 set on every chunk but a value's last.
//
//   "_izlhA~rlgdF"  ->  (lat 38.5, lon -120.2)

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "search/points.h"

namespace tivra::search {

// A point in millionths of a degree, x longitude, y latitude.
struct PointE6 {
  std::int64_t x = 0;
  std::int64_t y = 0;
  bool operator==(const PointE6&) const = default;
};

// A line longer than this many points is no road of this world, but an answer to refuse.
inline constexpr std::size_t kMaxPolylinePoints = 1u << 20;

// The points of an encoded polyline, or nullopt when it is not one: a byte outside 63..126, a
// value cut off at the end, a value of more than 32 bits, a point off the globe, or more than
// maxPoints points. An empty text is an empty line.
std::optional<std::vector<PointE6>> decodePolyline6(std::string_view text,
                                                    std::size_t maxPoints = kMaxPolylinePoints);

// Millionths to the E5 unit of the documents, rounded to the nearest.
PointE5 toE5(PointE6 p);

}  // namespace tivra::search

#include "search/polyline.h"

namespace tivra::search {

namespace {

constexpr std::int64_t kMaxLongitudeE6 = 180'000'000;
constexpr std::int64_t kMaxLatitudeE6 = 90'000'000;

// One zig-zag value at pos; nullopt when the text breaks off or the value passes 32 bits.
std::optional<std::int64_t> readValue(std::string_view text, std::size_t& pos) {
  std::uint64_t bits = 0;
  // Seven chunks of five bits hold 32 bits and a sign; an eighth is hostile.
  for (int shift = 0; shift < 35; shift += 5) {
    if (pos >= text.size()) return std::nullopt;
    const int c = static_cast<unsigned char>(text[pos++]) - 63;
    if (c < 0 || c > 63) return std::nullopt;
    bits |= static_cast<std::uint64_t>(c & 0x1F) << shift;
    if ((c & 0x20) == 0) {
      const auto magnitude = static_cast<std::int64_t>(bits >> 1);
      return (bits & 1) != 0 ? -magnitude - 1 : magnitude;
    }
  }
  return std::nullopt;
}

std::int64_t roundedDiv10(std::int64_t v) {
  return v >= 0 ? (v + 5) / 10 : -((-v + 5) / 10);
}

}  // namespace

std::optional<std::vector<PointE6>> decodePolyline6(std::string_view text, std::size_t maxPoints) {
  std::vector<PointE6> points;
  PointE6 at;
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (points.size() >= maxPoints) return std::nullopt;
    const auto dy = readValue(text, pos);
    if (!dy) return std::nullopt;
    const auto dx = readValue(text, pos);
    if (!dx) return std::nullopt;
    at.y += *dy;
    at.x += *dx;
    // Each delta is bounded, so a sum stays far from overflow until it leaves the globe.
    if (at.x < -kMaxLongitudeE6 || at.x > kMaxLongitudeE6 || at.y < -kMaxLatitudeE6 ||
        at.y > kMaxLatitudeE6)
      return std::nullopt;
    points.push_back(at);
  }
  return points;
}

PointE5 toE5(PointE6 p) {
  return PointE5{static_cast<std::int32_t>(roundedDiv10(p.x)),
                 static_cast<std::int32_t>(roundedDiv10(p.y))};
}

}  // namespace tivra::search

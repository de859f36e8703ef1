#include "search/points.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/text.h"
#include "tiles/offset.h"

namespace tivra::search {

namespace detail {

std::int32_t saturate(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

}  // namespace detail

namespace {

std::int32_t narrowToE5(double degrees) {
  // A value beyond single precision's range (or NaN) would make the narrowing undefined.
  if (!(std::abs(degrees) <= 1e30)) degrees = degrees > 0 ? 1e30 : (degrees < 0 ? -1e30 : 0.0);
  const float narrowed = static_cast<float>(degrees);
  return tiles::toE5(static_cast<double>(narrowed));
}

}  // namespace

PointE5 DegreesToE5(double longitude, double latitude) {
  return PointE5{narrowToE5(longitude), narrowToE5(latitude)};
}

std::string pointListText(std::span<const PointE5> points) {
  std::string text;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (i > 0) text.push_back(';');
    platform::appendFormat(text, "%ld,%ld", static_cast<long>(points[i].x),
                           static_cast<long>(points[i].y));
  }
  return text;
}

bool onGlobe(PointE5 p) {
  return p.x >= -18'000'000 && p.x <= 18'000'000 && p.y >= -9'000'000 && p.y <= 9'000'000;
}

int CountPoints(std::string_view list) {
  if (list.empty()) return 0;
  const auto commas = std::count(list.begin(), list.end(), ',');
  const auto semicolons = std::count(list.begin(), list.end(), ';');
  if (commas != semicolons + 1) return -1;
  return static_cast<int>(std::min<std::ptrdiff_t>(commas, std::numeric_limits<int>::max()));
}

std::vector<PointE5> ParsePointList(std::string_view list) {
  std::vector<PointE5> points;
  const int count = CountPoints(list);
  if (count <= 0) return points;
  points.reserve(static_cast<std::size_t>(count));
  platform::Tokenizer tokens(list, ";");
  for (int i = 0; i < count; ++i) {
    const std::string_view token = tokens.next();
    if (token.empty()) break;
    const auto parts = platform::tokenize(token, ",", 2);
    PointE5 p;
    if (!parts.empty()) p.x = platform::parseInt(parts[0]);
    if (parts.size() > 1) p.y = platform::parseInt(parts[1]);
    points.push_back(p);
  }
  return points;
}

namespace {

PointE5 offsetAt(PointE5 p, Offsets offsets) {
  return tiles::offsetAt(offsets.map, offsets.model, p).value_or(PointE5{});
}

PointE5 toMap(PointE5 p, Offsets offsets) {
  const PointE5 offset = offsetAt(p, offsets);
  return PointE5{detail::saturate(std::int64_t{p.x} - offset.x),
                 detail::saturate(std::int64_t{p.y} - offset.y)};
}

}  // namespace

std::string GlobeToMapList(std::string_view list, Offsets offsets) {
  std::string text;
  bool first = true;
  for (const PointE5& p : ParsePointList(list)) {
    const PointE5 q = toMap(p, offsets);
    if (!first) text.push_back(';');
    first = false;
    platform::appendFormat(text, "%d,%d", q.x, q.y);
  }
  return text;
}

// The same as writing the points as a list text, shifting it with GlobeToMapList and reading it
// back, since the text form of a point reads back exactly; without the text round trip.
std::vector<PointE5> MapToGlobe(std::span<const PointE5> points, Offsets offsets) {
  std::vector<PointE5> result;
  result.reserve(points.size());
  for (const PointE5& p : points) {
    const PointE5 q = toMap(p, offsets);
    result.push_back(PointE5{detail::saturate(2 * std::int64_t{p.x} - q.x),
                             detail::saturate(2 * std::int64_t{p.y} - q.y)});
  }
  return result;
}

}  // namespace tivra::search

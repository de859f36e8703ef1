#include "tiles/geometry.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>

#include "platform/text.h"

namespace tivra::tiles {

std::int32_t toE5(double degrees) {
  const double value = std::trunc(degrees * 100000.0);
  if (std::isnan(value)) return 0;
  constexpr double kMin = std::numeric_limits<std::int32_t>::min();
  constexpr double kMax = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(std::clamp(value, kMin, kMax));
}

std::int64_t truncToInt64(long double value) {
  if (std::isnan(value)) return 0;
  // 2^63 is exact in long double; anything at or beyond it saturates.
  constexpr long double kLimit = 9223372036854775808.0L;
  if (value >= kLimit) return std::numeric_limits<std::int64_t>::max();
  if (value <= -kLimit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

int zoomNumber(double range, std::int32_t height, int zoomLevel) {
  const double ratio = range / height;
  const double level = std::log(ratio) / std::log(2.0);
  if (!std::isfinite(level)) return 0;
  const std::int64_t n = truncToInt64(level) + zoomLevel;
  return static_cast<int>(std::clamp<std::int64_t>(n, 0, 17));
}

namespace {

long double tileCount(int z) {
  return static_cast<long double>(std::uint32_t{1} << (z & 31));
}

}  // namespace

TileXY TileIndex(std::int64_t lonE5, std::int64_t latE5, int z) {
  // The listed constants are doubles (their shortest decimal forms), widened for the
  // extended-precision arithmetic; long-double literals of the same digits move exact tile
  // edges at negative longitudes into the neighbouring column.
  constexpr long double kE5 = 0.00001;
  constexpr long double kHalfTurn = 180.0;
  constexpr long double kPerDegree = 0.002777777777777778;
  constexpr long double kPi = 3.14159265;
  constexpr long double kRadiansPerHalfE5 = 8.726646250000002e-8;
  constexpr long double kQuarterPi = 0.7853981625;
  constexpr long double kPerRadian = 0.15915494327375637;
  const long double n = tileCount(z);
  const long double x = ((lonE5 * kE5 + kHalfTurn) * kPerDegree) * n;
  const long double y =
      (kPi - std::log(std::tan(latE5 * kRadiansPerHalfE5 + kQuarterPi))) * kPerRadian * n;
  return {truncToInt64(x), truncToInt64(y)};
}

LatLonBox mercatorTileBox(std::int64_t x, std::int64_t y, int z) {
  const double n = static_cast<double>(std::uint32_t{1} << (z & 31));
  const auto latitude = [n](double row) {
    const double p = std::pow(2.71828, 3.14159265 - row * 6.2831853 / n);
    return (0.7853981625 - std::atan(p)) * -114.59155915710458;
  };
  LatLonBox box;
  box.west = static_cast<double>(x) * 360.0 / n - 180.0;
  box.east = static_cast<double>(x + 1) * 360.0 / n - 180.0;
  box.north = latitude(static_cast<double>(y));
  box.south = latitude(static_cast<double>(y + 1));
  return box;
}

std::string TileQuery(std::int64_t x, std::int64_t y, int z) {
  std::string query;
  appendTileQuery(query, x, y, z);
  return query;
}

void appendTileQuery(std::string& out, std::int64_t x, std::int64_t y, int z) {
  // "x=%lld%3%lld&amp;y=%lld%3%lld&amp;zoom=%d" of x/10, x%10, y/10, y%10 and 17-z.
  out.append("x=");
  platform::appendInteger(out, x / 10);
  out.append("%3");
  platform::appendInteger(out, x % 10);
  out.append("&amp;y=");
  platform::appendInteger(out, y / 10);
  out.append("%3");
  platform::appendInteger(out, y % 10);
  out.append("&amp;zoom=");
  platform::appendInteger(out, 17 - z);
}

TileXY linearTile(std::int64_t lonE5, std::int64_t latE5, int k) {
  return {lonE5 >> (k + 8), latE5 >> (k + 8)};
}

LatLonBox linearTileBox(std::int64_t x, std::int64_t y, int k, PointE5 offset) {
  const std::int64_t size = std::int64_t{1} << (k + 8);
  LatLonBox box;
  box.west = static_cast<double>(x * size + offset.x) * 0.00001;
  box.east = static_cast<double>((x + 1) * size + offset.x) * 0.00001;
  box.south = static_cast<double>(y * size + offset.y) * 0.00001;
  box.north = static_cast<double>((y + 1) * size + offset.y) * 0.00001;
  return box;
}

std::string LinearTilePath(std::int64_t x, std::int64_t y, int k) {
  const int levels = static_cast<int>(std::ceil((12 - k) * 0.25));
  std::string path;
  platform::appendInteger(path, k);
  path.push_back('/');
  std::int64_t previousX = 0, previousY = 0, previousDivisor = 0;
  for (int shift = 4 * levels; shift >= 4; shift -= 4) {
    const std::int64_t divisor = std::int64_t{1} << shift;
    // Only the previous level's quotient is taken off, as the tile source's paths do.
    const std::int64_t qx = (x - previousX * previousDivisor) / divisor;
    const std::int64_t qy = (y - previousY * previousDivisor) / divisor;
    if (qx <= 9) path.push_back('0');
    platform::appendInteger(path, qx);
    if (qy <= 9) path.push_back('0');
    platform::appendInteger(path, qy);
    path.push_back('/');
    previousX = qx;
    previousY = qy;
    previousDivisor = divisor;
  }
  const std::uint64_t key = (static_cast<std::uint64_t>(k) << 40) +
                            ((static_cast<std::uint64_t>(y) & 0xFFFFF) << 20) +
                            (static_cast<std::uint64_t>(x) & 0xFFFFF);
  std::array<char, 24> digits;
  path.append(digits.data(), std::to_chars(digits.data(), digits.data() + digits.size(), key).ptr);
  path.append(".png");
  return path;
}

}  // namespace tivra::tiles

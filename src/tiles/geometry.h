#pragma once

#include <cstdint>
#include <string>

namespace tivra::tiles {

// A position or offset in E5 units (0.00001 degree): x longitude, y latitude.
struct PointE5 {
  std::int32_t x = 0;
  std::int32_t y = 0;
  friend bool operator==(const PointE5&, const PointE5&) = default;
};

// Degrees times 100000.0 truncated toward zero. Values beyond 32 bits saturate and NaN gives 0,
// so view values from the network can never make the conversion undefined.
std::int32_t toE5(double degrees);

// Truncation toward zero into 64 bits, saturating, NaN giving 0.
std::int64_t truncToInt64(long double value);

// The zoom number 0..17 for a look-at range (metres) over a view height (pixels), shifted by
// zoomLevel. A ratio that is not a finite positive number (height or range 0) gives 0, the
// most detailed number.
int zoomNumber(double range, std::int32_t height, int zoomLevel);

// A tile of the Mercator scheme: N = 2^z tiles from longitude -180 eastward and from the
// northern edge southward. Indices are 64-bit so neighbours of extreme tiles never overflow.
struct TileXY {
  std::int64_t x = 0;
  std::int64_t y = 0;
};

// `TileIndex`: in extended precision with the constants of the tile source's own arithmetic.
TileXY TileIndex(std::int64_t lonE5, std::int64_t latE5, int z);

struct LatLonBox {
  double north = 0, south = 0, east = 0, west = 0;
};

// The box of Mercator tile (x, y) at zoom z, before any offset shift.
LatLonBox mercatorTileBox(std::int64_t x, std::int64_t y, int z);

// `TileQuery`: "x=" E(X) "&amp;y=" E(Y) "&amp;zoom=" (17 - z), E(v) writing the last decimal digit
// percent-encoded ("%3" and the digit).
std::string TileQuery(std::int64_t x, std::int64_t y, int z);
void appendTileQuery(std::string& out, std::int64_t x, std::int64_t y, int z);

// The linear scheme of the default endpoint: at level k a tile covers 2^(k+8) E5 units, counted
// from longitude 0 and latitude 0, y growing northward.
TileXY linearTile(std::int64_t lonE5, std::int64_t latE5, int k);
// The box of linear tile (x, y) at level k, shifted by the offset.
LatLonBox linearTileBox(std::int64_t x, std::int64_t y, int k, PointE5 offset);
// `LinearTilePath`: "<k>/<directories><K>.png".
std::string LinearTilePath(std::int64_t x, std::int64_t y, int k);

}  // namespace tivra::tiles

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tivra::tiles {

// The deepest level a tile query can name: zoom number 0 is z = 17.
inline constexpr int kMaxTileLevel = 17;

// A tile of an XYZ source: at level z the world is 2^z tiles wide and high, x counted from
// longitude -180 eastward, y from the northern edge southward.
struct TileXYZ {
  std::int64_t x = 0;
  std::int64_t y = 0;
  int z = 0;
  friend bool operator==(const TileXYZ&, const TileXYZ&) = default;
};

// The tile a query text names, as the overlay writes it and the globe sends it back:
// "x=123%34&y=56%37&zoom=12" is x 1234, y 567, z = 17 - 12 = 5. Percent-encoded digits are
// read as digits; x wraps around the antimeridian. nullopt for any other text (a built-in image
// name, a path of the linear scheme), a level outside 0..17 or a row outside the world.
std::optional<TileXYZ> parseTileQuery(std::string_view query);

// Whether query has the shape of a tile query as the overlay writes it (`TileQuery`, with "&"
// for "&amp;"): x, y and zoom, each exactly once and in any order, nothing else; each value
// at most 24 characters of decimal digits and "-" signs, where "%3" may stand before a digit
// or a sign (E(-1) is "0%3-1"), with at least one digit. Tiles outside the world pass: the
// shape is checked, not the place.
bool isTileQuery(std::string_view query);

// The quadkey of a tile: one digit 0..3 per level, the coarsest first ("" at level 0).
std::string quadKey(const TileXYZ& tile);

// The template with {x}, {y}, {z}, {q} (quadkey) and {s} replaced; {s} is the subdomain letter
// at (x + y) mod the letter count, "" when there are no letters. Other text stays as written.
std::string expandTileUrl(std::string_view urlTemplate, const TileXYZ& tile,
                          std::string_view subdomains);

}  // namespace tivra::tiles

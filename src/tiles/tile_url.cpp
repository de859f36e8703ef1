#include "tiles/tile_url.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace tivra::tiles {

namespace {

// One value of the query: decimal digits, each possibly written "%3" + digit, nothing else.
// At most 12 digits, so the number stays far from overflow and the loop is bounded.
std::optional<std::int64_t> queryNumber(std::string_view text) {
  std::int64_t value = 0;
  int digits = 0;
  while (!text.empty()) {
    char digit = text.front();
    if (digit == '%' && text.size() >= 3 && text[1] == '3') {
      digit = text[2];
      text.remove_prefix(2);
    }
    if (std::isdigit(static_cast<unsigned char>(digit)) == 0 || ++digits > 12) return std::nullopt;
    value = value * 10 + (digit - '0');
    text.remove_prefix(1);
  }
  if (digits == 0) return std::nullopt;
  return value;
}

}  // namespace

std::optional<TileXYZ> parseTileQuery(std::string_view query) {
  std::array<std::optional<std::int64_t>, 3> values;  // x, y, zoom
  constexpr std::array<std::string_view, 3> kNames = {"x", "y", "zoom"};
  while (!query.empty()) {
    const std::size_t end = query.find('&');
    const std::string_view pair = query.substr(0, end);
    query = end == std::string_view::npos ? std::string_view{} : query.substr(end + 1);
    const std::size_t eq = pair.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    bool known = false;
    for (std::size_t i = 0; i < kNames.size(); ++i) {
      if (pair.substr(0, eq) != kNames[i]) continue;
      if (values[i]) return std::nullopt;  // named twice: which one is meant?
      values[i] = queryNumber(pair.substr(eq + 1));
      if (!values[i]) return std::nullopt;
      known = true;
    }
    if (!known) return std::nullopt;
  }
  if (!values[0] || !values[1] || !values[2] || *values[2] > kMaxTileLevel) return std::nullopt;
  TileXYZ tile;
  tile.z = kMaxTileLevel - static_cast<int>(*values[2]);
  const std::int64_t count = std::int64_t{1} << tile.z;
  if (*values[1] >= count) return std::nullopt;
  tile.x = *values[0] % count;
  tile.y = *values[1];
  return tile;
}

bool isTileQuery(std::string_view query) {
  constexpr std::array<std::string_view, 3> kNames = {"x", "y", "zoom"};
  std::array<bool, 3> seen{};
  // At most three pairs: the loop ends after the fourth piece at the latest.
  for (int pairs = 0; pairs < 3; ++pairs) {
    const std::size_t end = query.find('&');
    const std::string_view pair = query.substr(0, end);
    const std::size_t eq = pair.find('=');
    if (eq == std::string_view::npos) return false;
    const auto name = std::find(kNames.begin(), kNames.end(), pair.substr(0, eq));
    if (name == kNames.end() || seen[static_cast<std::size_t>(name - kNames.begin())]) return false;
    seen[static_cast<std::size_t>(name - kNames.begin())] = true;
    std::string_view value = pair.substr(eq + 1);
    if (value.empty() || value.size() > 24) return false;
    bool digit = false;
    while (!value.empty()) {
      if (value.starts_with("%3")) value.remove_prefix(2);
      if (value.empty()) return false;
      const char c = value.front();
      if (std::isdigit(static_cast<unsigned char>(c)) != 0) {
        digit = true;
      } else if (c != '-') {
        return false;
      }
      value.remove_prefix(1);
    }
    if (!digit) return false;
    if (end == std::string_view::npos) return pairs == 2;
    query.remove_prefix(end + 1);
  }
  return false;
}

std::string quadKey(const TileXYZ& tile) {
  std::string key;
  key.reserve(static_cast<std::size_t>(tile.z));
  for (int level = tile.z; level > 0; --level) {
    const std::int64_t bit = std::int64_t{1} << (level - 1);
    key.push_back(
        static_cast<char>('0' + ((tile.x & bit) != 0 ? 1 : 0) + ((tile.y & bit) != 0 ? 2 : 0)));
  }
  return key;
}

std::string expandTileUrl(std::string_view urlTemplate, const TileXYZ& tile,
                          std::string_view subdomains) {
  std::string out;
  out.reserve(urlTemplate.size() + 32);
  while (!urlTemplate.empty()) {
    const std::size_t open = urlTemplate.find('{');
    out.append(urlTemplate.substr(0, open));
    if (open == std::string_view::npos) break;
    urlTemplate.remove_prefix(open);
    const std::size_t close = urlTemplate.find('}');
    const std::string_view name =
        close == std::string_view::npos ? std::string_view{} : urlTemplate.substr(1, close - 1);
    if (name == "x") {
      out.append(std::to_string(tile.x));
    } else if (name == "y") {
      out.append(std::to_string(tile.y));
    } else if (name == "z") {
      out.append(std::to_string(tile.z));
    } else if (name == "q") {
      out.append(quadKey(tile));
    } else if (name == "s") {
      if (!subdomains.empty()) {
        const auto count = static_cast<std::int64_t>(subdomains.size());
        out.push_back(subdomains[static_cast<std::size_t>((tile.x + tile.y) % count)]);
      }
    } else {
      // Not a placeholder of ours: the brace is text.
      out.push_back('{');
      urlTemplate.remove_prefix(1);
      continue;
    }
    urlTemplate.remove_prefix(close + 1);
  }
  return out;
}

}  // namespace tivra::tiles

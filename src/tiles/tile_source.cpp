#include "tiles/tile_source.h"

#include "platform/mbtiles.h"
#include "platform/read_file.h"
#include "platform/text.h"

namespace tivra::tiles {

using platform::startsWithIgnoreCase;

std::string_view tileSourceUserAgentHeader() {
  return "User-Agent: Tivra/" TIVRA_VERSION;
}

TileSource::TileSource(Settings settings) : m_settings(std::move(settings)) {
  const std::string_view url = m_settings.tileUrl;
  if (url.empty()) {
    m_kind = Kind::Query;
  } else if (startsWithIgnoreCase(url, "http://") || startsWithIgnoreCase(url, "https://")) {
    m_kind = Kind::Download;
    m_template = url;
  } else if (startsWithIgnoreCase(url, "file://")) {
    // file:///DIR/... names /DIR/...; a host part is not ours to reach.
    m_template = url.substr(7);
    m_kind = m_template.starts_with('/') ? Kind::Directory : Kind::Invalid;
  } else if (startsWithIgnoreCase(url, "mbtiles:") && url.size() > 8) {
    m_kind = Kind::MbTiles;
    m_mbtiles = std::make_unique<platform::MbtilesFile>(std::string(url.substr(8)));
  } else {
    m_kind = Kind::Invalid;
  }
}

TileSource::~TileSource() = default;

std::optional<std::string> TileSource::downloadUrl(std::string_view query) const {
  if (m_kind != Kind::Download) return std::nullopt;
  const auto tile = parseTileQuery(query);
  if (!tile) return std::nullopt;
  return expandTileUrl(m_template, *tile, m_settings.subdomains);
}

FetchResult TileSource::download(std::string_view query, std::stop_token stop) const {
  const auto url = downloadUrl(query);
  if (!url) return {};
  FetchOptions options;
  options.userAgentHeader = tileSourceUserAgentHeader();
  // The program names itself: it does not pose as coming from another site either.
  options.redirectReferer = "";
  options.allowHttps = true;
  options.caFile = m_settings.caFile;
  options.stop = std::move(stop);
  return fetch_url(*url, options);
}

std::optional<std::vector<std::uint8_t>> TileSource::readLocal(std::string_view query) const {
  if (!local()) return std::nullopt;
  const auto tile = parseTileQuery(query);
  if (!tile) return std::nullopt;
  try {
    if (m_kind == Kind::Directory) {
      auto bytes = platform::readRegularFile(
          expandTileUrl(m_template, *tile, m_settings.subdomains), kFetchMaxBodyBytes);
      if (bytes && bytes->empty()) return std::nullopt;
      return bytes;
    }
    // MBTiles count rows from the south: row 0 is the southernmost.
    const std::int64_t tmsRow = (std::int64_t{1} << tile->z) - 1 - tile->y;
    return m_mbtiles->readTile(tile->z, tile->x, tmsRow, kFetchMaxBodyBytes);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace tivra::tiles

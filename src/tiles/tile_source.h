#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "tiles/fetch_url.h"
#include "tiles/tile_url.h"

namespace tivra::platform {
class MbtilesFile;
}

namespace tivra::tiles {

// The User-Agent line of template sources: public tile services require an agent that names
// the program.
std::string_view tileSourceUserAgentHeader();

// Where tiles come from when `TileUrl` is set. The tile's name in the store, in the overlay and
// in the globe's requests stays `TileSourceBase` + query; only the place it is read from changes.
//
// TileUrl                              tiles come from
// -----------------------------------  --------------------------------------------------------
// (empty)                              `TileSourceBase` + query, as always
// http://... or https://... template   a download of the expanded template (fetch_url, the
//                                      program's own agent, https checked against the CA store)
// file:///DIR/{z}/{x}/{y}.png          the file the expanded template names
// mbtiles:/PATH/file.mbtiles           the tile of an MBTiles file (rows in TMS order)
//
// Anything else in TileUrl names no tile at all. Thread-safe.
class TileSource {
 public:
  enum class Kind { Query, Download, Directory, MbTiles, Invalid };

  struct Settings {
    std::string tileUrl;             // `TileUrl`
    std::string subdomains = "abc";  // `TileSubdomains`, the letters of {s}
    std::string caFile;              // `TestCaFile`: replaces the system's CA store (tests)
  };

  explicit TileSource(Settings settings);
  ~TileSource();
  TileSource(const TileSource&) = delete;
  TileSource& operator=(const TileSource&) = delete;

  Kind kind() const { return m_kind; }
  // Tiles are read from files on this machine: no network, nothing to keep in the store.
  bool local() const { return m_kind == Kind::Directory || m_kind == Kind::MbTiles; }

  // The URL a template source downloads the tile of query from; nullopt when the query names no
  // tile of the XYZ scheme or the source is not a template.
  std::optional<std::string> downloadUrl(std::string_view query) const;
  // A download of the tile named by query (a template source only; otherwise nullopt, status 0),
  // given up when stop is requested.
  FetchResult download(std::string_view query, std::stop_token stop = {}) const;
  // The tile named by query from a local source; nullopt when the source lacks it.
  std::optional<std::vector<std::uint8_t>> readLocal(std::string_view query) const;

 private:
  Settings m_settings;
  Kind m_kind = Kind::Query;
  std::string m_template;  // the URL template, or the file path template
  std::unique_ptr<platform::MbtilesFile> m_mbtiles;
};

}  // namespace tivra::tiles

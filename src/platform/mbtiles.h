#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace tivra::platform {

// A tile file in the MBTiles format, read-only. The file is an SQLite database; the tiles are
// rows of the table (or view) "tiles":
//
// COLUMN        TYPE     DESCRIPTION
// zoom_level    integer  z, 0 = the whole world in one tile
// tile_column   integer  x, counted from longitude -180 eastward
// tile_row      integer  y in TMS order: counted from the southern edge northward
// tile_data     blob     the image file (PNG, JPEG, ...)
//
// The database is opened on first use and again after a failure, so a file that appears or is
// repaired later is picked up; tiles added by another program are seen by the next read.
// Thread-safe: each reading thread borrows a connection of its own with its prepared statement
// (a few at most, kept open between reads), so reads do not wait for each other.
class MbtilesFile {
 public:
  explicit MbtilesFile(std::filesystem::path path);
  ~MbtilesFile();
  MbtilesFile(const MbtilesFile&) = delete;
  MbtilesFile& operator=(const MbtilesFile&) = delete;

  // The tile_data of (zoom, column, TMS row); nullopt when the file has no such tile, cannot be
  // read, or the tile is empty or larger than maxBytes.
  std::optional<std::vector<std::uint8_t>> readTile(int zoom, std::int64_t column,
                                                    std::int64_t tmsRow, std::size_t maxBytes);

 private:
  struct Reader;
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace tivra::platform

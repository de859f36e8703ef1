#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace tivra::test {

struct MbtilesRow {
  int zoom = 0;
  std::int64_t column = 0;
  std::int64_t tmsRow = 0;  // counted from the south, as the format stores it
  std::vector<std::uint8_t> data;
};

// Writes an MBTiles file (metadata and tiles tables, as tile tools create them) with these rows
// added to whatever tiles it holds already. Throws on failure.
void writeMbtiles(const std::filesystem::path& path, const std::vector<MbtilesRow>& rows);

}  // namespace tivra::test

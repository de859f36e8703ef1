#pragma once

// Data-share files (".tds"): the location map in its stored form (see location_map.h), for
// users who exchange the offsets they have collected.

#include <cstddef>
#include <filesystem>
#include <string>

#include "store/location_map.h"

namespace tivra::store {

class TileCache;

struct ExportResult {
  bool ok = false;
  std::filesystem::path path;  // the file written (".tds" appended when the name had none)
  std::size_t pairs = 0;       // pairs written
  std::string error;           // why it failed, for the message box
};

struct ImportResult {
  bool ok = false;
  std::filesystem::path path;
  std::size_t pairsRead = 0;  // distinct keys in the file
  std::size_t before = 0;     // pairs in the map before the merge
  std::size_t after = 0;      // pairs after the merge
  bool saved = false;         // the merged map reached the store
  std::string error;
};

// "file.tds" for "file"; a name with any extension stays as given.
std::filesystem::path dataShareFileName(std::filesystem::path chosen);

// Writes the map, holding the location-map lock while it is serialised and written.
ExportResult exportDataShare(const LocationMap& map, const std::filesystem::path& chosen);
// Reads the file whole, then under the location-map lock adds the pairs whose keys are absent
// and saves the map into the store. On any error the map is left unchanged.
ImportResult importDataShare(TileCache& cache, const std::filesystem::path& file);

// The dialog's texts ("\r\n" line ends, as the dialog shows them).
std::string dataShareFileText(const std::filesystem::path& path, std::size_t pairs);
std::string dataShareCacheText(std::size_t pairs);
std::string dataShareImportCacheText(std::size_t before, std::size_t after);

}  // namespace tivra::store

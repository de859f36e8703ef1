#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tivra::app {

// Where the settings file and the tile store live.
struct DataPlaces {
  std::filesystem::path settingsFile;    // Tivra.ini
  std::filesystem::path storeDirectory;  // the tile store's files
};

// --data-dir DIR puts both in DIR. Without it a Tivra.ini in the current directory keeps both
// there, as before the desktop's places were used; otherwise the settings go to
// $XDG_CONFIG_HOME/tivra/Tivra.ini and the store to $XDG_DATA_HOME/tivra. nullopt with the reason
// when no home directory is known.
std::optional<DataPlaces> findDataPlaces(const std::optional<std::filesystem::path>& dataDirectory,
                                         std::string& error);

// Creates the directories of places (missing ones with mode 0700); false with a message naming
// the directory that cannot be used.
bool makeDataPlaces(const DataPlaces& places, std::string& error);

}  // namespace tivra::app

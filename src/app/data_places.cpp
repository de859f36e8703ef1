#include "app/data_places.h"

#include "app/settings.h"
#include "platform/desktop_dirs.h"

namespace tivra::app {

namespace {

constexpr const char* kDesktopName = "tivra";

}  // namespace

std::optional<DataPlaces> findDataPlaces(const std::optional<std::filesystem::path>& dataDirectory,
                                         std::string& error) {
  if (dataDirectory) return DataPlaces{*dataDirectory / kSettingsFile, *dataDirectory};
  std::error_code ec;
  // Any entry under the name counts: a link or a file we cannot read is still the user's choice.
  const auto type = std::filesystem::symlink_status(kSettingsFile, ec).type();
  if (type != std::filesystem::file_type::not_found && type != std::filesystem::file_type::none) {
    return DataPlaces{std::filesystem::path(".") / kSettingsFile, "."};
  }
  const auto config = platform::userConfigHome(error);
  if (!config) return std::nullopt;
  const auto data = platform::userDataHome(error);
  if (!data) return std::nullopt;
  return DataPlaces{*config / kDesktopName / kSettingsFile, *data / kDesktopName};
}

bool makeDataPlaces(const DataPlaces& places, std::string& error) {
  std::string why;
  if (!platform::makePrivateDirectories(places.storeDirectory, why)) {
    error = "cannot use data directory " + places.storeDirectory.string() + " (" + why + ")";
    return false;
  }
  const std::filesystem::path settingsDirectory = places.settingsFile.parent_path();
  if (!platform::makePrivateDirectories(settingsDirectory, why)) {
    error = "cannot use settings directory " + settingsDirectory.string() + " (" + why + ")";
    return false;
  }
  return true;
}

}  // namespace tivra::app

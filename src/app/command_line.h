#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "gps/gps_page.h"

namespace tivra::app {

// A view centre and the camera's distance from it.
struct LookAtArg {
  double longitude = 0.0;  // degrees, -180..180
  double latitude = 0.0;   // degrees, -90..90
  double range = 0.0;      // metres, > 0
};

struct CommandLine {
  bool headless = false;
  bool useEarth = true;  // "-WW" or "/WW", in any case, turns the globe off
  bool verbose = false;
  bool help = false;
  bool version = false;
  // --data-dir DIR; without it the data places are found as findDataPlaces says.
  std::optional<std::filesystem::path> dataDirectory;
  // --snapshot FILE: draw the globe's view into FILE (PNG) and end.
  std::optional<std::filesystem::path> snapshot;
  std::optional<LookAtArg> lookAt;  // --look-at LON,LAT,RANGE
  // --gps SOURCE [--time-factor F] [--follow LIST | --no-follow]: the GPS page's Start, once.
  std::optional<gps::GpsPageSettings> gps;
  // --record FILE: every fix with a position, of any source, appended to a GPX track.
  std::optional<std::filesystem::path> record;
  // --ui-snapshot FILE: draw the main window and the globe view into FILE (PNG) and end.
  std::optional<std::filesystem::path> uiSnapshot;
  std::string page = "map";
  // --globe web|sim: the globe page in a browser, or the built-in simulated globe.
  bool webGlobe = false;  // --page: the tab shown in the UI snapshot (map, nav, search, gps)
};

// nullopt with a message in error when the arguments cannot be understood.
std::optional<CommandLine> parseCommandLine(std::span<const char* const> args, std::string& error);

// "LON,LAT,RANGE" as three decimal reals; nullopt when malformed or out of range.
std::optional<LookAtArg> parseLookAt(std::string_view text);

std::string usageText();

// "tivra " and the version, one line.
std::string versionText();

}  // namespace tivra::app

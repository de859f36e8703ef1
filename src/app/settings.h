#pragma once

#include <cstdint>
#include <string>

#include "platform/ini.h"
#include "platform/serial_port.h"
#include "tiles/map_values.h"

namespace tivra::app {

inline constexpr const char* kSettingsSection = "settings";
inline constexpr const char* kSettingsFile = "Tivra.ini";
// The window's own keys live in a section of their own, so the fourteen keys of "settings"
// keep their bytes.
inline constexpr const char* kWindowSection = "window";

// The main window's own keys.
struct MainSettings {
  std::int32_t tcpPort = 11000;
  std::int32_t xPos = 100;
  std::int32_t yPos = 100;
  double cameraLongitude = 111.2;
  double cameraLatitude = 32.6;
  double cameraRange = 4750000;
};

// Hosts and addresses the program needs but never writes back, so a fresh run still writes
// exactly the fourteen keys above.
struct HostSettings {
  std::string tileHost = "tiles.tivra.invalid";
  std::string searchHost = "search.tivra.invalid";
  std::string routeHost = "route.tivra.invalid";
  std::string detailHost = "detail.tivra.invalid";
  std::string iconHost = "http://maps.google.com";
  // Only this machine may reach the server unless the user opts in (for example 0.0.0.0).
  std::string listenAddress = "127.0.0.1";
  // `SerialPorts`: glob patterns, separated by blanks, of the serial devices to list and probe.
  std::string serialPorts{platform::kDefaultSerialPatterns};
  // Where tiles are read instead of `TileSourceBase` + query: an http(s) template with {x},
  // {y}, {z}, {s}, {q}, "file:///DIR/{z}/{x}/{y}.png" or "mbtiles:/PATH". Empty: unchanged.
  std::string tileUrl;
  std::string tileSubdomains = "abc";  // the letters {s} stands for
  std::string offsetModel = "none";    // "gcj02": the shifted frame's offset where none is stored
  // Services of today instead of the old grammars: "nominatim:BASE" or "photon:BASE" for
  // places, "osrm:BASE" for routes. Empty: `SearchHost` and `RouteHost` as before.
  std::string searchService;
  std::string routeService;
  // For tests only: a CA bundle that replaces the system's store for template downloads.
  std::string testCaFile;
};

// What the window remembers between runs: the page shown and the GPS page's choices.
struct WindowChoices {
  std::string page = "map";    // `Page`: map, nav, search or gps
  std::int32_t gpsKind = 1;    // `GpsKind`: 0 serial port, 1 demo, 2 track file
  std::string gpsFile;         // `GpsFile`: the track file
  double gpsTimeFactor = 1.0;  // `GpsTimeFactor`
};

// Each key missing from the file reads as its field's default above. Integers and reals are
// stored as decimal text (not a number reads as 0), truth values as "true"/"false" (only
// "false", in any case, reads as false).
MainSettings loadMainSettings(const platform::IniFile& ini);
bool saveMainSettings(const platform::IniFile& ini, const MainSettings& settings);
HostSettings loadHostSettings(const platform::IniFile& ini);

// Values out of range read as the defaults.
WindowChoices loadWindowChoices(const platform::IniFile& ini);
bool saveWindowChoices(const platform::IniFile& ini, const WindowChoices& choices,
                       std::string* error = nullptr);

// The map page's eight keys (the image-enhancement switch is not stored).
void loadMapValues(const platform::IniFile& ini, tiles::MapValues& values);
bool saveMapValues(const platform::IniFile& ini, const tiles::MapValues& values);

// What the program writes at its end, in one rewrite of the file: the map page's keys (when
// there is a page) and then the main window's. The file gets all of them, or stays as it was
// when it cannot be written; `error` then says why.
bool saveSettings(const platform::IniFile& ini, const tiles::MapValues* map,
                  const MainSettings& main, std::string* error = nullptr);

}  // namespace tivra::app

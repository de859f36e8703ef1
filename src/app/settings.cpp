#include "app/settings.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "platform/text.h"

namespace tivra::app {

namespace {

using platform::IniFile;

// A stored key: its name in Tivra.ini and the field it fills. The field's default is the
// key's default, and the field's type is its rule: integers and reals as decimal text (not a
// number reads as 0), truth values false only for "false" in any case, text as it stands.
template <typename Owner>
struct Key {
  const char* name;
  std::variant<std::int32_t Owner::*, double Owner::*, std::string Owner::*,
               std::atomic<std::int32_t> Owner::*, std::atomic<bool> Owner::*>
      field;
};

constexpr Key<MainSettings> kMainKeys[] = {
    {"TcpPort", &MainSettings::tcpPort},
    {"XPos", &MainSettings::xPos},
    {"YPos", &MainSettings::yPos},
    {"CameraLongitude", &MainSettings::cameraLongitude},
    {"CameraLatitude", &MainSettings::cameraLatitude},
    {"CameraRange", &MainSettings::cameraRange},
};

constexpr Key<WindowChoices> kWindowKeys[] = {
    {"Page", &WindowChoices::page},
    {"GpsKind", &WindowChoices::gpsKind},
    {"GpsFile", &WindowChoices::gpsFile},
    {"GpsTimeFactor", &WindowChoices::gpsTimeFactor},
};

constexpr Key<HostSettings> kHostKeys[] = {
    {"TileHost", &HostSettings::tileHost},
    {"SearchHost", &HostSettings::searchHost},
    {"RouteHost", &HostSettings::routeHost},
    {"DetailHost", &HostSettings::detailHost},
    {"IconHost", &HostSettings::iconHost},
    {"ListenAddress", &HostSettings::listenAddress},
    {"SerialPorts", &HostSettings::serialPorts},
    {"TileUrl", &HostSettings::tileUrl},
    {"TileSubdomains", &HostSettings::tileSubdomains},
    {"OffsetModel", &HostSettings::offsetModel},
    {"SearchService", &HostSettings::searchService},
    {"RouteService", &HostSettings::routeService},
    {"TestCaFile", &HostSettings::testCaFile},
};

constexpr Key<tiles::MapValues> kMapKeys[] = {
    {"Xoff", &tiles::MapValues::xoff},
    {"Yoff", &tiles::MapValues::yoff},
    {"AutoOffset", &tiles::MapValues::autoOffset},
    {"ZoomLevel", &tiles::MapValues::zoomLevel},
    {"TransParency", &tiles::MapValues::transParency},
    {"TransparentMode", &tiles::MapValues::transparentMode},
    {"BKRange", &tiles::MapValues::bkRange},
    {"ColorNo", &tiles::MapValues::colorNo},
};

std::string toText(std::int32_t value) {
  return platform::format("%d", value);
}
std::string toText(double value) {
  return platform::format("%f", value);
}
std::string toText(bool value) {
  return value ? "true" : "false";
}
std::string toText(const std::string& value) {
  return value;
}
template <typename T>
std::string toText(const std::atomic<T>& value) {
  return toText(value.load());
}

void fromText(std::string_view text, std::int32_t& out) {
  out = platform::parseInt(text);
}
void fromText(std::string_view text, double& out) {
  out = platform::parseReal(text);
}
void fromText(std::string_view text, bool& out) {
  out = !platform::equalsIgnoreCase(text, "false");
}
void fromText(std::string_view text, std::string& out) {
  out = text;
}
template <typename T>
void fromText(std::string_view text, std::atomic<T>& out) {
  T value{};
  fromText(text, value);
  out = value;
}

template <typename Owner>
void load(const IniFile& ini, std::span<const Key<Owner>> keys, Owner& owner,
          std::string_view section = kSettingsSection) {
  const Owner defaults{};
  for (const Key<Owner>& key : keys) {
    std::visit(
        [&](auto member) {
          fromText(ini.readString(section, key.name, toText(defaults.*member)), owner.*member);
        },
        key.field);
  }
}

using Entries = std::vector<std::pair<std::string, std::string>>;

template <typename Owner>
void append(std::span<const Key<Owner>> keys, const Owner& owner, Entries& entries) {
  for (const Key<Owner>& key : keys) {
    std::visit([&](auto member) { entries.emplace_back(key.name, toText(owner.*member)); },
               key.field);
  }
}

}  // namespace

MainSettings loadMainSettings(const IniFile& ini) {
  MainSettings s;
  load<MainSettings>(ini, kMainKeys, s);
  return s;
}

bool saveMainSettings(const IniFile& ini, const MainSettings& s) {
  Entries entries;
  append<MainSettings>(kMainKeys, s, entries);
  return ini.write(kSettingsSection, entries);
}

HostSettings loadHostSettings(const IniFile& ini) {
  HostSettings h;
  load<HostSettings>(ini, kHostKeys, h);
  return h;
}

WindowChoices loadWindowChoices(const IniFile& ini) {
  WindowChoices c;
  load<WindowChoices>(ini, kWindowKeys, c, kWindowSection);
  const WindowChoices defaults;
  constexpr std::string_view kPages[] = {"map", "nav", "search", "gps"};
  if (std::find(std::begin(kPages), std::end(kPages), c.page) == std::end(kPages))
    c.page = defaults.page;
  if (c.gpsKind < 0 || c.gpsKind > 2) c.gpsKind = defaults.gpsKind;
  if (!std::isfinite(c.gpsTimeFactor) || c.gpsTimeFactor <= 0)
    c.gpsTimeFactor = defaults.gpsTimeFactor;
  return c;
}

bool saveWindowChoices(const IniFile& ini, const WindowChoices& c, std::string* error) {
  WindowChoices stored = c;
  // A value is read back cut to 127 bytes: a longer file name would come back as another file.
  if (stored.gpsFile.size() > 127) stored.gpsFile.clear();
  Entries entries;
  append<WindowChoices>(kWindowKeys, stored, entries);
  return ini.write(kWindowSection, entries, error);
}

void loadMapValues(const IniFile& ini, tiles::MapValues& v) {
  load<tiles::MapValues>(ini, kMapKeys, v);
}

bool saveMapValues(const IniFile& ini, const tiles::MapValues& v) {
  Entries entries;
  append<tiles::MapValues>(kMapKeys, v, entries);
  return ini.write(kSettingsSection, entries);
}

bool saveSettings(const IniFile& ini, const tiles::MapValues* map, const MainSettings& main,
                  std::string* error) {
  Entries entries;
  if (map != nullptr) append<tiles::MapValues>(kMapKeys, *map, entries);
  append<MainSettings>(kMainKeys, main, entries);
  return ini.write(kSettingsSection, entries, error);
}

}  // namespace tivra::app

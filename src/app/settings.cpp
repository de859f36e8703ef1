#include "app/settings.h"

#include <utility>
#include <vector>

#include "platform/text.h"

namespace tivra::app {

using platform::format;
using platform::IniFile;

std::int32_t readInt(const IniFile& ini, const char* key, const char* fallback) {
  return platform::parseInt(ini.readString(kSettingsSection, key, fallback));
}

double readReal(const IniFile& ini, const char* key, const char* fallback) {
  return platform::parseReal(ini.readString(kSettingsSection, key, fallback));
}

bool readBool(const IniFile& ini, const char* key, const char* fallback) {
  return !platform::equalsIgnoreCase(ini.readString(kSettingsSection, key, fallback), "false");
}

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

std::string text(std::int32_t value) {
  return format("%d", value);
}
std::string text(double value) {
  return format("%f", value);
}
std::string text(bool value) {
  return value ? "true" : "false";
}

}  // namespace

MainSettings loadMainSettings(const IniFile& ini) {
  MainSettings s;
  s.tcpPort = readInt(ini, "TcpPort", "11000");
  s.xPos = readInt(ini, "XPos", "100");
  s.yPos = readInt(ini, "YPos", "100");
  s.cameraLongitude = readReal(ini, "CameraLongitude", "111.2");
  s.cameraLatitude = readReal(ini, "CameraLatitude", "32.6");
  s.cameraRange = readReal(ini, "CameraRange", "4750000");
  return s;
}

bool saveMainSettings(const IniFile& ini, const MainSettings& s) {
  const Entries entries = {
      {"TcpPort", text(s.tcpPort)},
      {"XPos", text(s.xPos)},
      {"YPos", text(s.yPos)},
      {"CameraLongitude", text(s.cameraLongitude)},
      {"CameraLatitude", text(s.cameraLatitude)},
      {"CameraRange", text(s.cameraRange)},
  };
  return ini.write(kSettingsSection, entries);
}

HostSettings loadHostSettings(const IniFile& ini) {
  HostSettings h;
  h.tileHost = ini.readString(kSettingsSection, "TileHost", h.tileHost);
  h.searchHost = ini.readString(kSettingsSection, "SearchHost", h.searchHost);
  h.routeHost = ini.readString(kSettingsSection, "RouteHost", h.routeHost);
  h.detailHost = ini.readString(kSettingsSection, "DetailHost", h.detailHost);
  h.iconHost = ini.readString(kSettingsSection, "IconHost", h.iconHost);
  h.listenAddress = ini.readString(kSettingsSection, "ListenAddress", h.listenAddress);
  h.tileUrl = ini.readString(kSettingsSection, "TileUrl", h.tileUrl);
  h.tileSubdomains = ini.readString(kSettingsSection, "TileSubdomains", h.tileSubdomains);
  h.offsetModel = ini.readString(kSettingsSection, "OffsetModel", h.offsetModel);
  h.testCaFile = ini.readString(kSettingsSection, "TestCaFile", h.testCaFile);
  return h;
}

void loadMapValues(const IniFile& ini, tiles::MapValues& v) {
  v.xoff = readInt(ini, "Xoff", "0");
  v.yoff = readInt(ini, "Yoff", "0");
  v.autoOffset = readBool(ini, "AutoOffset", "true");
  v.zoomLevel = readInt(ini, "ZoomLevel", "1");
  v.transParency = readInt(ini, "TransParency", "50");
  v.transparentMode = readBool(ini, "TransparentMode", "true");
  v.bkRange = readInt(ini, "BKRange", "0");
  v.colorNo = readInt(ini, "ColorNo", "0");
}

bool saveMapValues(const IniFile& ini, const tiles::MapValues& v) {
  const Entries entries = {
      {"Xoff", text(v.xoff.load())},
      {"Yoff", text(v.yoff.load())},
      {"AutoOffset", text(v.autoOffset.load())},
      {"ZoomLevel", text(v.zoomLevel.load())},
      {"TransParency", text(v.transParency.load())},
      {"TransparentMode", text(v.transparentMode.load())},
      {"BKRange", text(v.bkRange.load())},
      {"ColorNo", text(v.colorNo.load())},
  };
  return ini.write(kSettingsSection, entries);
}

}  // namespace tivra::app

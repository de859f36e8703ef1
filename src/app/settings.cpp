#include "app/settings.h"

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

bool writeInt(const IniFile& ini, const char* key, std::int32_t value) {
  return ini.write(kSettingsSection, key, format("%d", value));
}

bool writeReal(const IniFile& ini, const char* key, double value) {
  return ini.write(kSettingsSection, key, format("%f", value));
}

bool writeBool(const IniFile& ini, const char* key, bool value) {
  return ini.write(kSettingsSection, key, value ? "true" : "false");
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
  bool ok = writeInt(ini, "TcpPort", s.tcpPort);
  ok = writeInt(ini, "XPos", s.xPos) && ok;
  ok = writeInt(ini, "YPos", s.yPos) && ok;
  ok = writeReal(ini, "CameraLongitude", s.cameraLongitude) && ok;
  ok = writeReal(ini, "CameraLatitude", s.cameraLatitude) && ok;
  ok = writeReal(ini, "CameraRange", s.cameraRange) && ok;
  return ok;
}

HostSettings loadHostSettings(const IniFile& ini) {
  HostSettings h;
  h.tileHost = ini.readString(kSettingsSection, "TileHost", h.tileHost);
  h.searchHost = ini.readString(kSettingsSection, "SearchHost", h.searchHost);
  h.routeHost = ini.readString(kSettingsSection, "RouteHost", h.routeHost);
  h.detailHost = ini.readString(kSettingsSection, "DetailHost", h.detailHost);
  h.iconHost = ini.readString(kSettingsSection, "IconHost", h.iconHost);
  h.listenAddress = ini.readString(kSettingsSection, "ListenAddress", h.listenAddress);
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
  bool ok = writeInt(ini, "Xoff", v.xoff);
  ok = writeInt(ini, "Yoff", v.yoff) && ok;
  ok = writeBool(ini, "AutoOffset", v.autoOffset) && ok;
  ok = writeInt(ini, "ZoomLevel", v.zoomLevel) && ok;
  ok = writeInt(ini, "TransParency", v.transParency) && ok;
  ok = writeBool(ini, "TransparentMode", v.transparentMode) && ok;
  ok = writeInt(ini, "BKRange", v.bkRange) && ok;
  ok = writeInt(ini, "ColorNo", v.colorNo) && ok;
  return ok;
}

}  // namespace tivra::app

#include "app/command_line.h"

#include <charconv>
#include <cmath>
#include <string_view>

#include "platform/text.h"

namespace tivra::app {

namespace detail {

std::optional<double> parseReal(std::string_view text) {
  double value = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size() ||
      !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

}  // namespace detail

std::optional<LookAtArg> parseLookAt(std::string_view text) {
  double values[3] = {};
  for (int i = 0; i < 3; ++i) {
    const auto comma = text.find(',');
    if ((i < 2) == (comma == std::string_view::npos)) return std::nullopt;
    const auto value = detail::parseReal(text.substr(0, comma));
    if (!value) return std::nullopt;
    values[i] = *value;
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
  }
  const LookAtArg at{values[0], values[1], values[2]};
  if (std::fabs(at.longitude) > 180.0 || std::fabs(at.latitude) > 90.0 || !(at.range > 0.0)) {
    return std::nullopt;
  }
  return at;
}

std::optional<CommandLine> parseCommandLine(std::span<const char* const> args, std::string& error) {
  CommandLine cl;
  gps::GpsPageSettings gpsSettings;
  bool gpsOptions = false;
  bool pageGiven = false;
  const auto value = [&](std::size_t& i, const char* what) -> const char* {
    if (i + 1 >= args.size()) {
      error = what;
      return nullptr;
    }
    return args[++i];
  };
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--headless") {
      cl.headless = true;
    } else if (arg == "--verbose") {
      cl.verbose = true;
    } else if (arg == "--help" || arg == "-h") {
      cl.help = true;
    } else if (arg == "--version") {
      cl.version = true;
    } else if (arg == "--data-dir") {
      const char* dir = value(i, "--data-dir needs a directory");
      if (dir == nullptr) return std::nullopt;
      cl.dataDirectory = dir;
    } else if (arg == "--snapshot") {
      const char* file = value(i, "--snapshot needs a file name");
      if (file == nullptr) return std::nullopt;
      if (*file == '\0') {
        error = "--snapshot needs a file name";
        return std::nullopt;
      }
      cl.snapshot = file;
    } else if (arg == "--ui-snapshot") {
      const char* file = value(i, "--ui-snapshot needs a file name");
      if (file == nullptr) return std::nullopt;
      if (*file == '\0') {
        error = "--ui-snapshot needs a file name";
        return std::nullopt;
      }
      cl.uiSnapshot = file;
    } else if (arg == "--page") {
      const char* page = value(i, "--page needs map, nav, search or gps");
      if (page == nullptr) return std::nullopt;
      cl.page = page;
      if (cl.page != "map" && cl.page != "nav" && cl.page != "search" && cl.page != "gps") {
        error = "--page needs map, nav, search or gps: " + cl.page;
        return std::nullopt;
      }
      pageGiven = true;
    } else if (arg == "--globe") {
      const char* kind = value(i, "--globe needs web or sim");
      if (kind == nullptr) return std::nullopt;
      const std::string_view k = kind;
      if (k != "web" && k != "sim") {
        error = "--globe needs web or sim: " + std::string(k);
        return std::nullopt;
      }
      cl.webGlobe = k == "web";
    } else if (arg == "--look-at") {
      const char* text = value(i, "--look-at needs LON,LAT,RANGE");
      if (text == nullptr) return std::nullopt;
      cl.lookAt = parseLookAt(text);
      if (!cl.lookAt) {
        error =
            "--look-at needs LON,LAT,RANGE (degrees, degrees, metres > 0): " + std::string(text);
        return std::nullopt;
      }
    } else if (arg == "--gps") {
      const char* text = value(i, "--gps needs a source");
      if (text == nullptr || !gps::parseGpsSource(text, gpsSettings, error)) return std::nullopt;
      cl.gps = gpsSettings;
    } else if (arg == "--record") {
      const char* text = value(i, "--record needs a file");
      if (text == nullptr) return std::nullopt;
      if (*text == '\0') {
        error = "--record needs a file";
        return std::nullopt;
      }
      cl.record = text;
    } else if (arg == "--time-factor") {
      const char* text = value(i, "--time-factor needs a number");
      if (text == nullptr) return std::nullopt;
      const std::string_view factor = text;
      const auto [end, ec] =
          std::from_chars(factor.data(), factor.data() + factor.size(), gpsSettings.timeFactor);
      if (ec != std::errc() || end != factor.data() + factor.size() ||
          !std::isfinite(gpsSettings.timeFactor)) {
        error = "--time-factor needs a number: " + std::string(factor);
        return std::nullopt;
      }
      gpsOptions = true;
    } else if (arg == "--follow") {
      const char* text = value(i, "--follow needs a list");
      if (text == nullptr || !gps::parseFollowList(text, gpsSettings, error)) return std::nullopt;
      gpsOptions = true;
    } else if (arg == "--no-follow") {
      gpsSettings.autoTrack = false;
      gpsOptions = true;
    } else if (arg.size() == 3 && (arg[0] == '-' || arg[0] == '/') &&
               platform::equalsIgnoreCase(arg.substr(1), "WW")) {
      cl.useEarth = false;
    } else {
      error = "unknown option: " + std::string(arg);
      return std::nullopt;
    }
  }
  if (gpsOptions && !cl.gps) {
    error = "--time-factor, --follow and --no-follow are only used with --gps";
    return std::nullopt;
  }
  // The options may come before or after --gps.
  if (cl.gps) cl.gps = gpsSettings;
  if (cl.snapshot && !cl.useEarth) {
    error = "--snapshot draws the globe's view: it cannot be used with -WW";
    return std::nullopt;
  }
  if (cl.uiSnapshot && (cl.headless || !cl.useEarth)) {
    error = "--ui-snapshot draws the window beside the globe's view: not with --headless or -WW";
    return std::nullopt;
  }
  if (pageGiven && !cl.uiSnapshot) {
    error = "--page is only used with --ui-snapshot";
    return std::nullopt;
  }
  if (cl.webGlobe && (cl.snapshot || cl.uiSnapshot)) {
    error = "--snapshot and --ui-snapshot draw the built-in globe: not with --globe web";
    return std::nullopt;
  }
  if (cl.lookAt && !cl.snapshot) {
    error = "--look-at is only used with --snapshot";
    return std::nullopt;
  }
  return cl;
}

std::string versionText() {
  return "tivra " TIVRA_VERSION "\n";
}

std::string usageText() {
  return "usage: tivra [-WW] [--globe web|sim] [--data-dir DIR] [--verbose]\n"
         "       tivra --ui-snapshot FILE [--page map|nav|search|gps] [--data-dir DIR]\n"
         "       tivra --headless [-WW] [--globe web|sim] [--data-dir DIR] [--verbose]\n"
         "             [--gps SOURCE ...] [--record FILE.gpx]\n"
         "       tivra --headless --snapshot FILE [--look-at LON,LAT,RANGE] [--data-dir DIR]\n"
         "       tivra search CITY KEYWORD [--within-view] [--data-dir DIR] [--format kml|gpx]\n"
         "             [-o FILE]\n"
         "       tivra route START END [--via LON,LAT;LON,LAT...] [--data-dir DIR]\n"
         "             [--format kml|gpx] [-o FILE]\n"
         "       tivra --version\n"
         "  --headless        run the map server without any window\n"
         "  --ui-snapshot F   start the window, wait for the globe's first full view, write the\n"
         "                    window and the view side by side to F as PNG, end\n"
         "  --page NAME       the tab the UI snapshot shows (default: map)\n"
         "  -WW, /WW          run without the globe (tiles are always downloaded)\n"
         "  --globe web|sim   the globe: a page in a browser, or the built-in one (default: sim)\n"
         "  --data-dir DIR    directory of Tivra.ini and the tile store (default: the current\n"
         "                    directory when it holds Tivra.ini, else ~/.config/tivra for\n"
         "                    Tivra.ini and ~/.local/share/tivra for the store)\n"
         "  --version         print the version and end\n"
         "  --snapshot FILE   start, wait until the view is drawn, write it to FILE as PNG, end\n"
         "  --look-at L,B,R   the snapshot's view: longitude, latitude (degrees), range (metres);\n"
         "                    default: the camera stored in Tivra.ini\n"
         "  --verbose         debug traces on standard error\n"
         "  --gps SOURCE      follow a GPS source: demo, file:PATH (.nmea, .plt or .gpx), serial\n"
         "                    (auto-detect), serial:DEVICE (probe at 4800), serial:DEVICE:BAUD,\n"
         "                    gpsd[:HOST[:PORT]] (default 127.0.0.1:2947)\n"
         "  --time-factor F   playback speed of files and the demo (default 1.0; 0: no pauses)\n"
         "  --follow LIST     camera follow: heading,height,angle (default: all three)\n"
         "  --no-follow       the camera does not follow the car\n"
         "  --record FILE     append every GPS fix to FILE as a GPX track (a new segment\n"
         "                    when FILE is a track Tivra recorded; any other file is refused)\n";
}

}  // namespace tivra::app

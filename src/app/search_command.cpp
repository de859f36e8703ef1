#include "app/search_command.h"

#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/data_places.h"
#include "app/settings.h"
#include "platform/gbk.h"
#include "platform/ini.h"
#include "platform/text.h"
#include "search/gpx_export.h"
#include "search/kml_loader.h"
#include "search/local_search.h"
#include "search/route_kml.h"
#include "search/search_page.h"
#include "store/store.h"
#include "store/tile_cache.h"
#include "tiles/gcj02.h"

namespace tivra::app {

namespace {

constexpr const char* kSearchUsage =
    "usage: tivra search CITY KEYWORD [--within-view] [--data-dir DIR] [--format kml|gpx] [-o "
    "FILE]\n"
    "       tivra route START END [--via LON,LAT;LON,LAT...] [--data-dir DIR] [--format kml|gpx] "
    "[-o FILE]\n";

struct Arguments {
  std::string command;
  std::vector<std::string> positional;
  bool withinView = false;
  std::optional<std::string> via;
  std::optional<std::filesystem::path> dataDirectory;
  std::filesystem::path storeDirectory;  // as the program finds it: see findDataPlaces
  std::optional<std::filesystem::path> output;
  bool gpx = false;  // --format gpx; kml otherwise
};

std::optional<Arguments> parseArguments(std::span<const char* const> args, std::string& error) {
  Arguments a;
  a.command = args[1];
  for (std::size_t i = 2; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) {
        error = std::string(arg) + " needs a value";
        return std::nullopt;
      }
      return std::string(args[++i]);
    };
    if (arg == "--within-view" && a.command == "search") {
      a.withinView = true;
    } else if (arg == "--via" && a.command == "route") {
      if (!(a.via = value())) return std::nullopt;
    } else if (arg == "--data-dir") {
      const auto dir = value();
      if (!dir) return std::nullopt;
      a.dataDirectory = *dir;
    } else if (arg == "--format") {
      const auto name = value();
      if (!name) return std::nullopt;
      if (*name != "kml" && *name != "gpx") {
        error = "unknown format \"" + *name + "\": it must be kml or gpx";
        return std::nullopt;
      }
      a.gpx = *name == "gpx";
    } else if (arg == "-o") {
      const auto file = value();
      if (!file || file->empty()) {
        error = "-o needs a file name";
        return std::nullopt;
      }
      a.output = *file;
    } else if (arg.starts_with("--") || (arg.starts_with("-") && arg.size() > 1 &&
                                         !(arg[1] >= '0' && arg[1] <= '9') && arg[1] != '.')) {
      error = "unknown option: " + std::string(arg);
      return std::nullopt;
    } else {
      a.positional.emplace_back(arg);
    }
  }
  if (a.positional.size() != 2) {
    error = a.command == "search" ? "search needs CITY and KEYWORD" : "route needs START and END";
    return std::nullopt;
  }
  return a;
}

// Decimal degrees as the route reads them: a sign, digits and one point, nothing else; no
// exponent, hex or blank, whose reading could differ from this check's.
bool decimalDegrees(std::string_view s, double limit) {
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) s.remove_prefix(1);
  if (s.empty() || s.size() > 32) return false;
  std::size_t digits = 0, points = 0;
  for (const char c : s) {
    if (c >= '0' && c <= '9') {
      ++digits;
    } else if (c == '.') {
      ++points;
    } else {
      return false;
    }
  }
  return digits > 0 && points <= 1 && std::fabs(platform::parseReal(s)) <= limit;
}

// "lon,lat" in decimal degrees on the globe.
bool validPoint(std::string_view text) {
  const auto comma = text.find(',');
  if (comma == std::string_view::npos || text.find(',', comma + 1) != std::string_view::npos)
    return false;
  return decimalDegrees(text.substr(0, comma), 180.0) &&
         decimalDegrees(text.substr(comma + 1), 90.0);
}

bool validPointList(std::string_view text) {
  if (text.empty()) return false;
  std::size_t start = 0;
  while (true) {
    const auto semicolon = text.find(';', start);
    if (!validPoint(text.substr(start, semicolon - start))) return false;
    if (semicolon == std::string_view::npos) return true;
    start = semicolon + 1;
  }
}

// The offsets stored in the directory's store, opened read-only for a moment. An empty map
// when there is no store at all; nullopt when a store exists but cannot be read (locked by a
// writer, damaged), since guessing zero offsets there would place every result wrongly.
std::unique_ptr<store::LocationMap> readOffsets(const std::filesystem::path& dir,
                                                std::string& error) {
  const std::filesystem::path base = dir / store::kStoreBaseName;
  std::error_code ec;
  const bool present = std::filesystem::exists(base.string() + ".idx", ec) ||
                       std::filesystem::exists(base.string() + ".dat", ec);
  auto map = std::make_unique<store::LocationMap>();
  if (!present) return map;
  store::StorePtr s = store::store_open(base, store::kModeRead);
  if (!s) {
    error = "cannot open the tile store in " + dir.string() +
            " read-only (held by a running Tivra, or damaged); its offsets are needed";
    return nullptr;
  }
  const auto entry = store::readLocationEntry(s.get());
  store::store_close(std::move(s));
  if (entry && !entry->empty() && !map->parse(*entry)) {
    error = "the offsets stored in " + dir.string() + " cannot be read";
    return nullptr;
  }
  return map;
}

int fail(std::FILE* err, int code, const std::string& message) {
  std::fprintf(err, "tivra: %s\n", message.c_str());
  if (code == 2) std::fputs(kSearchUsage, err);
  return code;
}

int writeDocument(const std::string& document, const Arguments& a, std::FILE* out, std::FILE* err) {
  if (a.output) {
    std::string error;
    if (!search::writeWholeFile(*a.output, document, error))
      return fail(err, 1, "cannot write " + a.output->string() + ": " + error);
    return 0;
  }
  if (std::fwrite(document.data(), 1, document.size(), out) != document.size() ||
      std::fflush(out) != 0)
    return fail(err, 1, "cannot write the document to standard output");
  return 0;
}

int runSearch(const Arguments& a, const platform::IniFile& ini, std::FILE* out, std::FILE* err) {
  const std::string& city = a.positional[0];
  const std::string& keyword = a.positional[1];
  if (!search::isSearchCity(city))
    return fail(err, 2, "unknown city \"" + city + "\": it must be one of the 69 search cities");
  const auto keywordBytes = platform::utf8ToGbk(keyword);
  if (!keywordBytes) return fail(err, 2, "the keyword cannot be written in code page 936");
  if (keywordBytes->size() > search::kKeywordLimit)
    return fail(err, 2, "the keyword is longer than 128 bytes in code page 936");

  const HostSettings hosts = loadHostSettings(ini);
  const search::ServiceSetting service = search::parseServiceSetting(hosts.searchService);
  const bool legacy = service.api == search::ServiceApi::Legacy;
  // A service of today answers in the globe's frame: the stored offsets are not needed.
  std::string error;
  const auto offsets =
      legacy ? readOffsets(a.storeDirectory, error) : std::make_unique<store::LocationMap>();
  if (!offsets) return fail(err, 1, error);
  const std::string where = legacy ? hosts.searchHost : service.base;
  search::SearchQuery query{city, keyword, std::nullopt};
  if (a.withinView) {
    const MainSettings main = loadMainSettings(ini);
    query.view = search::SearchView{main.cameraLongitude, main.cameraLatitude, main.cameraRange};
  }
  const search::SearchServices services{
      legacy ? search::serviceBase(hosts.searchHost) : service.base,
      {search::serviceBase(hosts.iconHost), search::serviceBase(hosts.detailHost)},
      {offsets.get(), tiles::parseOffsetModel(hosts.offsetModel)},
      service.api,
      std::make_shared<search::RequestPacer>()};
  const auto outcome = search::runSearch(query, services);
  if (!outcome) return fail(err, 2, "the query cannot be written in code page 936");
  if (!outcome->document) {
    return fail(err, 1,
                "the search service at " + where + ": " + outcome->failure.value_or("no answer"));
  }
  if (outcome->notes.cut) {
    std::fprintf(err,
                 "tivra: the answer holds more than %zu hits; only the first %zu are written\n",
                 search::kMaxRecords, search::kMaxRecords);
  }
  if (outcome->notes.refused > 0) {
    std::fprintf(err, "tivra: %zu hits with a position off the globe are left out\n",
                 outcome->notes.refused);
  }
  return writeDocument(a.gpx ? search::resultGpx(outcome->records) : *outcome->document, a, out,
                       err);
}

int runRoute(const Arguments& a, const platform::IniFile& ini, std::FILE* out, std::FILE* err) {
  const std::string& start = a.positional[0];
  const std::string& end = a.positional[1];
  const std::string via = a.via.value_or("");
  if (!validPoint(start)) return fail(err, 2, "START must be LON,LAT in degrees: " + start);
  if (!validPoint(end)) return fail(err, 2, "END must be LON,LAT in degrees: " + end);
  if (a.via && !validPointList(via))
    return fail(err, 2, "--via must be LON,LAT;LON,LAT... in degrees: " + via);

  const HostSettings hosts = loadHostSettings(ini);
  const search::ServiceSetting service = search::parseServiceSetting(hosts.routeService);
  const bool legacy = service.api == search::ServiceApi::Legacy;
  std::string error;
  const auto offsets =
      legacy ? readOffsets(a.storeDirectory, error) : std::make_unique<store::LocationMap>();
  if (!offsets) return fail(err, 1, error);
  const std::string where = legacy ? hosts.routeHost : service.base;
  search::Route route(start, via, end, search::serviceBase(hosts.iconHost));
  const std::string document =
      search::WriteRouteKml(route, {legacy ? search::serviceBase(hosts.routeHost) : service.base,
                                    {offsets.get(), tiles::parseOffsetModel(hosts.offsetModel)},
                                    service.api,
                                    std::make_shared<search::RequestPacer>()});
  // Refused as a whole: no document at all.
  if (route.failure) return fail(err, 1, "the route service at " + where + ": " + *route.failure);
  // The legs' ends as given: start, the via points, end.
  std::vector<std::string> ends{start};
  for (std::size_t from = 0; !via.empty();) {
    const auto semicolon = via.find(';', from);
    ends.push_back(via.substr(from, semicolon - from));
    if (semicolon == std::string::npos) break;
    from = semicolon + 1;
  }
  ends.push_back(end);
  const std::size_t legCount = ends.size() - 1;
  bool failed = false;
  for (const search::LegProblem& p : route.problems) {
    const std::string leg = "leg " + std::to_string(p.leg + 1) + " of " + std::to_string(legCount) +
                            " (" + ends.at(p.leg) + " to " + ends.at(p.leg + 1) + ")";
    if (!p.failure.empty()) {
      failed = true;
      std::fprintf(err, "tivra: the route service at %s: %s failed: %s\n", where.c_str(),
                   leg.c_str(), p.failure.c_str());
      continue;
    }
    if (p.stepsCut) {
      std::fprintf(err, "tivra: %s has more than %zu steps; only the first %zu are written\n",
                   leg.c_str(), search::kMaxRouteSteps, search::kMaxRouteSteps);
    }
    if (p.refusedPoints > 0) {
      std::fprintf(err, "tivra: %s: %zu points off the globe are left out\n", leg.c_str(),
                   p.refusedPoints);
    }
  }
  // The document of the legs that came, as the navigation page loads it; the failure still
  // shows in the status.
  const int written = writeDocument(a.gpx ? search::routeGpx(route) : document, a, out, err);
  return written != 0 ? written : (failed ? 1 : 0);
}

}  // namespace

bool isSearchCommand(std::span<const char* const> args) {
  if (args.size() < 2) return false;
  const std::string_view command = args[1];
  return command == "search" || command == "route";
}

int runSearchCommand(std::span<const char* const> args, std::FILE* out, std::FILE* err) {
  std::string error;
  auto a = parseArguments(args, error);
  if (!a) return fail(err, 2, error);
  std::error_code ec;
  if (a->dataDirectory && !std::filesystem::is_directory(*a->dataDirectory, ec))
    return fail(err, 2, "no such data directory: " + a->dataDirectory->string());
  // The window's places, read only: nothing is created for a query.
  const auto places = findDataPlaces(a->dataDirectory, error);
  if (!places) return fail(err, 2, error);
  a->storeDirectory = places->storeDirectory;
  const platform::IniFile ini(places->settingsFile);
  return a->command == "search" ? runSearch(*a, ini, out, err) : runRoute(*a, ini, out, err);
}

}  // namespace tivra::app

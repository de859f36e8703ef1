#include "store/data_share.h"

#include <algorithm>
#include <vector>

#include "platform/read_file.h"
#include "store/tile_cache.h"

namespace tivra::store {
namespace {

// A shared file is read whole; a real one holds a few megabytes at most.
constexpr std::size_t kMaxShareFile = std::size_t{64} << 20;

// "%ld,%ld" as the program writes it: two decimal longs, each with an optional minus sign.
bool isNumberPair(std::string_view text) {
  const auto number = [](std::string_view t) {
    if (!t.empty() && t.front() == '-') t.remove_prefix(1);
    if (t.empty() || t.size() > 18) return false;
    return std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  const auto comma = text.find(',');
  return comma != std::string_view::npos && number(text.substr(0, comma)) &&
         number(text.substr(comma + 1));
}

}  // namespace

std::filesystem::path dataShareFileName(std::filesystem::path chosen) {
  if (!chosen.has_extension()) chosen += ".tds";
  return chosen;
}

ExportResult exportDataShare(const LocationMap& map, const std::filesystem::path& chosen) {
  ExportResult result;
  result.path = dataShareFileName(chosen);
  auto guard = map.lock();
  const std::vector<std::uint8_t> bytes = map.serialize();
  result.pairs = map.size();
  if (!platform::writeRegularFile(result.path, bytes, result.error)) {
    result.error = "cannot write " + result.path.string() + ": " + result.error;
    return result;
  }
  result.ok = true;
  return result;
}

ImportResult importDataShare(TileCache& cache, const std::filesystem::path& file) {
  ImportResult result;
  result.path = file;
  std::string why;
  const auto bytes = platform::readRegularFile(file, kMaxShareFile, &why);
  if (!bytes) {
    result.error = "cannot read " + file.string() + ": " + why;
    return result;
  }
  LocationMap incoming;
  if (!incoming.parse(*bytes)) {
    result.error = file.string() + " is truncated or not a Tivra data-share file";
    return result;
  }
  for (const auto& [key, value] : incoming.pairs()) {
    if (!isNumberPair(key) || !isNumberPair(value)) {
      result.error = file.string() +
                     " holds a pair that is not \"x,y\" numbers: " + key.substr(0, 40) + " = " +
                     value.substr(0, 40);
      return result;
    }
  }
  result.pairsRead = incoming.size();
  LocationMap& map = cache.locationMap();
  auto guard = map.lock();
  result.before = map.size();
  map.merge(incoming.pairs());
  result.after = map.size();
  result.saved = cache.SaveLocationMap() == 1;
  result.ok = true;
  return result;
}

std::string dataShareFileText(const std::filesystem::path& path, std::size_t pairs) {
  return "文件名:" + path.string() + "\r\n信息数:" + std::to_string(pairs) + "\r\n";
}

std::string dataShareCacheText(std::size_t pairs) {
  return "文件名:Cache\r\n信息数:" + std::to_string(pairs) + "\r\n";
}

std::string dataShareImportCacheText(std::size_t before, std::size_t after) {
  return "文件名:Cache\r\n原始信息数:" + std::to_string(before) +
         "\r\n导入后总信息数:" + std::to_string(after) + "\r\n";
}

}  // namespace tivra::store

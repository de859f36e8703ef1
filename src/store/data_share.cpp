#include "store/data_share.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "store/tile_cache.h"

namespace tivra::store {

std::filesystem::path dataShareFileName(std::filesystem::path chosen) {
  if (!chosen.has_extension()) chosen += ".tds";
  return chosen;
}

ExportResult exportDataShare(const LocationMap& map, const std::filesystem::path& chosen) {
  ExportResult result;
  result.path = dataShareFileName(chosen);
  std::ofstream out(result.path, std::ios::binary | std::ios::trunc);
  if (!out) {
    result.error = "cannot create " + result.path.string() + ": " + std::strerror(errno);
    return result;
  }
  auto guard = map.lock();
  const std::vector<std::uint8_t> bytes = map.serialize();
  result.pairs = map.size();
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    result.error = "cannot write " + result.path.string();
    return result;
  }
  result.ok = true;
  return result;
}

ImportResult importDataShare(TileCache& cache, const std::filesystem::path& file) {
  ImportResult result;
  result.path = file;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    result.error = "cannot open " + file.string() + ": " + std::strerror(errno);
    return result;
  }
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
  if (in.bad()) {
    result.error = "cannot read " + file.string();
    return result;
  }
  LocationMap incoming;
  if (!incoming.parse(bytes)) {
    result.error = file.string() + " is truncated or not a Tivra data-share file";
    return result;
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

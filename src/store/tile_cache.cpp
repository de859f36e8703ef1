#include "store/tile_cache.h"

#include <algorithm>

#include "store/lock_file.h"

namespace tivra::store {

std::optional<std::vector<std::uint8_t>> readLocationEntry(Store* s) {
  if (entry_exists(s, kLocationEntry) != 1) return std::nullopt;
  const int h = entry_open(s, kLocationEntry, kOpenReadOnly);
  if (h < 0) return std::nullopt;
  std::vector<std::uint8_t> stored;
  std::uint8_t piece[4096];
  int n = 0;
  while ((n = entry_read(s, h, piece)) > 0) stored.insert(stored.end(), piece, piece + n);
  entry_close(s, h);
  if (n < 0) return std::nullopt;
  return stored;
}

int saveLocationEntry(Store* s, std::span<const std::uint8_t> bytes) {
  if (s == nullptr) return 0;
  int h = entry_open(s, kLocationEntry, kOpenReadWrite);
  if (h < 0) h = entry_create(s, kLocationEntry);
  if (h < 0) return 0;
  const int n = entry_write(s, h, bytes);
  entry_close(s, h);
  return n == static_cast<int>(bytes.size()) ? 1 : 0;
}

TileCache::TileCache(std::filesystem::path directory, platform::Frontend& frontend,
                     std::string missingTileName, StoreOptions options)
    : m_directory(std::move(directory)),
      m_frontend(frontend),
      m_missingTileName(std::move(missingTileName)),
      m_options(options) {}

TileCache::~TileCache() {
  if (isOpen()) CloseCache();
}

int TileCache::OpenCache(std::span<const SeedEntry> seeds) {
  std::optional<std::vector<std::uint8_t>> stored;
  {
    std::lock_guard guard(m_storeLock);
    if (m_store) return 0;
    const auto base = m_directory / kStoreBaseName;
    // A lock left behind by a process that ended without closing the store.
    const FileSystem& fs =
        m_options.fileSystem != nullptr ? *m_options.fileSystem : defaultFileSystem();
    fs.remove(lockPath(base));
    m_store = store_open(base, kModeReadWrite, m_options);
    if (!m_store) {
      m_frontend.messageBox("无法创建缓存文件！", "Tivra");
      return -1;
    }
    for (const SeedEntry& seed : seeds) {
      if (entry_exists(m_store.get(), seed.name) == 0) writeWhole(seed.name, seed.bytes);
    }
    stored = readLocationEntry(m_store.get());
  }
  // A damaged map is dropped: the offsets are learned again.
  if (!stored || !m_locations.parse(*stored)) m_locations.clear();
  return 0;
}

bool TileCache::isOpen() const {
  std::lock_guard guard(m_storeLock);
  return m_store != nullptr;
}

std::optional<std::vector<std::uint8_t>> TileCache::readEntry(std::string_view name,
                                                              std::size_t limit, bool whole) {
  std::lock_guard guard(m_storeLock);
  Store* s = m_store.get();
  if (s == nullptr) return std::nullopt;
  // entry_open answers -1 for an absent name: no separate existence check (one search, not two).
  const int h = entry_open(s, name, kOpenReadWrite);
  if (h < 0) return std::nullopt;
  std::vector<std::uint8_t> buffer(limit);
  int n = entry_read(s, h, buffer);
  // A whole read asks for the rest in further pieces of the same size, up to maxSize.
  for (std::size_t have = n > 0 ? static_cast<std::size_t>(n) : 0;
       whole && have == buffer.size() && have < kMaxWholeEntry;) {
    buffer.resize(std::min(have + limit, kMaxWholeEntry));
    const int more = entry_read(s, h, std::span(buffer).subspan(have));
    if (more < 0) n = more;
    if (more <= 0) break;
    have += static_cast<std::size_t>(more);
    n = static_cast<int>(have);
  }
  entry_close(s, h);
  if (n > 0) {
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
  }
  // An entry that reads as empty is of no use to anyone: drop it. One that fails to read is
  // left for a later store to replace.
  if (n == 0) entry_remove(s, name);
  return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> TileCache::ReadTileEntry(std::string_view name) {
  // A tile longer than the read buffer is served whole, not cut for ever after its download.
  return readEntry(name, kTileReadLimit, true);
}

std::optional<std::vector<std::uint8_t>> TileCache::ReadModelEntry(std::string_view name) {
  return readEntry(name, kModelReadLimit, false);
}

int TileCache::writeWhole(std::string_view name, std::span<const std::uint8_t> data) {
  Store* s = m_store.get();
  const int h = entry_create(s, name);
  if (h < 0) return -1;
  const int n = entry_write(s, h, data);
  entry_close(s, h);
  return n == static_cast<int>(data.size()) ? 0 : -1;
}

int TileCache::StoreTile(std::string_view name, std::span<const std::uint8_t> data) {
  std::lock_guard guard(m_storeLock);
  if (!m_store) return -1;
  return writeWhole(name, data);
}

int TileCache::StoreMissingTile(std::string_view name, std::span<const std::uint8_t> data) {
  std::lock_guard guard(m_storeLock);
  Store* s = m_store.get();
  if (s == nullptr) return -1;
  bool usable = false;
  if (entry_exists(s, m_missingTileName) == 1) {
    const int h = entry_open(s, m_missingTileName, kOpenReadOnly);
    // An empty one (left by an older run) would send every missing tile round again.
    std::uint8_t first[1];
    usable = h >= 0 && entry_read(s, h, first) == 1;
    if (h >= 0) entry_close(s, h);
  }
  // Missing, or damaged beyond reading: (re)create it with this tile's data.
  if (!usable && writeWhole(m_missingTileName, data) != 0) return -1;
  return entry_link(s, m_missingTileName, name);
}

int TileCache::SaveLocationMap() {
  const std::vector<std::uint8_t> bytes = m_locations.serialize();
  std::lock_guard guard(m_storeLock);
  return saveLocationEntry(m_store.get(), bytes);
}

int TileCache::CloseCache() {
  if (!isOpen()) return -1;
  SaveLocationMap();
  int rc = 0;
  {
    std::lock_guard guard(m_storeLock);
    rc = store_close(std::move(m_store));
  }
  m_locations.clear();
  return rc;
}

LocationMap& TileCache::locationMap() {
  return m_locations;
}

}  // namespace tivra::store

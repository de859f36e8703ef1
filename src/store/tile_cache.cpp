#include "store/tile_cache.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/log.h"
#include "store/lock_file.h"

namespace tivra::store {
namespace {

std::string monotonicNs(std::chrono::steady_clock::time_point t) {
  return std::to_string(
      std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
}

}  // namespace

CheckpointTimes checkpointTimesFromEnvironment() {
  CheckpointTimes times;
  if (const char* text = std::getenv("TIVRA_CHECKPOINT_MS"); text != nullptr) {
    char* end = nullptr;
    const long ms = std::strtol(text, &end, 10);
    if (end != text && *end == '\0') {
      const std::chrono::milliseconds t(std::clamp(ms, 10L, 30000L));
      times.interval = std::min(times.interval, t);
      times.mapDelay = std::min(times.mapDelay, t);
    }
  }
  return times;
}

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
                     std::string missingTileName, StoreOptions options, CheckpointTimes times)
    : m_directory(std::move(directory)),
      m_frontend(frontend),
      m_missingTileName(std::move(missingTileName)),
      m_options(options),
      m_times(times) {}

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
    // A checkpoint cut short by a kill that cannot be completed now: said at once.
    if (store_stalled(m_store.get())) sayNotWritten(errno);
    for (const SeedEntry& seed : seeds) {
      if (entry_exists(m_store.get(), seed.name) == 0) writeWhole(seed.name, seed.bytes);
    }
    checkpointLocked("opened");
    stored = readLocationEntry(m_store.get());
  }
  // A damaged map is dropped: the offsets are learned again.
  if (!stored || !m_locations.parse(*stored)) m_locations.clear();
  m_savedGeneration = m_locations.generation();
  m_seenGeneration = m_savedGeneration;
  return 0;
}

int TileCache::checkpointLocked(std::string_view what) {
  const auto begun = std::chrono::steady_clock::now();
  m_lastCheckpoint = begun;
  if (!m_store) return -1;
  if (!store_changed(m_store.get())) return 0;
  if (store_checkpoint(m_store.get()) != 0) {
    sayNotWritten(errno);
    return -1;
  }
  if (m_notWrittenSaid) {
    m_notWrittenSaid = false;
    platform::warn("tivra: the tile store in " + m_directory.string() + " is written again");
  }
  // Everything stored before this instant is durable.
  platform::debugTrace("store: checkpoint (" + std::string(what) + ") of " + monotonicNs(begun));
  return 0;
}

void TileCache::sayNotWritten(int cause) {
  if (m_notWrittenSaid) return;
  m_notWrittenSaid = true;
  const bool stalled = store_stalled(m_store.get());
  const std::string why = cause != 0 ? std::strerror(cause) : "a write failed";
  platform::warn("tivra: cannot write the tile store in " + m_directory.string() + " (" + why +
                 "): " +
                 (stalled ? "stored tiles are still served; new ones are not stored until it "
                            "can be written again, which is tried every " +
                                std::to_string(m_times.interval.count()) + " ms"
                          : "it is not used again in this run"));
  // At the end there is no window left to show it in.
  if (!m_closing) m_frontend.messageBox(stalled ? kStoreStalledText : kStoreFailedText, "Tivra");
}

int TileCache::Checkpoint() {
  std::lock_guard guard(m_storeLock);
  return checkpointLocked("requested");
}

std::chrono::milliseconds TileCache::maintainPeriod() const {
  return std::clamp(std::min(m_times.interval, m_times.mapDelay) / 4, std::chrono::milliseconds(5),
                    std::chrono::milliseconds(1000));
}

void TileCache::maintain(std::chrono::steady_clock::time_point now) {
  const std::uint64_t generation = m_locations.generation();
  if (generation != m_savedGeneration) {
    if (generation != m_seenGeneration) {
      m_seenGeneration = generation;
      m_seenAt = now;
    }
    if (now - m_seenAt >= m_times.mapDelay) SaveLocationMap();
  }
  std::lock_guard guard(m_storeLock);
  if (m_store && store_changed(m_store.get()) && now - m_lastCheckpoint >= m_times.interval)
    checkpointLocked("timed");
}

bool TileCache::isOpen() const {
  std::lock_guard guard(m_storeLock);
  return m_store != nullptr;
}

std::optional<std::vector<std::uint8_t>> TileCache::readEntry(std::string_view name,
                                                              std::size_t maxBytes) {
  std::lock_guard guard(m_storeLock);
  Store* s = m_store.get();
  if (s == nullptr) return std::nullopt;
  // entry_open answers -1 for an absent name: no separate existence check (one search, not two).
  // Read-only: a store that cannot be written for now still serves what it holds.
  const int h = entry_open(s, name, kOpenReadOnly);
  if (h < 0) return std::nullopt;
  // The buffer is as long as the content (cut to maxBytes): one read, nothing to clear or grow.
  const std::int64_t size = entry_size(s, h);
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(
      std::clamp<std::int64_t>(size, 0, static_cast<std::int64_t>(maxBytes))));
  const int n = size < 0 ? -1 : buffer.empty() ? 0 : entry_read(s, h, buffer);
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
  return readEntry(name, kMaxWholeEntry);
}

std::optional<std::vector<std::uint8_t>> TileCache::ReadModelEntry(std::string_view name) {
  return readEntry(name, kModelReadLimit);
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
  // Lock order: the location-map lock, then the store lock.
  auto mapGuard = m_locations.lock();
  const auto begun = std::chrono::steady_clock::now();
  const std::uint64_t generation = m_locations.generation();
  const std::vector<std::uint8_t> bytes = m_locations.serialize();
  std::lock_guard guard(m_storeLock);
  if (saveLocationEntry(m_store.get(), bytes) != 1 || checkpointLocked("location map") != 0)
    return 0;
  m_savedGeneration = generation;
  platform::debugTrace("store: location map of " + monotonicNs(begun) + " saved");
  return 1;
}

int TileCache::CloseCache() {
  if (!isOpen()) return -1;
  {
    std::lock_guard guard(m_storeLock);
    m_closing = true;
  }
  SaveLocationMap();
  int rc = 0;
  {
    std::lock_guard guard(m_storeLock);
    rc = store_close(std::move(m_store));
    m_closing = false;
  }
  if (rc != 0)
    platform::warn("tivra: the tile store in " + m_directory.string() +
                   " could not be written at its close: it keeps what its last checkpoint held");
  m_locations.clear();
  return rc;
}

LocationMap& TileCache::locationMap() {
  return m_locations;
}

}  // namespace tivra::store

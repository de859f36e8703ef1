#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/frontend.h"
#include "store/location_map.h"
#include "store/store.h"

namespace tivra::store {

// A built-in entry written into the store when it is missing (images, models, recordings).
struct SeedEntry {
  std::string name;
  std::span<const std::uint8_t> bytes;
};

inline constexpr std::size_t kTileReadLimit = 40960;
inline constexpr std::size_t kModelReadLimit = 262144;
// The most a whole-entry read returns: the largest body a download may bring.
inline constexpr std::size_t kMaxWholeEntry = 16u * 1024 * 1024;
inline constexpr std::string_view kLocationEntry = "LocationCache";
inline constexpr std::string_view kStoreBaseName = "TivraCache";
// Said once when a checkpoint cannot be written (the disk is full): the store still serves
// what it holds and stores again once a later checkpoint gets through.
inline constexpr const char* kStoreStalledText =
    "缓存文件无法写入（磁盘已满？）：已保存的地图照常使用，"
    "新地图暂不保存，空间恢复后自动继续保存。";
// Said once when the store files cannot be used any more in this run.
inline constexpr const char* kStoreFailedText = "缓存文件读写出错，本次运行不再使用缓存。";

// The stored location map of an open store: the whole entry "LocationCache" (read in pieces
// of 4096 bytes), or empty when it is absent or unreadable.
std::optional<std::vector<std::uint8_t>> readLocationEntry(Store* s);
// Writes the serialised map over the entry from position 0 without emptying it first (creating
// it when absent). 1, or 0 when the entry cannot be opened or written.
int saveLocationEntry(Store* s, std::span<const std::uint8_t> bytes);

// When the open store is made durable: at most `interval` after a change, and the location map
// saved `mapDelay` after its last change.
struct CheckpointTimes {
  std::chrono::milliseconds interval{30000};
  std::chrono::milliseconds mapDelay{5000};
};
// The times above, both shortened to TIVRA_CHECKPOINT_MS milliseconds (10 .. 30000) when that
// variable is set: tests use it to see checkpoints quickly.
CheckpointTimes checkpointTimesFromEnvironment();

// The program's one tile cache: the open store `TivraCache` and its store lock, and the
// location map with its own lock. Every method may be called from any thread; every store
// call runs under the store lock, reads included, since the engine keeps shared state even
// when reading. Lock order: location-map lock before store lock, never the other way.
class TileCache {
 public:
  // directory holds TivraCache.idx/.dat/.lck; missingTileName is "http:///" + host + "/404.png"
  TileCache(std::filesystem::path directory, platform::Frontend& frontend,
            std::string missingTileName, StoreOptions options = {},
            CheckpointTimes times = checkpointTimesFromEnvironment());
  ~TileCache();  // closes if still open (location map saved)
  TileCache(const TileCache&) = delete;
  TileCache& operator=(const TileCache&) = delete;

  int OpenCache(std::span<const SeedEntry> seeds = {});  // 0, or -1 after the message box
  bool isOpen() const;
  std::optional<std::vector<std::uint8_t>> ReadTileEntry(std::string_view name);   // whole entry
  std::optional<std::vector<std::uint8_t>> ReadModelEntry(std::string_view name);  // <= 262144
  int StoreTile(std::string_view name, std::span<const std::uint8_t> data);
  int StoreMissingTile(std::string_view name, std::span<const std::uint8_t> data);
  // Saves the map and makes the store durable at once. 1 or 0.
  int SaveLocationMap();
  int CloseCache();
  LocationMap& locationMap();

  // Called every maintainPeriod() from one thread (the main loop): saves the location map once
  // it has not changed for mapDelay, and makes the store durable when something changed and
  // the last checkpoint is `interval` old (a checkpoint that failed is tried again so).
  void maintain(std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());
  std::chrono::milliseconds maintainPeriod() const;
  // Makes everything stored so far durable. 0, or -1 (no store, or a file error).
  int Checkpoint();

 private:
  // Reads the entry's first maxBytes bytes (all of a shorter one).
  std::optional<std::vector<std::uint8_t>> readEntry(std::string_view name, std::size_t maxBytes);
  // Creates (or empties) the entry and writes data; caller holds m_storeLock.
  int writeWhole(std::string_view name, std::span<const std::uint8_t> data);
  // Caller holds m_storeLock. `what` names the cause in the trace.
  int checkpointLocked(std::string_view what);
  // Says once, on standard error and in a message box, that the store is not written.
  void sayNotWritten(int cause);

  const std::filesystem::path m_directory;
  platform::Frontend& m_frontend;
  const std::string m_missingTileName;
  const StoreOptions m_options;
  mutable std::mutex m_storeLock;
  StorePtr m_store;  // guarded by m_storeLock; null while closed
  std::chrono::steady_clock::time_point m_lastCheckpoint;  // guarded by m_storeLock
  bool m_notWrittenSaid = false;  // guarded by m_storeLock; until a checkpoint gets through
  bool m_closing = false;         // guarded by m_storeLock
  LocationMap m_locations;
  const CheckpointTimes m_times;
  std::atomic<std::uint64_t> m_savedGeneration{0};  // the map's generation last stored
  // maintain()'s own: the generation it saw last and since when.
  std::uint64_t m_seenGeneration = 0;
  std::chrono::steady_clock::time_point m_seenAt;
};

}  // namespace tivra::store

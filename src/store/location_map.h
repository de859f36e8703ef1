#pragma once

// The location map: cell key "%ld,%ld" -> offset "%ld,%ld" (E5 units), guarded by its own
// lock (the location-map lock). Stored form, little-endian, the same in the store entry
// "LocationCache" and in data-share files:
//   SIZE       DESCRIPTION
//   2          pair count when below 0xFFFF; else 0xFFFF followed by
//   (4)        the 32-bit pair count
//   per pair   key, then value, each as a length and its bytes (no terminator); the length is
//              1 byte when below 255; else 0xFF and 2 bytes when below 0xFFFE; else 0xFF,
//              0xFFFF and 4 bytes.
// Bytes after the last pair are ignored (a shorter map saved over a longer one leaves a tail).

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tivra::store {

using LocationPairs = std::vector<std::pair<std::string, std::string>>;

// The pairs of a stored form in their stored order, or empty when the bytes are truncated or
// not in that form.
std::optional<LocationPairs> parseLocationPairs(std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> serializeLocationPairs(const LocationPairs& pairs);

class LocationMap {
 public:
  LocationMap();

  std::optional<std::string> find(std::string_view key) const;
  void insert(std::string_view key, std::string_view value, bool overwrite);
  std::size_t size() const;
  void clear();

  // Serialised in the map's iteration order.
  std::vector<std::uint8_t> serialize() const;
  // Replaces the content with the parsed pairs (later keys replacing earlier ones). False, and
  // the map unchanged, when the bytes are not a stored map.
  bool parse(std::span<const std::uint8_t> bytes);
  // Adds the pairs whose keys are absent; existing keys keep their values. Returns the number
  // of pairs added.
  std::size_t merge(const LocationPairs& pairs);
  LocationPairs pairs() const;
  // Counts the changes of the content: equal values mean nothing changed in between.
  std::uint64_t generation() const;

  // The location-map lock, for callers that must keep several steps together (merge and save).
  // Re-entrant: the methods above take it too.
  std::unique_lock<std::recursive_mutex> lock() const { return std::unique_lock(m_mutex); }

 private:
  mutable std::recursive_mutex m_mutex;
  std::unordered_map<std::string, std::string> m_map;  // guarded by m_mutex
  std::uint64_t m_generation = 0;                      // guarded by m_mutex
};

}  // namespace tivra::store

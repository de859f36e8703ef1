#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tivra::tiles {

// Tile bytes shared by the answers that send them.
using SharedTileBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

// The transparent tiles made lately, so that a tile asked for again is not decoded, processed
// and encoded again. An entry is the tile's name, the two mode digits, a copy of the source
// bytes it was made from and the PNG made: it answers only for the very same source bytes, so
// a tile changed in the store (or in its file) is processed afresh. Bounded in bytes (names,
// sources and PNGs together); the least recently used entries go first. Thread-safe; the
// processing runs outside the lock.
class TransparentTiles {
 public:
  static constexpr std::size_t kDefaultBudget = 16u * 1024 * 1024;

  explicit TransparentTiles(std::size_t budgetBytes = kDefaultBudget);
  TransparentTiles(const TransparentTiles&) = delete;
  TransparentTiles& operator=(const TransparentTiles&) = delete;

  // MakeTransparentTile(source, rangeDigit, colourDigit) for the tile named name: the same
  // bytes, from memory when they were made before from equal source bytes. Null when the
  // source cannot be processed (that is not remembered).
  SharedTileBytes get(std::string_view name, const std::vector<std::uint8_t>& source,
                      int rangeDigit, int colourDigit);

  std::size_t bytes() const;    // what the entries count against the budget
  std::size_t entries() const;  // entries held

 private:
  struct Entry {
    std::string key;
    std::vector<std::uint8_t> source;
    SharedTileBytes made;
    std::size_t cost = 0;
  };
  using Order = std::list<Entry>;  // most recently used first

  void evict();  // m_mutex held

  const std::size_t m_budget;
  mutable std::mutex m_mutex;
  Order m_order;                                             // guarded by m_mutex
  std::unordered_map<std::string, Order::iterator> m_index;  // guarded by m_mutex
  std::size_t m_bytes = 0;                                   // guarded by m_mutex
};

}  // namespace tivra::tiles

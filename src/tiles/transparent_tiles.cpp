#include "tiles/transparent_tiles.h"

#include <string>

#include "tiles/transparency.h"

namespace tivra::tiles {

namespace {

// What an entry costs beyond its bytes: the list node, the index slot, the vectors' headers.
constexpr std::size_t kEntryOverhead = 160;

// "range,colour/" and the name: the numbers hold no "/", so no two keys run into each other.
std::string entryKey(std::string_view name, int rangeDigit, int colourDigit) {
  std::string key = std::to_string(rangeDigit);
  key.push_back(',');
  key.append(std::to_string(colourDigit)).push_back('/');
  key.append(name);
  return key;
}

}  // namespace

TransparentTiles::TransparentTiles(std::size_t budgetBytes) : m_budget(budgetBytes) {}

SharedTileBytes TransparentTiles::get(std::string_view name,
                                      const std::vector<std::uint8_t>& source, int rangeDigit,
                                      int colourDigit) {
  std::string key = entryKey(name, rangeDigit, colourDigit);
  {
    const std::lock_guard lock(m_mutex);
    if (const auto it = m_index.find(key); it != m_index.end()) {
      if (it->second->source == source) {
        m_order.splice(m_order.begin(), m_order, it->second);
        return it->second->made;
      }
      // Made from other bytes: the tile has changed since.
      m_bytes -= it->second->cost;
      m_order.erase(it->second);
      m_index.erase(it);
    }
  }
  auto made = MakeTransparentTile(source, rangeDigit, colourDigit);
  if (!made) return nullptr;
  auto shared = std::make_shared<const std::vector<std::uint8_t>>(std::move(*made));
  const std::size_t cost = key.size() + source.size() + shared->size() + kEntryOverhead;
  // A tile too large to share the budget with others is made anew each time.
  if (cost > m_budget / 8) return shared;
  Entry entry{key, source, shared, cost};
  const std::lock_guard lock(m_mutex);
  // Another thread may have made this tile meanwhile: the later one stays.
  if (const auto it = m_index.find(key); it != m_index.end()) {
    m_bytes -= it->second->cost;
    m_order.erase(it->second);
    m_index.erase(it);
  }
  m_order.push_front(std::move(entry));
  m_index.emplace(std::move(key), m_order.begin());
  m_bytes += cost;
  evict();
  return shared;
}

void TransparentTiles::evict() {
  while (m_bytes > m_budget && !m_order.empty()) {
    const Entry& last = m_order.back();
    m_bytes -= last.cost;
    m_index.erase(last.key);
    m_order.pop_back();
  }
}

std::size_t TransparentTiles::bytes() const {
  const std::lock_guard lock(m_mutex);
  return m_bytes;
}

std::size_t TransparentTiles::entries() const {
  const std::lock_guard lock(m_mutex);
  return m_order.size();
}

}  // namespace tivra::tiles

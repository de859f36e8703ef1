#include "store/location_map.h"

#include <algorithm>

#include "store/byte_order.h"

namespace tivra::store {
namespace {

// The hash table starts with this many buckets, as the map always has.
constexpr std::size_t kInitialBuckets = 2003;

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}
  std::size_t left() const { return m_bytes.size() - m_at; }
  bool u8(std::uint32_t& v) {
    if (left() < 1) return false;
    v = m_bytes[m_at++];
    return true;
  }
  bool u16(std::uint32_t& v) {
    if (left() < 2) return false;
    v = getLe16(&m_bytes[m_at]);
    m_at += 2;
    return true;
  }
  bool u32(std::uint32_t& v) {
    if (left() < 4) return false;
    v = getLe32(&m_bytes[m_at]);
    m_at += 4;
    return true;
  }
  bool text(std::string& out) {
    std::uint32_t len = 0;
    if (!u8(len)) return false;
    if (len == 0xFF) {
      if (!u16(len)) return false;
      if (len == 0xFFFF && !u32(len)) return false;
    }
    if (len > left()) return false;
    out.assign(reinterpret_cast<const char*>(&m_bytes[m_at]), len);
    m_at += len;
    return true;
  }

 private:
  std::span<const std::uint8_t> m_bytes;
  std::size_t m_at = 0;
};

void putText(std::vector<std::uint8_t>& out, std::string_view s) {
  const std::size_t len = s.size();
  if (len < 0xFF) {
    out.push_back(static_cast<std::uint8_t>(len));
  } else if (len < 0xFFFE) {
    out.push_back(0xFF);
    out.resize(out.size() + 2);
    putLe16(&out[out.size() - 2], static_cast<std::uint16_t>(len));
  } else {
    out.insert(out.end(), {0xFF, 0xFF, 0xFF});
    out.resize(out.size() + 4);
    putLe32(&out[out.size() - 4], static_cast<std::uint32_t>(len));
  }
  out.insert(out.end(), s.begin(), s.end());
}

}  // namespace

std::optional<LocationPairs> parseLocationPairs(std::span<const std::uint8_t> bytes) {
  Reader r(bytes);
  std::uint32_t count = 0;
  if (!r.u16(count)) return std::nullopt;
  if (count == 0xFFFF && !r.u32(count)) return std::nullopt;
  // Each pair takes at least two bytes: a count beyond that is a lie, refuse before allocating.
  if (count > r.left() / 2) return std::nullopt;
  LocationPairs pairs;
  pairs.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string key, value;
    if (!r.text(key) || !r.text(value)) return std::nullopt;
    pairs.emplace_back(std::move(key), std::move(value));
  }
  return pairs;
}

std::vector<std::uint8_t> serializeLocationPairs(const LocationPairs& pairs) {
  std::vector<std::uint8_t> out;
  const std::size_t n = pairs.size();
  if (n < 0xFFFF) {
    out.resize(2);
    putLe16(out.data(), static_cast<std::uint16_t>(n));
  } else {
    out.resize(6);
    putLe16(out.data(), 0xFFFF);
    putLe32(out.data() + 2, static_cast<std::uint32_t>(n));
  }
  for (const auto& [k, v] : pairs) {
    putText(out, k);
    putText(out, v);
  }
  return out;
}

LocationMap::LocationMap() {
  m_map.reserve(kInitialBuckets);
}

std::optional<std::string> LocationMap::find(std::string_view key) const {
  auto guard = lock();
  const auto it = m_map.find(std::string(key));
  if (it == m_map.end()) return std::nullopt;
  return it->second;
}

void LocationMap::insert(std::string_view key, std::string_view value, bool overwrite) {
  auto guard = lock();
  auto [it, fresh] = m_map.try_emplace(std::string(key), value);
  if (fresh) {
    ++m_generation;
  } else if (overwrite && it->second != value) {
    it->second = value;
    ++m_generation;
  }
}

std::uint64_t LocationMap::generation() const {
  auto guard = lock();
  return m_generation;
}

std::size_t LocationMap::size() const {
  auto guard = lock();
  return m_map.size();
}

void LocationMap::clear() {
  auto guard = lock();
  if (!m_map.empty()) ++m_generation;
  m_map.clear();
}

LocationPairs LocationMap::pairs() const {
  auto guard = lock();
  return LocationPairs(m_map.begin(), m_map.end());
}

std::vector<std::uint8_t> LocationMap::serialize() const {
  auto guard = lock();
  return serializeLocationPairs(pairs());
}

bool LocationMap::parse(std::span<const std::uint8_t> bytes) {
  auto parsed = parseLocationPairs(bytes);
  if (!parsed) return false;
  std::unordered_map<std::string, std::string> fresh;
  fresh.reserve(std::max(kInitialBuckets, parsed->size()));
  for (auto& [k, v] : *parsed) fresh.insert_or_assign(std::move(k), std::move(v));
  auto guard = lock();
  m_map.swap(fresh);
  ++m_generation;
  return true;
}

std::size_t LocationMap::merge(const LocationPairs& pairs) {
  auto guard = lock();
  std::size_t added = 0;
  for (const auto& [k, v] : pairs) added += m_map.try_emplace(k, v).second ? 1 : 0;
  if (added > 0) ++m_generation;
  return added;
}

}  // namespace tivra::store

#include "tiles/transparency.h"

#include <algorithm>
#include <cstring>

namespace tivra::tiles {

namespace detail {

// One tolerance level's keys in a small open-addressed table: a lookup is a multiply, a shift
// and, almost always, one compare.
class KeyTable {
 public:
  static constexpr std::uint32_t kEmpty = 0xffffffffu;  // keys use 24 bits at most

  void insert(std::uint32_t key) {
    for (std::uint32_t slot = hash(key);; slot = (slot + 1) & kMask) {
      if (m_slots[slot] == key) return;
      if (m_slots[slot] == kEmpty) {
        m_slots[slot] = key;
        return;
      }
    }
  }

  bool contains(std::uint32_t key) const {
    // The table is never more than half full, so an empty slot always ends the probe.
    for (std::uint32_t slot = hash(key);; slot = (slot + 1) & kMask) {
      if (m_slots[slot] == key) return true;
      if (m_slots[slot] == kEmpty) return false;
    }
  }

 private:
  static constexpr int kBits = 6;
  static constexpr std::uint32_t kMask = (1u << kBits) - 1;
  static std::uint32_t hash(std::uint32_t key) { return (key * 0x9e3779b1u) >> (32 - kBits); }

  std::array<std::uint32_t, 1u << kBits> m_slots = [] {
    std::array<std::uint32_t, 1u << kBits> slots{};
    slots.fill(kEmpty);
    return slots;
  }();
};

static_assert(kBackgroundColours.size() * 2 <= 64, "key table must stay at most half full");

using KeySets = std::array<KeyTable, kToleranceLevels>;

const KeySets& keySets() {
  // Built once under the function-local static's own guard, then only read.
  static const KeySets sets = [] {
    KeySets built;
    for (int level = 0; level < kToleranceLevels; ++level) {
      for (const Rgb& colour : kBackgroundColours) {
        built[level].insert(colourKey(colour.red, colour.green, colour.blue, level));
      }
    }
    return built;
  }();
  return sets;
}

}  // namespace detail

int toleranceLevel(int rangeDigit) {
  return std::clamp(rangeDigit, 0, kToleranceLevels - 1);
}

bool isBackgroundKey(int level, std::uint32_t key) {
  if (level < 0 || level >= kToleranceLevels) return false;
  return detail::keySets()[level].contains(key);
}

platform::Image ProcessPixels(const platform::Image& source, int rangeDigit, int colourDigit) {
  const std::size_t count = source.pixelCount();
  auto made = platform::Image::makeBgra(source.width, source.height);
  if (!made || source.bgra.size() != count * 4) return platform::Image{};
  platform::Image out = std::move(*made);

  const int level = toleranceLevel(rangeDigit);
  const detail::KeyTable& keys = detail::keySets()[level];
  const std::uint8_t invertBlue = (colourDigit & 1) != 0 ? 0xff : 0;
  const std::uint8_t invertGreen = (colourDigit & 2) != 0 ? 0xff : 0;
  const std::uint8_t invertRed = (colourDigit & 4) != 0 ? 0xff : 0;
  const bool byIndex =
      source.indexed && source.bitsPerPixel == 8 && source.paletteIndex.size() == count;

  const std::uint8_t* src = source.bgra.data();
  std::uint8_t* dst = out.bgra.data();
  // Map tiles are long runs of one colour: remember the last key's answer.
  std::uint32_t lastKey = detail::KeyTable::kEmpty;
  bool lastMatch = false;
  for (std::size_t i = 0; i < count; ++i, src += 4, dst += 4) {
    const std::uint8_t blue = src[0];
    const std::uint8_t green = src[1];
    const std::uint8_t red = src[2];
    dst[0] = blue ^ invertBlue;
    dst[1] = green ^ invertGreen;
    dst[2] = red ^ invertRed;
    const std::uint32_t key = colourKey(red, green, blue, level);
    if (key != lastKey) {
      lastKey = key;
      lastMatch = keys.contains(key);
    }
    const bool transparent =
        lastMatch || (byIndex && source.paletteIndex[i] == kTransparentPaletteIndex);
    dst[3] = transparent ? 0 : 255;
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> MakeTransparentTile(std::span<const std::uint8_t> bytes,
                                                             int rangeDigit, int colourDigit) {
  const auto source = platform::decodeImage(bytes);
  if (!source) return std::nullopt;
  const platform::Image processed = ProcessPixels(*source, rangeDigit, colourDigit);
  return platform::encodePngRgba(processed);
}

}  // namespace tivra::tiles

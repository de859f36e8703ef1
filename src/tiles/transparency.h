#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/image_codec.h"

namespace tivra::tiles {

struct Rgb {
  std::uint8_t red;
  std::uint8_t green;
  std::uint8_t blue;
};

// The map background colours that become transparent (entries 5 and 21 are the same colour).
inline constexpr std::array<Rgb, 23> kBackgroundColours = {{
    {235, 230, 220}, {232, 227, 216}, {166, 203, 148}, {152, 178, 203}, {235, 231, 221},
    {241, 238, 232}, {239, 240, 241}, {239, 236, 229}, {248, 251, 244}, {243, 227, 243},
    {244, 244, 251}, {250, 245, 250}, {230, 226, 217}, {230, 227, 218}, {230, 231, 233},
    {235, 232, 227}, {99, 158, 189},  {226, 227, 228}, {235, 231, 231}, {232, 233, 234},
    {233, 233, 233}, {241, 238, 232}, {217, 217, 217},
}};

inline constexpr int kToleranceLevels = 6;

// The palette index that is transparent in every 8-bit palette tile, whatever its colour.
inline constexpr std::uint8_t kTransparentPaletteIndex = 30;

// Key of a colour at tolerance level k: (B >> k) * 65536 + (G >> k) * 256 + (R >> k).
constexpr std::uint32_t colourKey(std::uint8_t red, std::uint8_t green, std::uint8_t blue,
                                  int level) {
  return (std::uint32_t{blue} >> level) * 65536u + (std::uint32_t{green} >> level) * 256u +
         (std::uint32_t{red} >> level);
}

// Whether `key` is the key of a background colour at `level` (0..5). The six key sets are
// built once, on first use, and are read-only afterwards.
bool isBackgroundKey(int level, std::uint32_t key);

// A range digit names the tolerance level. Digits past the loosest level give the loosest
// (a hand-edited setting beyond the slider's end still means "as loose as possible") and
// digits below 0 give the strictest.
int toleranceLevel(int rangeDigit);

// A new 32-bit image of the source's size: each pixel's colour, with the channels selected by
// the colour digit inverted (bit 0 blue, bit 1 green, bit 2 red; higher bits ignored), alpha 0
// where the uninverted colour matches a background colour at the range digit's level or an
// 8-bit palette source has index 30 there, else 255. A source whose pixel buffer does not
// match its size gives an empty (0 x 0) image.
platform::Image ProcessPixels(const platform::Image& source, int rangeDigit, int colourDigit);

// Decode, ProcessPixels, encode as RGBA PNG. nullopt when the bytes are no image we can
// decode or the PNG cannot be written.
std::optional<std::vector<std::uint8_t>> MakeTransparentTile(std::span<const std::uint8_t> bytes,
                                                             int rangeDigit, int colourDigit);

}  // namespace tivra::tiles

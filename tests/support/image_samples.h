#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/image_codec.h"

namespace tivra::test {

// Builders of small test images in formats the codec only reads.

// A GIF of one frame at (left, top) on a screen of the given size; palette entries are blue,
// green, red, alpha (alpha ignored). Built with giflib.
std::vector<std::uint8_t> makeGif(int screenWidth, int screenHeight, int left, int top, int width,
                                  int height,
                                  const std::vector<std::array<std::uint8_t, 4>>& palette,
                                  const std::vector<std::uint8_t>& indices, bool interlaced,
                                  int backgroundIndex = 0);

// A BMP with a BITMAPINFOHEADER (40 bytes). `pixels` are the raw rows top to bottom, packed
// at `bitsPerPixel` without padding between pixels; rows are padded and ordered here.
// For 16 and 32 bits, non-zero `masks` (red, green, blue) write BI_BITFIELDS.
std::vector<std::uint8_t> makeBmp(int width, int height, int bitsPerPixel,
                                  const std::vector<std::uint8_t>& rowsTopDown,
                                  const std::vector<std::array<std::uint8_t, 4>>& palette,
                                  bool topDown, std::array<std::uint32_t, 3> masks = {0, 0, 0});

// A PNG chunk with its length and CRC.
std::vector<std::uint8_t> pngChunk(const char type[4], const std::vector<std::uint8_t>& data);

// A deterministic image with every channel varying, optionally with varying alpha.
platform::Image patternImage(std::uint32_t width, std::uint32_t height, bool alpha);

}  // namespace tivra::test

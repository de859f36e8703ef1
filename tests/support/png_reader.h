#pragma once

// A strict reader of the PNG files we make ourselves: 8-bit RGB or RGBA, not interlaced. It
// checks the signature, every chunk's CRC, that IHDR comes first and IEND last, and unfilters
// the pixels, so a test can look at them without the production codecs. Big-endian:
//   OFFSET SIZE DESCRIPTION
//        0    8 signature 89 50 4E 47 0D 0A 1A 0A
//        8      chunks: 4 length, 4 type, length data bytes, 4 CRC-32 over type and data
// IHDR data: 4 width, 4 height, 1 bit depth, 1 colour type (2 RGB, 6 RGBA), 1 compression,
// 1 filter method, 1 interlace method.

#include <cstdint>
#include <span>
#include <vector>

namespace tivra::test {

struct PngImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int colourType = 0;
  int channels = 0;
  std::vector<std::uint8_t> pixels;  // rows top to bottom, channels bytes a pixel

  const std::uint8_t* at(std::uint32_t x, std::uint32_t y) const {
    return pixels.data() + (static_cast<std::size_t>(y) * width + x) * channels;
  }
};

// Throws std::runtime_error naming what is malformed.
PngImage readPng(std::span<const std::uint8_t> bytes);

}  // namespace tivra::test

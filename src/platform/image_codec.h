#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tivra::platform {

// Largest image side and pixel count we decode. Map tiles are 256 x 256; anything near these
// limits comes from a hostile or broken source and would only cost memory.
inline constexpr std::uint32_t kMaxImageSide = 8192;
inline constexpr std::uint64_t kMaxImagePixels = 4096ull * 4096ull;

enum class ImageFormat { Unknown, Png, Jpeg, Gif, Bmp };

// A decoded image. Pixels are always stored as 4 bytes in the order blue, green, red, alpha,
// rows top to bottom, without padding; sources without alpha get 255. `bitsPerPixel` tells the
// class of the source: 1, 2, 4 or 8 for indexed sources (then `palette` holds the colours as
// blue, green, red, alpha and, for 8-bit sources, `paletteIndex` holds each pixel's index),
// 8 for greyscale, 16, 24 and 32 for direct colour (32 also for every source with alpha).
struct Image {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int bitsPerPixel = 32;
  bool indexed = false;
  bool hasAlpha = false;
  std::vector<std::uint8_t> bgra;
  std::vector<std::array<std::uint8_t, 4>> palette;
  std::vector<std::uint8_t> paletteIndex;

  std::size_t pixelCount() const { return std::size_t{width} * height; }
  // A new 32-bit image with alpha, all bytes zero; nullopt if the size is out of bounds.
  static std::optional<Image> makeBgra(std::uint32_t width, std::uint32_t height);
};

struct PngEncodeOptions {
  // Chosen with bench/image_bench.cpp on processed 256 x 256 tiles: without row filters,
  // levels 1 and 2 cost the same (~0.45 ms) and level 2 writes map tiles 14% smaller; level 6
  // costs three times as much, and row filters three to four times, for little gain.
  int zlibLevel = 2;
  bool filterRows = false;
};

ImageFormat sniffImageFormat(std::span<const std::uint8_t> bytes);

// Decodes PNG, JPEG, GIF (first frame on its logical screen) or BMP from memory. Never throws
// for bad input: truncated data, bad checksums and oversized images give nullopt.
std::optional<Image> decodeImage(std::span<const std::uint8_t> bytes);

// Writes an 8-bit RGBA PNG (colour type 6) of `image.bgra`.
std::optional<std::vector<std::uint8_t>> encodePngRgba(const Image& image,
                                                       const PngEncodeOptions& options = {});

// Writes an 8-bit palette PNG of `image.palette` and `image.paletteIndex` (with a tRNS chunk
// when a palette entry is not opaque).
std::optional<std::vector<std::uint8_t>> encodePngPalette(const Image& image,
                                                          const PngEncodeOptions& options = {});

// Writes a baseline JPEG of the colour channels of `image.bgra`.
std::optional<std::vector<std::uint8_t>> encodeJpeg(const Image& image, int quality = 85);

}  // namespace tivra::platform

#pragma once

// What the per-format codec files share, and the entry each one gives the public functions of
// image_codec.h. None of these throws for bad input; out of memory throws std::bad_alloc.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/image_codec.h"

namespace tivra::platform::detail {

// Within kMaxImageSide and kMaxImagePixels, and not empty.
bool sizeAllowed(std::uint64_t width, std::uint64_t height);

// Fills `bgra` from the palette for every pixel index; an index past the palette is black, as
// a viewer shows it.
void expandPalette(Image& image, const std::vector<std::uint8_t>& indices);

// Bytes being read by a library callback.
struct MemoryReader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos;
};

struct PngEncodeJob {
  const Image* image;
  bool palette;
  PngEncodeOptions options;
};

std::optional<Image> decodePng(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> encodePng(const PngEncodeJob& job);
std::optional<Image> decodeJpeg(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> encodeJpegBgra(const Image& image, int quality);
std::optional<Image> decodeGif(std::span<const std::uint8_t> bytes);
std::optional<Image> decodeBmp(std::span<const std::uint8_t> bytes);

}  // namespace tivra::platform::detail

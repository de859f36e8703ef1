#include <bit>
#include <cstring>

#include "platform/image_codec_detail.h"

namespace tivra::platform::detail {

namespace {

// BMP, as read here:
//
// OFFSET SIZE DESCRIPTION (little-endian)
//  0      2   "BM"
//  10     4   offset of the pixel array
//  14     4   DIB header size: 12 (OS/2 core), 40, 52, 56, 108 or 124
//  core header: 18 width u16, 20 height u16, 22 planes, 24 bits per pixel
//  info header: 18 width s32, 22 height s32 (negative: top row first), 26 planes,
//               28 bits per pixel, 30 compression (0 plain, 3 bit fields), 46 colours used,
//               54.. colour masks red, green, blue (inside headers of 52 bytes and more,
//               else right after a 40-byte header)
//  palette: after the DIB header (and masks), 3 (core) or 4 bytes per entry, blue green red

std::uint32_t readLe(std::span<const std::uint8_t> bytes, std::size_t offset, int size) {
  std::uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = (value << 8) | bytes[offset + i];
  return value;
}

struct ChannelMask {
  std::uint32_t mask = 0;
  int shift = 0;
  int bits = 0;

  explicit ChannelMask(std::uint32_t m) : mask(m) {
    if (m == 0) return;
    shift = std::countr_zero(m);
    bits = std::bit_width(m >> shift);
  }
  std::uint8_t extract(std::uint32_t value) const {
    if (bits == 0) return 0;
    const std::uint32_t v = (value & mask) >> shift;
    if (bits >= 8) return static_cast<std::uint8_t>(v >> (bits - 8));
    const std::uint32_t max = (1u << bits) - 1;
    return static_cast<std::uint8_t>((v * 255 + max / 2) / max);
  }
};

}  // namespace

std::optional<Image> decodeBmp(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 26 || bytes[0] != 'B' || bytes[1] != 'M') return std::nullopt;
  const std::uint64_t pixelOffset = readLe(bytes, 10, 4);
  const std::uint64_t dibSize = readLe(bytes, 14, 4);
  std::int64_t width = 0;
  std::int64_t height = 0;
  int bpp = 0;
  std::uint32_t compression = 0;
  std::uint64_t coloursUsed = 0;
  std::uint64_t paletteStart = 14 + dibSize;
  std::size_t paletteEntrySize = 4;
  std::uint32_t masks[3] = {0, 0, 0};
  if (dibSize == 12) {
    width = readLe(bytes, 18, 2);
    height = readLe(bytes, 20, 2);
    bpp = static_cast<int>(readLe(bytes, 24, 2));
    paletteEntrySize = 3;
  } else if (dibSize >= 40 && dibSize <= 1024 && 14 + dibSize <= bytes.size()) {
    width = static_cast<std::int32_t>(readLe(bytes, 18, 4));
    height = static_cast<std::int32_t>(readLe(bytes, 22, 4));
    bpp = static_cast<int>(readLe(bytes, 28, 2));
    compression = readLe(bytes, 30, 4);
    coloursUsed = readLe(bytes, 46, 4);
    if (compression == 3) {
      std::uint64_t maskAt = 54;
      if (dibSize == 40) {
        paletteStart += 12;
      }
      if (maskAt + 12 > bytes.size()) return std::nullopt;
      for (int i = 0; i < 3; ++i) masks[i] = readLe(bytes, maskAt + 4 * i, 4);
    }
  } else {
    return std::nullopt;
  }
  const bool topDown = height < 0;
  if (topDown) height = -height;
  if (width <= 0 || height <= 0 || !sizeAllowed(width, height)) return std::nullopt;
  if (compression != 0 && !(compression == 3 && (bpp == 16 || bpp == 32))) return std::nullopt;
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) {
    return std::nullopt;
  }
  const std::uint64_t stride = ((static_cast<std::uint64_t>(width) * bpp + 31) / 32) * 4;
  if (pixelOffset > bytes.size() || stride * height > bytes.size() - pixelOffset) {
    return std::nullopt;
  }

  Image image;
  image.width = static_cast<std::uint32_t>(width);
  image.height = static_cast<std::uint32_t>(height);
  image.bitsPerPixel = bpp;
  image.bgra.assign(image.pixelCount() * 4, 0);

  if (bpp <= 8) {
    std::uint64_t count = coloursUsed != 0 ? coloursUsed : (1u << bpp);
    if (count > 256) return std::nullopt;
    if (paletteStart + count * paletteEntrySize > bytes.size()) return std::nullopt;
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::size_t at = paletteStart + i * paletteEntrySize;
      image.palette.push_back({bytes[at], bytes[at + 1], bytes[at + 2], 255});
    }
    image.indexed = true;
    std::vector<std::uint8_t> indices(image.pixelCount());
    for (std::uint32_t y = 0; y < image.height; ++y) {
      const std::uint32_t fileRow = topDown ? y : image.height - 1 - y;
      const std::uint8_t* row = bytes.data() + pixelOffset + fileRow * stride;
      std::uint8_t* dst = indices.data() + std::size_t{y} * image.width;
      for (std::uint32_t x = 0; x < image.width; ++x) {
        const std::uint64_t bit = std::uint64_t{x} * bpp;
        const std::uint8_t byte = row[bit / 8];
        const int shift = 8 - bpp - static_cast<int>(bit % 8);
        dst[x] = static_cast<std::uint8_t>((byte >> shift) & ((1u << bpp) - 1));
      }
    }
    expandPalette(image, indices);
    if (bpp == 8) image.paletteIndex = std::move(indices);
    return image;
  }

  if (compression == 0) {
    if (bpp == 16) {
      masks[0] = 0x7c00;
      masks[1] = 0x03e0;
      masks[2] = 0x001f;
    } else {
      masks[0] = 0x00ff0000;
      masks[1] = 0x0000ff00;
      masks[2] = 0x000000ff;
    }
  }
  const ChannelMask red(masks[0]);
  const ChannelMask green(masks[1]);
  const ChannelMask blue(masks[2]);
  const int bytesPerPixel = bpp / 8;
  for (std::uint32_t y = 0; y < image.height; ++y) {
    const std::uint32_t fileRow = topDown ? y : image.height - 1 - y;
    const std::uint8_t* row = bytes.data() + pixelOffset + fileRow * stride;
    std::uint8_t* dst = image.bgra.data() + std::size_t{y} * image.width * 4;
    for (std::uint32_t x = 0; x < image.width; ++x, dst += 4) {
      const std::uint8_t* src = row + std::size_t{x} * bytesPerPixel;
      if (bpp == 24) {
        dst[0] = src[0];
        dst[1] = src[1];
        dst[2] = src[2];
      } else {
        std::uint32_t value = src[0] | (src[1] << 8);
        if (bpp == 32) value |= (std::uint32_t{src[2]} << 16) | (std::uint32_t{src[3]} << 24);
        dst[0] = blue.extract(value);
        dst[1] = green.extract(value);
        dst[2] = red.extract(value);
      }
      dst[3] = 255;
    }
  }
  return image;
}

}  // namespace tivra::platform::detail

#include "support/png_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace tivra::test {

namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint32_t kMaxSide = 16384;

std::uint32_t be32(std::span<const std::uint8_t> b, std::size_t at) {
  if (at + 4 > b.size()) throw std::runtime_error("png: truncated");
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
         (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

int paeth(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return a;
  return pb <= pc ? b : c;
}

}  // namespace

PngImage readPng(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 8 || !std::equal(kSignature, kSignature + 8, bytes.begin())) {
    throw std::runtime_error("png: bad signature");
  }
  PngImage img;
  std::vector<std::uint8_t> idat;
  bool sawHeader = false, sawEnd = false;
  std::size_t at = 8;
  while (!sawEnd) {
    const std::uint32_t length = be32(bytes, at);
    if (length > bytes.size() || at + 12 + length > bytes.size()) {
      throw std::runtime_error("png: chunk runs past the end");
    }
    const std::string type(reinterpret_cast<const char*>(bytes.data() + at + 4), 4);
    const auto body = bytes.subspan(at + 8, length);
    const auto crc = crc32(0L, bytes.data() + at + 4, static_cast<uInt>(length + 4));
    if (crc != be32(bytes, at + 8 + length)) throw std::runtime_error("png: CRC of " + type);
    if (!sawHeader && type != "IHDR") throw std::runtime_error("png: IHDR is not first");
    if (type == "IHDR") {
      if (sawHeader || length != 13) throw std::runtime_error("png: bad IHDR");
      sawHeader = true;
      img.width = be32(body, 0);
      img.height = be32(body, 4);
      img.colourType = body[9];
      if (body[8] != 8 || (img.colourType != 2 && img.colourType != 6) || body[10] != 0 ||
          body[11] != 0 || body[12] != 0) {
        throw std::runtime_error("png: only 8-bit RGB/RGBA, not interlaced");
      }
      if (img.width == 0 || img.height == 0 || img.width > kMaxSide || img.height > kMaxSide) {
        throw std::runtime_error("png: bad size");
      }
      img.channels = img.colourType == 6 ? 4 : 3;
    } else if (type == "IDAT") {
      idat.insert(idat.end(), body.begin(), body.end());
    } else if (type == "IEND") {
      sawEnd = true;
    }
    at += 12 + length;
  }
  if (at != bytes.size()) throw std::runtime_error("png: bytes after IEND");

  const std::size_t stride = static_cast<std::size_t>(img.width) * img.channels;
  std::vector<std::uint8_t> raw(img.height * (stride + 1));
  uLongf rawSize = raw.size();
  if (uncompress(raw.data(), &rawSize, idat.data(), idat.size()) != Z_OK || rawSize != raw.size()) {
    throw std::runtime_error("png: image data does not inflate to the image size");
  }
  img.pixels.resize(img.height * stride);
  const int bpp = img.channels;
  for (std::uint32_t y = 0; y < img.height; ++y) {
    const std::uint8_t filter = raw[y * (stride + 1)];
    if (filter > 4) throw std::runtime_error("png: bad filter type");
    const std::uint8_t* in = raw.data() + y * (stride + 1) + 1;
    std::uint8_t* row = img.pixels.data() + y * stride;
    const std::uint8_t* prev = y > 0 ? row - stride : nullptr;
    for (std::size_t i = 0; i < stride; ++i) {
      const int a = i >= static_cast<std::size_t>(bpp) ? row[i - bpp] : 0;
      const int b = prev ? prev[i] : 0;
      const int c = prev && i >= static_cast<std::size_t>(bpp) ? prev[i - bpp] : 0;
      int pred = 0;
      switch (filter) {
        case 1:
          pred = a;
          break;
        case 2:
          pred = b;
          break;
        case 3:
          pred = (a + b) / 2;
          break;
        case 4:
          pred = paeth(a, b, c);
          break;
        default:
          break;
      }
      row[i] = static_cast<std::uint8_t>(in[i] + pred);
    }
  }
  return img;
}

}  // namespace tivra::test

#include "tiles/whole_image.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace tivra::tiles {

namespace {

using Bytes = std::span<const std::uint8_t>;

std::uint32_t bigEndian32(Bytes b, std::size_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 |
         std::uint32_t{b[at + 2]} << 8 | std::uint32_t{b[at + 3]};
}

std::uint32_t littleEndian32(Bytes b, std::size_t at) {
  return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
         std::uint32_t{b[at + 3]} << 24;
}

bool startsWith(Bytes b, std::span<const std::uint8_t> prefix) {
  return b.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), b.begin());
}

bool wholePng(Bytes b) {
  // Every step moves past at least one 12-byte chunk frame, so the walk ends.
  std::size_t at = 8;
  bool first = true;
  while (b.size() - at >= 12) {
    const std::uint64_t length = bigEndian32(b, at);
    const std::array<std::uint8_t, 4> type = {b[at + 4], b[at + 5], b[at + 6], b[at + 7]};
    const std::uint64_t end = at + 12 + length;
    if (length > 0x7fffffff || end > b.size()) return false;
    const auto is = [&](const char* name) {
      return std::equal(type.begin(), type.end(), reinterpret_cast<const std::uint8_t*>(name));
    };
    if (first && (!is("IHDR") || length != 13)) return false;
    first = false;
    if (is("IEND")) return length == 0;
    at = static_cast<std::size_t>(end);
  }
  return false;
}

bool wholeJpeg(Bytes b) {
  std::size_t at = 2;
  while (at < b.size()) {
    if (b[at] != 0xff) return false;
    while (at < b.size() && b[at] == 0xff) ++at;  // fill bytes before a marker
    if (at >= b.size()) return false;
    const std::uint8_t marker = b[at++];
    if (marker == 0xd9) return true;
    if ((marker >= 0xd0 && marker <= 0xd7) || marker == 0x01) continue;  // no length
    if (marker == 0x00 || marker == 0xd8) return false;
    if (b.size() - at < 2) return false;
    const std::size_t length = std::size_t{b[at]} << 8 | b[at + 1];
    if (length < 2 || length > b.size() - at) return false;
    at += length;
    if (marker != 0xda) continue;
    // Entropy-coded data: FF is followed by 00 (a stuffed byte), a restart marker or fill;
    // anything else is the next marker.
    while (at < b.size()) {
      if (b[at] != 0xff) {
        ++at;
        continue;
      }
      if (at + 1 >= b.size()) return false;
      const std::uint8_t next = b[at + 1];
      if (next == 0x00 || (next >= 0xd0 && next <= 0xd7)) {
        at += 2;
      } else if (next == 0xff) {
        ++at;
      } else {
        break;
      }
    }
  }
  return false;
}

// Skips a chain of data sub-blocks (a length byte, then that many bytes) ended by a 0 length;
// false when the bytes end first.
bool skipSubBlocks(Bytes b, std::size_t& at) {
  while (at < b.size()) {
    const std::size_t length = b[at++];
    if (length == 0) return true;
    if (length > b.size() - at) return false;
    at += length;
  }
  return false;
}

std::size_t colourTableBytes(std::uint8_t packed) {
  return (packed & 0x80) != 0 ? 3 * (std::size_t{1} << ((packed & 7) + 1)) : 0;
}

bool wholeGif(Bytes b) {
  if (b.size() < 13) return false;
  std::size_t at = 13 + colourTableBytes(b[10]);
  bool image = false;
  while (at < b.size()) {
    const std::uint8_t block = b[at++];
    if (block == 0x3b) return image;
    if (block == 0x21) {
      if (at >= b.size()) return false;
      ++at;  // the extension's label
      if (!skipSubBlocks(b, at)) return false;
    } else if (block == 0x2c) {
      if (b.size() - at < 10) return false;
      at += 9 + colourTableBytes(b[at + 8]);
      if (at >= b.size()) return false;
      ++at;  // the LZW minimum code size
      if (!skipSubBlocks(b, at)) return false;
      image = true;
    } else {
      return false;
    }
  }
  return false;
}

bool wholeBmp(Bytes b) {
  // The file header (14 bytes) and the smallest information header (12).
  constexpr std::uint32_t kSmallest = 26;
  if (b.size() < kSmallest) return false;
  const std::uint32_t declared = littleEndian32(b, 2);
  const std::uint32_t pixels = littleEndian32(b, 10);
  return declared >= kSmallest && declared <= b.size() && pixels <= declared;
}

}  // namespace

bool isWholeImage(std::span<const std::uint8_t> bytes) {
  static constexpr std::uint8_t kPng[] = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a};
  static constexpr std::uint8_t kJpeg[] = {0xff, 0xd8};
  static constexpr std::uint8_t kGif87[] = {'G', 'I', 'F', '8', '7', 'a'};
  static constexpr std::uint8_t kGif89[] = {'G', 'I', 'F', '8', '9', 'a'};
  static constexpr std::uint8_t kBmp[] = {'B', 'M'};
  if (startsWith(bytes, kPng)) return wholePng(bytes);
  if (startsWith(bytes, kJpeg)) return wholeJpeg(bytes);
  if (startsWith(bytes, kGif87) || startsWith(bytes, kGif89)) return wholeGif(bytes);
  if (startsWith(bytes, kBmp)) return wholeBmp(bytes);
  return false;
}

}  // namespace tivra::tiles

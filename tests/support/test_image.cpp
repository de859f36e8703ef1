#include "support/test_image.h"

#include <cstring>

namespace tivra::test {

namespace {

void putU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

std::uint32_t getU32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

std::string encodeTestImage(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b,
                            std::uint8_t a) {
  std::string out = "RGBA";
  putU32(out, static_cast<std::uint32_t>(width));
  putU32(out, static_cast<std::uint32_t>(height));
  for (int i = 0; i < width * height; ++i) {
    out.push_back(static_cast<char>(r));
    out.push_back(static_cast<char>(g));
    out.push_back(static_cast<char>(b));
    out.push_back(static_cast<char>(a));
  }
  return out;
}

std::optional<globe::RgbaImage> decodeTestImage(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RGBA", 4) != 0) return std::nullopt;
  const std::uint32_t w = getU32(bytes.data() + 4), h = getU32(bytes.data() + 8);
  if (w == 0 || h == 0 || w > 4096 || h > 4096) return std::nullopt;
  const std::size_t need = static_cast<std::size_t>(w) * h * 4;
  if (bytes.size() - 12 != need) return std::nullopt;
  globe::RgbaImage img;
  img.width = static_cast<int>(w);
  img.height = static_cast<int>(h);
  img.rgba.assign(bytes.begin() + 12, bytes.end());
  return img;
}

}  // namespace tivra::test

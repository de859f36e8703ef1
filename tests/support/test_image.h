#pragma once

// The tests' own image format, so globe pictures can be checked pixel by pixel without a real
// codec: "RGBA", width and height as 32-bit little-endian, then width * height * 4 bytes.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "globe/globe_deps.h"

namespace tivra::test {

std::string encodeTestImage(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b,
                            std::uint8_t a);
std::optional<globe::RgbaImage> decodeTestImage(std::span<const std::uint8_t> bytes);

}  // namespace tivra::test

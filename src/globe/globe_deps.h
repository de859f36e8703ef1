#pragma once

// What the simulated globe borrows from the program: it has no network or image code of its
// own. Each function must be callable from any thread and must return in bounded time.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace tivra::globe {

struct HttpAnswer {
  int status = 0;
  std::vector<std::uint8_t> body;
  bool ok = false;  // a response arrived (any status)
};

// Blocking GET with its own time-outs.
using HttpGet = std::function<HttpAnswer(std::string_view url)>;

// Rows from the top, 4 bytes per pixel (r, g, b, a), no padding.
struct RgbaImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgba;
};

using ImageDecoder = std::function<std::optional<RgbaImage>(std::span<const std::uint8_t>)>;
using PngEncoder = std::function<std::vector<std::uint8_t>(const RgbaImage&)>;

struct SimGlobeDeps {
  HttpGet httpGet;
  ImageDecoder decodeImage;
  PngEncoder encodePng;  // only needed for renderPng()
};

}  // namespace tivra::globe

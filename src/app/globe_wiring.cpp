#include "app/globe_wiring.h"

#include <utility>

#include "platform/http_client.h"
#include "platform/image_codec.h"

namespace tivra::app {

namespace detail {

// Swaps the red and blue bytes of every 4-byte pixel: BGRA <-> RGBA.
void swapRedBlue(std::vector<std::uint8_t>& pixels) {
  for (std::size_t i = 0; i + 3 < pixels.size(); i += 4) std::swap(pixels[i], pixels[i + 2]);
}

}  // namespace detail

HttpGet makeHttpGet(const GlobeWiringOptions& options) {
  return [options](std::string_view url) {
    HttpAnswer answer;
    platform::HttpClient client;
    if (!client.valid()) return answer;
    platform::HttpGetOptions get;
    get.connectTimeout = options.connectTimeout;
    get.totalTimeout = options.totalTimeout;
    get.allowHttp09 = true;
    const std::size_t limit = options.maxBodyBytes;
    std::vector<std::uint8_t> body;
    const auto result = client.get(url, get, {}, [&](std::span<const std::uint8_t> piece) {
      if (piece.size() > limit - body.size()) return false;
      body.insert(body.end(), piece.begin(), piece.end());
      return true;
    });
    if (result.error != platform::HttpError::None || !result.headComplete) return answer;
    // A bare answer has no head at all: the body is the whole answer.
    answer.status = result.head.status == 0 ? 200 : result.head.status;
    answer.body = std::move(body);
    answer.ok = true;
    return answer;
  };
}

std::optional<RgbaImage> decodeRgba(std::span<const std::uint8_t> bytes) {
  auto image = platform::decodeImage(bytes);
  if (!image || image->width == 0 || image->height == 0 ||
      image->bgra.size() != image->pixelCount() * 4) {
    return std::nullopt;
  }
  RgbaImage out;
  out.width = static_cast<int>(image->width);
  out.height = static_cast<int>(image->height);
  out.rgba = std::move(image->bgra);
  detail::swapRedBlue(out.rgba);
  return out;
}

std::vector<std::uint8_t> encodeRgbaPng(const RgbaImage& image) {
  if (image.width <= 0 || image.height <= 0) return {};
  auto bgra = platform::Image::makeBgra(static_cast<std::uint32_t>(image.width),
                                        static_cast<std::uint32_t>(image.height));
  if (!bgra || image.rgba.size() != bgra->bgra.size()) return {};
  bgra->bgra = image.rgba;
  detail::swapRedBlue(bgra->bgra);
  return platform::encodePngRgba(*bgra).value_or(std::vector<std::uint8_t>{});
}

SimGlobeDeps makeGlobeDeps(const GlobeWiringOptions& options) {
  return SimGlobeDeps{makeHttpGet(options), decodeRgba, encodeRgbaPng};
}

}  // namespace tivra::app

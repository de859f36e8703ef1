#include "app/globe_wiring.h"

#include <algorithm>
#include <string>
#include <utility>

#include "globe/url.h"

#include "platform/http_client.h"
#include "platform/image_codec.h"

namespace tivra::app {

namespace detail {

// Swaps the red and blue bytes of every 4-byte pixel: BGRA <-> RGBA.
void swapRedBlue(std::vector<std::uint8_t>& pixels) {
  for (std::size_t i = 0; i + 3 < pixels.size(); i += 4) std::swap(pixels[i], pixels[i + 2]);
}

bool isRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace detail

HttpGet makeHttpGet(const GlobeWiringOptions& options) {
  return [options](std::string_view firstUrl) {
    HttpAnswer answer;
    platform::HttpClient client;
    if (!client.valid()) return answer;
    // Time-outs hold for the whole exchange, redirects included.
    const auto deadline = std::chrono::steady_clock::now() + options.totalTimeout;
    std::string url(firstUrl);
    for (int hop = 0; hop <= kMaxRedirects; ++hop) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left <= std::chrono::milliseconds(0)) return HttpAnswer{};
      platform::HttpGetOptions get;
      get.connectTimeout = std::min(options.connectTimeout, left);
      get.totalTimeout = left;
      get.allowHttp09 = true;
      const std::size_t limit = options.maxBodyBytes;
      std::vector<std::uint8_t> body;
      const auto result = client.get(url, get, {}, [&](std::span<const std::uint8_t> piece) {
        if (piece.size() > limit - body.size()) return false;
        body.insert(body.end(), piece.begin(), piece.end());
        return true;
      });
      if (result.error != platform::HttpError::None || !result.headComplete) return HttpAnswer{};
      const int status = result.head.status;
      if (detail::isRedirect(status)) {
        // A KML client follows the tile server's redirects (ImageServer sends the placeholder
        // that way); the last hop's answer is kept when there is nowhere to go.
        const auto location = platform::headerValue(result.head.rawHeaders, "Location");
        if (location && !location->empty() && hop < kMaxRedirects) {
          url = globe::resolveHref(url, *location);
          if (globe::isHttpUrl(url)) continue;
        }
      }
      // A bare answer has no head at all: the body is the whole answer.
      answer.status = status == 0 ? 200 : status;
      answer.body = std::move(body);
      answer.ok = true;
      return answer;
    }
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

BuiltInGlobe::BuiltInGlobe(BuiltInGlobeOptions options) : m_options(std::move(options)) {}

BuiltInGlobe::~BuiltInGlobe() {
  release();
}

globe::EarthFactory BuiltInGlobe::factory() {
  return [this]() -> std::unique_ptr<globe::Earth> {
    const std::lock_guard lock(m_mutex);
    if (!m_globe) {
      SimGlobeDeps deps = makeGlobeDeps(m_options.wiring);
      if (m_options.wrapHttpGet) deps.httpGet = m_options.wrapHttpGet(std::move(deps.httpGet));
      m_globe = std::make_unique<globe::SimGlobe>(std::move(deps), m_options.globe);
    }
    return m_globe->connect();
  };
}

globe::SimGlobe* BuiltInGlobe::globe() const {
  const std::lock_guard lock(m_mutex);
  return m_globe.get();
}

void BuiltInGlobe::release() {
  std::unique_ptr<globe::SimGlobe> ending;
  {
    const std::lock_guard lock(m_mutex);
    ending = std::move(m_globe);
  }
}

}  // namespace tivra::app

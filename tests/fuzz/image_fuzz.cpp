// Decodes arbitrary bytes as a tile image and, when that works, runs the transparency
// processing and the PNG encoder on the result, which must decode again to the same size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/image_codec.h"
#include "tiles/transparency.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const auto image = tivra::platform::decodeImage(bytes);
  if (!image) return 0;
  if (image->bgra.size() != image->pixelCount() * 4) std::abort();
  if (!image->paletteIndex.empty() && image->paletteIndex.size() != image->pixelCount()) {
    std::abort();
  }
  // Encoding is the slow part; large images add nothing the small ones do not cover.
  if (image->pixelCount() > 512 * 512) return 0;
  const tivra::platform::Image out = tivra::tiles::ProcessPixels(*image, size % 7, size % 8);
  const auto png = tivra::platform::encodePngRgba(out);
  if (!png) std::abort();
  const auto again = tivra::platform::decodeImage(*png);
  if (!again || again->width != image->width || again->height != image->height ||
      again->bgra != out.bgra) {
    std::abort();
  }
  return 0;
}

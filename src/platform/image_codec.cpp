#include "platform/image_codec.h"

#include <cstring>
#include <new>

#include "platform/image_codec_detail.h"

namespace tivra::platform {

namespace detail {

bool sizeAllowed(std::uint64_t width, std::uint64_t height) {
  return width > 0 && height > 0 && width <= kMaxImageSide && height <= kMaxImageSide &&
         width * height <= kMaxImagePixels;
}

void expandPalette(Image& image, const std::vector<std::uint8_t>& indices) {
  const std::size_t count = image.pixelCount();
  std::uint8_t* out = image.bgra.data();
  for (std::size_t i = 0; i < count; ++i, out += 4) {
    const std::uint8_t index = indices[i];
    if (index < image.palette.size()) {
      std::memcpy(out, image.palette[index].data(), 4);
    } else {
      out[0] = out[1] = out[2] = 0;
      out[3] = 255;
    }
  }
}

}  // namespace detail

std::optional<Image> Image::makeBgra(std::uint32_t width, std::uint32_t height) {
  if (!detail::sizeAllowed(width, height)) return std::nullopt;
  Image image;
  image.width = width;
  image.height = height;
  image.bitsPerPixel = 32;
  image.hasAlpha = true;
  image.bgra.assign(image.pixelCount() * 4, 0);
  return image;
}

ImageFormat sniffImageFormat(std::span<const std::uint8_t> bytes) {
  static constexpr std::uint8_t kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (bytes.size() >= 8 && std::memcmp(bytes.data(), kPng, 8) == 0) return ImageFormat::Png;
  if (bytes.size() >= 3 && bytes[0] == 0xff && bytes[1] == 0xd8 && bytes[2] == 0xff) {
    return ImageFormat::Jpeg;
  }
  if (bytes.size() >= 6 && (std::memcmp(bytes.data(), "GIF87a", 6) == 0 ||
                            std::memcmp(bytes.data(), "GIF89a", 6) == 0)) {
    return ImageFormat::Gif;
  }
  if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M') return ImageFormat::Bmp;
  return ImageFormat::Unknown;
}

std::optional<Image> decodeImage(std::span<const std::uint8_t> bytes) {
  try {
    switch (sniffImageFormat(bytes)) {
      case ImageFormat::Png:
        return detail::decodePng(bytes);
      case ImageFormat::Jpeg:
        return detail::decodeJpeg(bytes);
      case ImageFormat::Gif:
        return detail::decodeGif(bytes);
      case ImageFormat::Bmp:
        return detail::decodeBmp(bytes);
      case ImageFormat::Unknown:
        break;
    }
  } catch (const std::bad_alloc&) {
    // An image within the size limits that still does not fit in memory is as good as broken.
  }
  return std::nullopt;
}

namespace {

// An encode within the size limits that still does not fit in memory gives nothing.
template <typename Encode>
std::optional<std::vector<std::uint8_t>> encodeOrNothing(Encode encode) {
  try {
    return encode();
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<std::vector<std::uint8_t>> encodePngRgba(const Image& image,
                                                       const PngEncodeOptions& options) {
  return encodeOrNothing([&] { return detail::encodePng({&image, false, options}); });
}

std::optional<std::vector<std::uint8_t>> encodePngPalette(const Image& image,
                                                          const PngEncodeOptions& options) {
  return encodeOrNothing([&] { return detail::encodePng({&image, true, options}); });
}

std::optional<std::vector<std::uint8_t>> encodeJpeg(const Image& image, int quality) {
  return encodeOrNothing([&] { return detail::encodeJpegBgra(image, quality); });
}

}  // namespace tivra::platform

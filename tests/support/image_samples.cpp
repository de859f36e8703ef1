#include "support/image_samples.h"

#include <gif_lib.h>
#include <zlib.h>

#include <cstring>
#include <stdexcept>

namespace tivra::test {

namespace {

int gifWriteToVector(GifFileType* gif, const GifByteType* data, int length) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(gif->UserData);
  out->insert(out->end(), data, data + length);
  return length;
}

void putLe(std::vector<std::uint8_t>& out, std::uint32_t value, int size) {
  for (int i = 0; i < size; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

std::vector<std::uint8_t> makeGif(int screenWidth, int screenHeight, int left, int top, int width,
                                  int height,
                                  const std::vector<std::array<std::uint8_t, 4>>& palette,
                                  const std::vector<std::uint8_t>& indices, bool interlaced,
                                  int backgroundIndex) {
  std::vector<std::uint8_t> out;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, gifWriteToVector, &error);
  if (gif == nullptr) throw std::runtime_error("EGifOpen");
  int size = 2;
  while (size < static_cast<int>(palette.size())) size *= 2;
  std::vector<GifColorType> colours(static_cast<std::size_t>(size), GifColorType{0, 0, 0});
  for (std::size_t i = 0; i < palette.size(); ++i) {
    colours[i] = GifColorType{palette[i][2], palette[i][1], palette[i][0]};
  }
  ColorMapObject* map = GifMakeMapObject(size, colours.data());
  bool ok = EGifPutScreenDesc(gif, screenWidth, screenHeight, 8, backgroundIndex, map) == GIF_OK;
  ok = ok && EGifPutImageDesc(gif, left, top, width, height, interlaced, nullptr) == GIF_OK;
  if (ok) {
    std::vector<GifPixelType> line(static_cast<std::size_t>(width));
    const auto putRow = [&](int row) {
      std::memcpy(line.data(), indices.data() + static_cast<std::size_t>(row) * width,
                  static_cast<std::size_t>(width));
      return EGifPutLine(gif, line.data(), width) == GIF_OK;
    };
    if (interlaced) {
      const int start[] = {0, 4, 2, 1};
      const int step[] = {8, 8, 4, 2};
      for (int pass = 0; pass < 4 && ok; ++pass) {
        for (int row = start[pass]; row < height && ok; row += step[pass]) ok = putRow(row);
      }
    } else {
      for (int row = 0; row < height && ok; ++row) ok = putRow(row);
    }
  }
  GifFreeMapObject(map);
  EGifCloseFile(gif, &error);
  if (!ok) throw std::runtime_error("giflib write");
  return out;
}

std::vector<std::uint8_t> makeBmp(int width, int height, int bitsPerPixel,
                                  const std::vector<std::uint8_t>& rowsTopDown,
                                  const std::vector<std::array<std::uint8_t, 4>>& palette,
                                  bool topDown, std::array<std::uint32_t, 3> masks) {
  const bool bitfields = masks[0] != 0 || masks[1] != 0 || masks[2] != 0;
  const std::size_t packedRow = (static_cast<std::size_t>(width) * bitsPerPixel + 7) / 8;
  const std::size_t stride = ((static_cast<std::size_t>(width) * bitsPerPixel + 31) / 32) * 4;
  const std::size_t headerSize = 14 + 40 + (bitfields ? 12 : 0) + palette.size() * 4;
  std::vector<std::uint8_t> out;
  out.push_back('B');
  out.push_back('M');
  putLe(out, static_cast<std::uint32_t>(headerSize + stride * height), 4);
  putLe(out, 0, 4);
  putLe(out, static_cast<std::uint32_t>(headerSize), 4);
  putLe(out, 40, 4);
  putLe(out, static_cast<std::uint32_t>(width), 4);
  putLe(out, static_cast<std::uint32_t>(topDown ? -height : height), 4);
  putLe(out, 1, 2);
  putLe(out, static_cast<std::uint32_t>(bitsPerPixel), 2);
  putLe(out, bitfields ? 3 : 0, 4);
  putLe(out, static_cast<std::uint32_t>(stride * height), 4);
  putLe(out, 2835, 4);
  putLe(out, 2835, 4);
  putLe(out, static_cast<std::uint32_t>(palette.size()), 4);
  putLe(out, 0, 4);
  if (bitfields) {
    for (const std::uint32_t mask : masks) putLe(out, mask, 4);
  }
  for (const auto& entry : palette) {
    out.push_back(entry[0]);
    out.push_back(entry[1]);
    out.push_back(entry[2]);
    out.push_back(0);
  }
  for (int i = 0; i < height; ++i) {
    const int row = topDown ? i : height - 1 - i;
    const auto* src = rowsTopDown.data() + static_cast<std::size_t>(row) * packedRow;
    out.insert(out.end(), src, src + packedRow);
    out.insert(out.end(), stride - packedRow, 0);
  }
  return out;
}

std::vector<std::uint8_t> pngChunk(const char type[4], const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> out;
  const auto length = static_cast<std::uint32_t>(data.size());
  for (int i = 3; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
  // crc32 with a null buffer restarts the sum, so skip it for an empty chunk.
  if (!data.empty()) crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));
  for (int i = 3; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
  return out;
}

platform::Image patternImage(std::uint32_t width, std::uint32_t height, bool alpha) {
  auto image = *platform::Image::makeBgra(width, height);
  image.hasAlpha = alpha;
  image.bitsPerPixel = alpha ? 32 : 24;
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      std::uint8_t* p = image.bgra.data() + (std::size_t{y} * width + x) * 4;
      p[0] = static_cast<std::uint8_t>(x * 7 + y);
      p[1] = static_cast<std::uint8_t>(y * 5 + 3);
      p[2] = static_cast<std::uint8_t>(x * 3 + y * 11);
      p[3] = alpha ? static_cast<std::uint8_t>(x + y * 13) : 255;
    }
  }
  return image;
}

}  // namespace tivra::test

#include <gif_lib.h>

#include <algorithm>
#include <cstring>

#include "platform/image_codec_detail.h"

namespace tivra::platform::detail {

namespace {

int gifReadFromMemory(GifFileType* gif, GifByteType* out, int length) {
  auto* src = static_cast<MemoryReader*>(gif->UserData);
  if (length <= 0) return 0;
  const std::size_t n =
      std::min<std::size_t>(static_cast<std::size_t>(length), src->size - src->pos);
  std::memcpy(out, src->data + src->pos, n);
  src->pos += n;
  return static_cast<int>(n);
}

class GifHandle {
 public:
  explicit GifHandle(MemoryReader& source) {
    int error = 0;
    m_gif = DGifOpen(&source, gifReadFromMemory, &error);
  }
  ~GifHandle() {
    if (m_gif != nullptr) {
      int error = 0;
      DGifCloseFile(m_gif, &error);
    }
  }
  GifHandle(const GifHandle&) = delete;
  GifHandle& operator=(const GifHandle&) = delete;

  GifFileType* get() const { return m_gif; }

 private:
  GifFileType* m_gif = nullptr;
};

// Bounds the records skipped before the first image (comments, application blocks).
constexpr int kMaxGifRecords = 4096;

}  // namespace

std::optional<Image> decodeGif(std::span<const std::uint8_t> bytes) {
  MemoryReader source{bytes.data(), bytes.size(), 0};
  GifHandle handle(source);
  GifFileType* gif = handle.get();
  if (gif == nullptr) return std::nullopt;
  if (gif->SWidth <= 0 || gif->SHeight <= 0 || !sizeAllowed(gif->SWidth, gif->SHeight)) {
    return std::nullopt;
  }
  const auto screenWidth = static_cast<std::uint32_t>(gif->SWidth);
  const auto screenHeight = static_cast<std::uint32_t>(gif->SHeight);
  std::vector<std::uint8_t> indices(std::size_t{screenWidth} * screenHeight,
                                    static_cast<std::uint8_t>(gif->SBackGroundColor));
  const ColorMapObject* colours = nullptr;
  bool haveFrame = false;
  for (int record = 0; record < kMaxGifRecords && !haveFrame; ++record) {
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif, &type) != GIF_OK) return std::nullopt;
    if (type == TERMINATE_RECORD_TYPE) break;
    if (type == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* block = nullptr;
      if (DGifGetExtension(gif, &code, &block) != GIF_OK) return std::nullopt;
      // Sub-blocks are at most 255 bytes each, so the input size bounds this loop.
      while (block != nullptr) {
        if (DGifGetExtensionNext(gif, &block) != GIF_OK) return std::nullopt;
      }
      continue;
    }
    if (type != IMAGE_DESC_RECORD_TYPE) return std::nullopt;
    if (DGifGetImageDesc(gif) != GIF_OK) return std::nullopt;
    const GifImageDesc& desc = gif->Image;
    if (desc.Width <= 0 || desc.Height <= 0 || !sizeAllowed(desc.Width, desc.Height)) {
      return std::nullopt;
    }
    colours = desc.ColorMap != nullptr ? desc.ColorMap : gif->SColorMap;
    if (colours == nullptr) return std::nullopt;
    std::vector<GifPixelType> line(static_cast<std::size_t>(desc.Width));
    const auto readRow = [&](int row) {
      if (DGifGetLine(gif, line.data(), desc.Width) != GIF_OK) return false;
      const long y = static_cast<long>(desc.Top) + row;
      if (y < 0 || y >= static_cast<long>(screenHeight)) return true;
      for (int x = 0; x < desc.Width; ++x) {
        const long sx = static_cast<long>(desc.Left) + x;
        if (sx >= 0 && sx < static_cast<long>(screenWidth)) {
          indices[static_cast<std::size_t>(y) * screenWidth + static_cast<std::size_t>(sx)] =
              line[static_cast<std::size_t>(x)];
        }
      }
      return true;
    };
    if (desc.Interlace) {
      constexpr int kStart[] = {0, 4, 2, 1};
      constexpr int kStep[] = {8, 8, 4, 2};
      for (int pass = 0; pass < 4; ++pass) {
        for (int row = kStart[pass]; row < desc.Height; row += kStep[pass]) {
          if (!readRow(row)) return std::nullopt;
        }
      }
    } else {
      for (int row = 0; row < desc.Height; ++row) {
        if (!readRow(row)) return std::nullopt;
      }
    }
    haveFrame = true;
  }
  if (!haveFrame) return std::nullopt;

  Image image;
  image.width = screenWidth;
  image.height = screenHeight;
  image.bitsPerPixel = 8;
  image.indexed = true;
  const int count = std::min(colours->ColorCount, 256);
  for (int i = 0; i < count; ++i) {
    const GifColorType& c = colours->Colors[i];
    image.palette.push_back({c.Blue, c.Green, c.Red, 255});
  }
  image.bgra.assign(image.pixelCount() * 4, 0);
  expandPalette(image, indices);
  image.paletteIndex = std::move(indices);
  return image;
}

}  // namespace tivra::platform::detail

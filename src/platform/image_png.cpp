#include <png.h>

#include <csetjmp>
#include <cstring>
#include <new>
#include <utility>

#include "platform/image_codec_detail.h"

// libpng reports errors by longjmp. Every function below that calls setjmp keeps only trivially
// destructible locals, so a jump back into it skips no destructor; the objects that own memory
// live in the caller.

namespace tivra::platform::detail {

namespace {

[[noreturn]] void pngFail(png_structp png, png_const_charp /*message*/) {
  png_longjmp(png, 1);
}
void pngWarn(png_structp /*png*/, png_const_charp /*message*/) {}

void pngReadFromMemory(png_structp png, png_bytep out, png_size_t length) {
  auto* src = static_cast<MemoryReader*>(png_get_io_ptr(png));
  if (length > src->size - src->pos) png_error(png, "truncated");
  std::memcpy(out, src->data + src->pos, length);
  src->pos += length;
}

void pngWriteToVector(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  bool ok = true;
  try {
    out->insert(out->end(), data, data + length);
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (!ok) png_error(png, "out of memory");
}

void pngFlushNothing(png_structp /*png*/) {}

// One libpng read or write struct with its info struct.
class PngHandle {
 public:
  enum class Direction { Read, Write };

  explicit PngHandle(Direction direction) : m_direction(direction) {
    m_png = direction == Direction::Read
                ? png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFail, pngWarn)
                : png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFail, pngWarn);
    if (m_png != nullptr) m_info = png_create_info_struct(m_png);
  }
  ~PngHandle() { reset(); }
  PngHandle(PngHandle&& other) noexcept
      : m_direction(other.m_direction),
        m_png(std::exchange(other.m_png, nullptr)),
        m_info(std::exchange(other.m_info, nullptr)) {}
  PngHandle& operator=(PngHandle&& other) noexcept {
    if (this != &other) {
      reset();
      m_direction = other.m_direction;
      m_png = std::exchange(other.m_png, nullptr);
      m_info = std::exchange(other.m_info, nullptr);
    }
    return *this;
  }

  bool valid() const { return m_png != nullptr && m_info != nullptr; }
  png_structp png() const { return m_png; }
  png_infop info() const { return m_info; }

 private:
  void reset() noexcept {
    if (m_png == nullptr) return;
    png_infopp info = m_info != nullptr ? &m_info : nullptr;
    if (m_direction == Direction::Read) {
      png_destroy_read_struct(&m_png, info, nullptr);
    } else {
      png_destroy_write_struct(&m_png, info);
    }
    m_png = nullptr;
    m_info = nullptr;
  }

  Direction m_direction;
  png_structp m_png = nullptr;
  png_infop m_info = nullptr;
};

// Buffers that a PNG decode fills; they outlive the setjmp frame.
struct PngDecodeBuffers {
  std::vector<std::uint8_t> indices;
  std::vector<png_bytep> rows;
};

bool readPng(const PngHandle& handle, MemoryReader& source, Image& out, PngDecodeBuffers& buffers) {
  png_structp png = handle.png();
  png_infop info = handle.info();
  if (setjmp(png_jmpbuf(png))) return false;

  png_set_read_fn(png, &source, pngReadFromMemory);
  png_set_user_limits(png, kMaxImageSide, kMaxImageSide);
  png_read_info(png, info);

  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int depth = 0;
  int colourType = 0;
  png_get_IHDR(png, info, &width, &height, &depth, &colourType, nullptr, nullptr, nullptr);
  if (!sizeAllowed(width, height)) return false;
  out.width = width;
  out.height = height;
  out.bgra.assign(std::size_t{width} * height * 4, 0);

  if (colourType == PNG_COLOR_TYPE_PALETTE) {
    // Keep the indices: the transparency of index 30 depends on them, not on the colour.
    png_colorp plte = nullptr;
    int plteCount = 0;
    png_get_PLTE(png, info, &plte, &plteCount);
    png_bytep trns = nullptr;
    int trnsCount = 0;
    if (png_get_valid(png, info, PNG_INFO_tRNS) != 0) {
      png_get_tRNS(png, info, &trns, &trnsCount, nullptr);
    }
    out.palette.resize(static_cast<std::size_t>(plteCount));
    for (int i = 0; i < plteCount; ++i) {
      const std::uint8_t alpha = (trns != nullptr && i < trnsCount) ? trns[i] : 255;
      out.palette[i] = {plte[i].blue, plte[i].green, plte[i].red, alpha};
    }
    out.indexed = true;
    out.hasAlpha = trns != nullptr;
    out.bitsPerPixel = depth;
    if (depth < 8) png_set_packing(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != width) return false;
    buffers.indices.assign(std::size_t{width} * height, 0);
    buffers.rows.resize(height);
    for (png_uint_32 y = 0; y < height; ++y) {
      buffers.rows[y] = buffers.indices.data() + std::size_t{y} * width;
    }
    png_read_image(png, buffers.rows.data());
    png_read_end(png, nullptr);
    return true;
  }

  const bool grey = (colourType & PNG_COLOR_MASK_COLOR) == 0;
  bool alpha = (colourType & PNG_COLOR_MASK_ALPHA) != 0;
  if (depth == 16) png_set_strip_16(png);
  if (grey && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS) != 0) {
    png_set_tRNS_to_alpha(png);
    alpha = true;
  }
  if (grey) png_set_gray_to_rgb(png);
  png_set_bgr(png);
  if (!alpha) png_set_filler(png, 0xff, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != std::size_t{width} * 4) return false;
  out.hasAlpha = alpha;
  out.bitsPerPixel = alpha ? 32 : (grey ? 8 : 24);
  buffers.rows.resize(height);
  for (png_uint_32 y = 0; y < height; ++y) {
    buffers.rows[y] = out.bgra.data() + std::size_t{y} * width * 4;
  }
  png_read_image(png, buffers.rows.data());
  png_read_end(png, nullptr);
  return true;
}

bool writePng(const PngHandle& handle, const PngEncodeJob& job, std::vector<std::uint8_t>& out,
              std::vector<png_bytep>& rows, std::vector<png_color>& plte,
              std::vector<png_byte>& trns) {
  png_structp png = handle.png();
  png_infop info = handle.info();
  if (setjmp(png_jmpbuf(png))) return false;

  const Image& image = *job.image;
  png_set_write_fn(png, &out, pngWriteToVector, pngFlushNothing);
  png_set_compression_level(png, job.options.zlibLevel);
  png_set_filter(png, PNG_FILTER_TYPE_BASE,
                 job.options.filterRows ? PNG_ALL_FILTERS : PNG_FILTER_NONE);
  png_set_IHDR(png, info, image.width, image.height, 8,
               job.palette ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
  png_bytep base = nullptr;
  std::size_t stride = 0;
  if (job.palette) {
    png_set_PLTE(png, info, plte.data(), static_cast<int>(plte.size()));
    if (!trns.empty()) {
      png_set_tRNS(png, info, trns.data(), static_cast<int>(trns.size()), nullptr);
    }
    base = const_cast<png_bytep>(image.paletteIndex.data());
    stride = image.width;
  } else {
    png_set_bgr(png);
    base = const_cast<png_bytep>(image.bgra.data());
    stride = std::size_t{image.width} * 4;
  }
  rows.resize(image.height);
  for (std::uint32_t y = 0; y < image.height; ++y) rows[y] = base + y * stride;
  png_write_info(png, info);
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

std::optional<Image> decodePng(std::span<const std::uint8_t> bytes) {
  PngHandle handle(PngHandle::Direction::Read);
  if (!handle.valid()) return std::nullopt;
  MemoryReader source{bytes.data(), bytes.size(), 0};
  Image image;
  PngDecodeBuffers buffers;
  if (!readPng(handle, source, image, buffers)) return std::nullopt;
  if (image.indexed) {
    expandPalette(image, buffers.indices);
    if (image.bitsPerPixel == 8) image.paletteIndex = std::move(buffers.indices);
  }
  return image;
}

std::optional<std::vector<std::uint8_t>> encodePng(const PngEncodeJob& job) {
  const Image& image = *job.image;
  if (!sizeAllowed(image.width, image.height)) return std::nullopt;
  std::vector<png_color> plte;
  std::vector<png_byte> trns;
  if (job.palette) {
    if (image.palette.empty() || image.palette.size() > 256 ||
        image.paletteIndex.size() != image.pixelCount()) {
      return std::nullopt;
    }
    for (const auto& entry : image.palette) {
      plte.push_back(png_color{entry[2], entry[1], entry[0]});
      trns.push_back(entry[3]);
    }
    while (!trns.empty() && trns.back() == 255) trns.pop_back();
  } else if (image.bgra.size() != image.pixelCount() * 4) {
    return std::nullopt;
  }
  PngHandle handle(PngHandle::Direction::Write);
  if (!handle.valid()) return std::nullopt;
  std::vector<std::uint8_t> out;
  std::vector<png_bytep> rows;
  out.reserve(image.pixelCount() / 2 + 1024);
  if (!writePng(handle, job, out, rows, plte, trns)) return std::nullopt;
  return out;
}

}  // namespace tivra::platform::detail

#include "platform/image_codec.h"

#include <gif_lib.h>
#include <jerror.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cstdio>  // jpeglib.h needs FILE
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <jpeglib.h>

// libpng and libjpeg report errors by longjmp. Every function below that calls setjmp keeps
// only trivially destructible locals, so a jump back into it skips no destructor; the objects
// that own memory live in the caller.

namespace tivra::platform {

namespace detail {

bool sizeAllowed(std::uint64_t width, std::uint64_t height) {
  return width > 0 && height > 0 && width <= kMaxImageSide && height <= kMaxImageSide &&
         width * height <= kMaxImagePixels;
}

// Fills `bgra` from the palette for every pixel index; an index past the palette is black, as
// a viewer shows it.
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

// ---------------------------------------------------------------- PNG

struct MemoryReader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos;
};

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

class PngReadHandle {
 public:
  PngReadHandle() {
    m_png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFail, pngWarn);
    if (m_png != nullptr) m_info = png_create_info_struct(m_png);
  }
  ~PngReadHandle() {
    if (m_png != nullptr) png_destroy_read_struct(&m_png, m_info ? &m_info : nullptr, nullptr);
  }
  PngReadHandle(const PngReadHandle&) = delete;
  PngReadHandle& operator=(const PngReadHandle&) = delete;

  bool valid() const { return m_png != nullptr && m_info != nullptr; }
  png_structp png() const { return m_png; }
  png_infop info() const { return m_info; }

 private:
  png_structp m_png = nullptr;
  png_infop m_info = nullptr;
};

class PngWriteHandle {
 public:
  PngWriteHandle() {
    m_png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFail, pngWarn);
    if (m_png != nullptr) m_info = png_create_info_struct(m_png);
  }
  ~PngWriteHandle() {
    if (m_png != nullptr) png_destroy_write_struct(&m_png, m_info ? &m_info : nullptr);
  }
  PngWriteHandle(const PngWriteHandle&) = delete;
  PngWriteHandle& operator=(const PngWriteHandle&) = delete;

  bool valid() const { return m_png != nullptr && m_info != nullptr; }
  png_structp png() const { return m_png; }
  png_infop info() const { return m_info; }

 private:
  png_structp m_png = nullptr;
  png_infop m_info = nullptr;
};

// Buffers that a PNG decode fills; they outlive the setjmp frame.
struct PngDecodeBuffers {
  std::vector<std::uint8_t> indices;
  std::vector<png_bytep> rows;
};

bool readPng(const PngReadHandle& handle, MemoryReader& source, Image& out,
             PngDecodeBuffers& buffers) {
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

std::optional<Image> decodePng(std::span<const std::uint8_t> bytes) {
  PngReadHandle handle;
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

struct PngEncodeJob {
  const Image* image;
  bool palette;
  PngEncodeOptions options;
};

bool writePng(const PngWriteHandle& handle, const PngEncodeJob& job, std::vector<std::uint8_t>& out,
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
  PngWriteHandle handle;
  if (!handle.valid()) return std::nullopt;
  std::vector<std::uint8_t> out;
  std::vector<png_bytep> rows;
  out.reserve(image.pixelCount() / 2 + 1024);
  if (!writePng(handle, job, out, rows, plte, trns)) return std::nullopt;
  return out;
}

// ---------------------------------------------------------------- JPEG

// Progressive JPEGs may carry thousands of tiny scans that cost minutes to decode; real
// images have a handful.
constexpr int kMaxJpegScans = 256;

struct JpegErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  bool truncated;
};

[[noreturn]] void jpegErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<JpegErrorManager*>(cinfo->err)->jump, 1);
}

void jpegEmitMessage(j_common_ptr cinfo, int level) {
  // A cut file is padded with grey by the library; we want it refused instead.
  if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF) {
    reinterpret_cast<JpegErrorManager*>(cinfo->err)->truncated = true;
  }
}

void jpegOutputNothing(j_common_ptr /*cinfo*/) {}

void jpegProgress(j_common_ptr cinfo) {
  if (cinfo->is_decompressor) {
    auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (dinfo->input_scan_number > kMaxJpegScans) {
      cinfo->err->msg_code = JERR_BAD_PROGRESSION;
      cinfo->err->error_exit(cinfo);
    }
  }
}

void initJpegErrors(JpegErrorManager& errors) {
  jpeg_std_error(&errors.pub);
  errors.pub.error_exit = jpegErrorExit;
  errors.pub.emit_message = jpegEmitMessage;
  errors.pub.output_message = jpegOutputNothing;
  errors.truncated = false;
}

class JpegDecompressor {
 public:
  JpegDecompressor() {
    initJpegErrors(m_errors);
    m_cinfo.err = &m_errors.pub;
    m_progress.progress_monitor = jpegProgress;
  }
  // Safe also when creation failed: the library checks for its memory manager.
  ~JpegDecompressor() { jpeg_destroy_decompress(&m_cinfo); }
  JpegDecompressor(const JpegDecompressor&) = delete;
  JpegDecompressor& operator=(const JpegDecompressor&) = delete;

  jpeg_decompress_struct& cinfo() { return m_cinfo; }
  JpegErrorManager& errors() { return m_errors; }
  jpeg_progress_mgr& progress() { return m_progress; }

 private:
  jpeg_decompress_struct m_cinfo{};
  JpegErrorManager m_errors{};
  jpeg_progress_mgr m_progress{};
};

// A destination manager that writes into a vector. The library's own memory destination
// leaves the caller a dangling pointer when an error strikes after it has grown its buffer.
struct VectorDestination {
  jpeg_destination_mgr pub;
  std::vector<std::uint8_t>* out;
};

void jpegInitDestination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<VectorDestination*>(cinfo->dest);
  bool ok = true;
  try {
    dest->out->resize(16384);
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (!ok) {
    cinfo->err->msg_code = JERR_OUT_OF_MEMORY;
    cinfo->err->error_exit(reinterpret_cast<j_common_ptr>(cinfo));
  }
  dest->pub.next_output_byte = dest->out->data();
  dest->pub.free_in_buffer = dest->out->size();
}

boolean jpegEmptyOutput(j_compress_ptr cinfo) {
  // Called with the whole buffer full: double it.
  auto* dest = reinterpret_cast<VectorDestination*>(cinfo->dest);
  const std::size_t used = dest->out->size();
  bool ok = true;
  try {
    dest->out->resize(used * 2);
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (!ok) {
    cinfo->err->msg_code = JERR_OUT_OF_MEMORY;
    cinfo->err->error_exit(reinterpret_cast<j_common_ptr>(cinfo));
  }
  dest->pub.next_output_byte = dest->out->data() + used;
  dest->pub.free_in_buffer = dest->out->size() - used;
  return TRUE;
}

void jpegTermDestination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<VectorDestination*>(cinfo->dest);
  dest->out->resize(dest->out->size() - dest->pub.free_in_buffer);
}

class JpegCompressor {
 public:
  explicit JpegCompressor(std::vector<std::uint8_t>& out) {
    initJpegErrors(m_errors);
    m_cinfo.err = &m_errors.pub;
    m_destination.pub.init_destination = jpegInitDestination;
    m_destination.pub.empty_output_buffer = jpegEmptyOutput;
    m_destination.pub.term_destination = jpegTermDestination;
    m_destination.out = &out;
  }
  ~JpegCompressor() { jpeg_destroy_compress(&m_cinfo); }
  JpegCompressor(const JpegCompressor&) = delete;
  JpegCompressor& operator=(const JpegCompressor&) = delete;

  jpeg_compress_struct& cinfo() { return m_cinfo; }
  JpegErrorManager& errors() { return m_errors; }
  jpeg_destination_mgr* destination() { return &m_destination.pub; }

 private:
  jpeg_compress_struct m_cinfo{};
  JpegErrorManager m_errors{};
  VectorDestination m_destination{};
};

struct JpegDecodeBuffers {
  std::vector<JSAMPROW> rows;
  std::vector<std::uint8_t> cmyk;
};

bool readJpeg(JpegDecompressor& decoder, std::span<const std::uint8_t> bytes, Image& out,
              JpegDecodeBuffers& buffers) {
  jpeg_decompress_struct& cinfo = decoder.cinfo();
  if (setjmp(decoder.errors().jump)) return false;

  jpeg_create_decompress(&cinfo);
  cinfo.progress = &decoder.progress();
  jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&cinfo, TRUE);
  if (!sizeAllowed(cinfo.image_width, cinfo.image_height)) return false;
  const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
  const bool grey = cinfo.jpeg_color_space == JCS_GRAYSCALE;
  cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
  jpeg_start_decompress(&cinfo);
  const std::uint32_t width = cinfo.output_width;
  const std::uint32_t height = cinfo.output_height;
  if (!sizeAllowed(width, height) || cinfo.output_components != 4) return false;
  out.width = width;
  out.height = height;
  out.bitsPerPixel = grey ? 8 : 24;
  out.bgra.assign(std::size_t{width} * height * 4, 0);
  if (!cmyk) {
    buffers.rows.resize(height);
    for (std::uint32_t y = 0; y < height; ++y) {
      buffers.rows[y] = out.bgra.data() + std::size_t{y} * width * 4;
    }
    while (cinfo.output_scanline < height) {
      const JDIMENSION line = cinfo.output_scanline;
      if (jpeg_read_scanlines(&cinfo, buffers.rows.data() + line, height - line) == 0) {
        return false;
      }
    }
  } else {
    // Adobe writes CMYK inverted; the library hands the stored values through.
    const bool inverted = cinfo.saw_Adobe_marker != 0;
    buffers.cmyk.resize(std::size_t{width} * 4);
    JSAMPROW row = buffers.cmyk.data();
    while (cinfo.output_scanline < height) {
      const JDIMENSION line = cinfo.output_scanline;
      if (jpeg_read_scanlines(&cinfo, &row, 1) != 1) return false;
      std::uint8_t* dst = out.bgra.data() + std::size_t{line} * width * 4;
      for (std::uint32_t x = 0; x < width; ++x, dst += 4) {
        const std::uint8_t* s = row + std::size_t{x} * 4;
        const unsigned c = inverted ? s[0] : 255u - s[0];
        const unsigned m = inverted ? s[1] : 255u - s[1];
        const unsigned y = inverted ? s[2] : 255u - s[2];
        const unsigned k = inverted ? s[3] : 255u - s[3];
        dst[0] = static_cast<std::uint8_t>(y * k / 255);
        dst[1] = static_cast<std::uint8_t>(m * k / 255);
        dst[2] = static_cast<std::uint8_t>(c * k / 255);
        dst[3] = 255;
      }
    }
  }
  jpeg_finish_decompress(&cinfo);
  return !decoder.errors().truncated;
}

std::optional<Image> decodeJpeg(std::span<const std::uint8_t> bytes) {
  JpegDecompressor decoder;
  Image image;
  JpegDecodeBuffers buffers;
  if (!readJpeg(decoder, bytes, image, buffers)) return std::nullopt;
  return image;
}

bool writeJpeg(JpegCompressor& encoder, const Image& image, int quality,
               std::vector<JSAMPROW>& rows) {
  jpeg_compress_struct& cinfo = encoder.cinfo();
  if (setjmp(encoder.errors().jump)) return false;

  jpeg_create_compress(&cinfo);
  cinfo.dest = encoder.destination();
  cinfo.image_width = image.width;
  cinfo.image_height = image.height;
  cinfo.input_components = 4;
  cinfo.in_color_space = JCS_EXT_BGRA;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  rows.resize(image.height);
  for (std::uint32_t y = 0; y < image.height; ++y) {
    rows[y] = const_cast<JSAMPROW>(image.bgra.data()) + std::size_t{y} * image.width * 4;
  }
  while (cinfo.next_scanline < image.height) {
    const JDIMENSION line = cinfo.next_scanline;
    jpeg_write_scanlines(&cinfo, rows.data() + line, image.height - line);
  }
  jpeg_finish_compress(&cinfo);
  return true;
}

// ---------------------------------------------------------------- GIF

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

// ---------------------------------------------------------------- BMP
//
// OFFSET SIZE DESCRIPTION (little-endian)
//  0      2   "BM"
//  10     4   offset of the pixel array
//  14     4   DIB header size: 12 (OS/2 core), 40, 52, 56, 108 or 124
//  core header: 18 width u16, 20 height u16, 22 planes, 24 bits per pixel
//  info header: 18 width s32, 22 height s32 (negative: top row first), 26 planes,
//               28 bits per pixel, 30 compression (0 plain, 3 bit fields), 46 colours used,
//               54.. colour masks red, green, blue (inside headers of 52 bytes and more,
//               else right after a 40-byte header)
//  palette: after the DIB header (and masks), 3 (core) or 4 bytes per entry, blue green red

std::uint32_t readLe(std::span<const std::uint8_t> bytes, std::size_t offset, int size) {
  std::uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = (value << 8) | bytes[offset + i];
  return value;
}

struct ChannelMask {
  std::uint32_t mask = 0;
  int shift = 0;
  int bits = 0;

  explicit ChannelMask(std::uint32_t m) : mask(m) {
    if (m == 0) return;
    shift = std::countr_zero(m);
    bits = std::bit_width(m >> shift);
  }
  std::uint8_t extract(std::uint32_t value) const {
    if (bits == 0) return 0;
    const std::uint32_t v = (value & mask) >> shift;
    if (bits >= 8) return static_cast<std::uint8_t>(v >> (bits - 8));
    const std::uint32_t max = (1u << bits) - 1;
    return static_cast<std::uint8_t>((v * 255 + max / 2) / max);
  }
};

std::optional<Image> decodeBmp(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 26 || bytes[0] != 'B' || bytes[1] != 'M') return std::nullopt;
  const std::uint64_t pixelOffset = readLe(bytes, 10, 4);
  const std::uint64_t dibSize = readLe(bytes, 14, 4);
  std::int64_t width = 0;
  std::int64_t height = 0;
  int bpp = 0;
  std::uint32_t compression = 0;
  std::uint64_t coloursUsed = 0;
  std::uint64_t paletteStart = 14 + dibSize;
  std::size_t paletteEntrySize = 4;
  std::uint32_t masks[3] = {0, 0, 0};
  if (dibSize == 12) {
    width = readLe(bytes, 18, 2);
    height = readLe(bytes, 20, 2);
    bpp = static_cast<int>(readLe(bytes, 24, 2));
    paletteEntrySize = 3;
  } else if (dibSize >= 40 && dibSize <= 1024 && 14 + dibSize <= bytes.size()) {
    width = static_cast<std::int32_t>(readLe(bytes, 18, 4));
    height = static_cast<std::int32_t>(readLe(bytes, 22, 4));
    bpp = static_cast<int>(readLe(bytes, 28, 2));
    compression = readLe(bytes, 30, 4);
    coloursUsed = readLe(bytes, 46, 4);
    if (compression == 3) {
      std::uint64_t maskAt = 54;
      if (dibSize == 40) {
        paletteStart += 12;
      }
      if (maskAt + 12 > bytes.size()) return std::nullopt;
      for (int i = 0; i < 3; ++i) masks[i] = readLe(bytes, maskAt + 4 * i, 4);
    }
  } else {
    return std::nullopt;
  }
  const bool topDown = height < 0;
  if (topDown) height = -height;
  if (width <= 0 || height <= 0 || !sizeAllowed(width, height)) return std::nullopt;
  if (compression != 0 && !(compression == 3 && (bpp == 16 || bpp == 32))) return std::nullopt;
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) {
    return std::nullopt;
  }
  const std::uint64_t stride = ((static_cast<std::uint64_t>(width) * bpp + 31) / 32) * 4;
  if (pixelOffset > bytes.size() || stride * height > bytes.size() - pixelOffset) {
    return std::nullopt;
  }

  Image image;
  image.width = static_cast<std::uint32_t>(width);
  image.height = static_cast<std::uint32_t>(height);
  image.bitsPerPixel = bpp;
  image.bgra.assign(image.pixelCount() * 4, 0);

  if (bpp <= 8) {
    std::uint64_t count = coloursUsed != 0 ? coloursUsed : (1u << bpp);
    if (count > 256) return std::nullopt;
    if (paletteStart + count * paletteEntrySize > bytes.size()) return std::nullopt;
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::size_t at = paletteStart + i * paletteEntrySize;
      image.palette.push_back({bytes[at], bytes[at + 1], bytes[at + 2], 255});
    }
    image.indexed = true;
    std::vector<std::uint8_t> indices(image.pixelCount());
    for (std::uint32_t y = 0; y < image.height; ++y) {
      const std::uint32_t fileRow = topDown ? y : image.height - 1 - y;
      const std::uint8_t* row = bytes.data() + pixelOffset + fileRow * stride;
      std::uint8_t* dst = indices.data() + std::size_t{y} * image.width;
      for (std::uint32_t x = 0; x < image.width; ++x) {
        const std::uint64_t bit = std::uint64_t{x} * bpp;
        const std::uint8_t byte = row[bit / 8];
        const int shift = 8 - bpp - static_cast<int>(bit % 8);
        dst[x] = static_cast<std::uint8_t>((byte >> shift) & ((1u << bpp) - 1));
      }
    }
    expandPalette(image, indices);
    if (bpp == 8) image.paletteIndex = std::move(indices);
    return image;
  }

  if (compression == 0) {
    if (bpp == 16) {
      masks[0] = 0x7c00;
      masks[1] = 0x03e0;
      masks[2] = 0x001f;
    } else {
      masks[0] = 0x00ff0000;
      masks[1] = 0x0000ff00;
      masks[2] = 0x000000ff;
    }
  }
  const ChannelMask red(masks[0]);
  const ChannelMask green(masks[1]);
  const ChannelMask blue(masks[2]);
  const int bytesPerPixel = bpp / 8;
  for (std::uint32_t y = 0; y < image.height; ++y) {
    const std::uint32_t fileRow = topDown ? y : image.height - 1 - y;
    const std::uint8_t* row = bytes.data() + pixelOffset + fileRow * stride;
    std::uint8_t* dst = image.bgra.data() + std::size_t{y} * image.width * 4;
    for (std::uint32_t x = 0; x < image.width; ++x, dst += 4) {
      const std::uint8_t* src = row + std::size_t{x} * bytesPerPixel;
      if (bpp == 24) {
        dst[0] = src[0];
        dst[1] = src[1];
        dst[2] = src[2];
      } else {
        std::uint32_t value = src[0] | (src[1] << 8);
        if (bpp == 32) value |= (std::uint32_t{src[2]} << 16) | (std::uint32_t{src[3]} << 24);
        dst[0] = blue.extract(value);
        dst[1] = green.extract(value);
        dst[2] = red.extract(value);
      }
      dst[3] = 255;
    }
  }
  return image;
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

std::optional<std::vector<std::uint8_t>> encodePngRgba(const Image& image,
                                                       const PngEncodeOptions& options) {
  try {
    return detail::encodePng({&image, false, options});
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::optional<std::vector<std::uint8_t>> encodePngPalette(const Image& image,
                                                          const PngEncodeOptions& options) {
  try {
    return detail::encodePng({&image, true, options});
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::optional<std::vector<std::uint8_t>> encodeJpeg(const Image& image, int quality) {
  if (!detail::sizeAllowed(image.width, image.height) ||
      image.bgra.size() != image.pixelCount() * 4) {
    return std::nullopt;
  }
  try {
    std::vector<std::uint8_t> out;
    detail::JpegCompressor encoder(out);
    std::vector<JSAMPROW> rows;
    if (!detail::writeJpeg(encoder, image, quality, rows)) return std::nullopt;
    return out;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace tivra::platform

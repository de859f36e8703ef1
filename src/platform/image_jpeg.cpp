#include <jerror.h>

#include <csetjmp>
#include <cstdio>  // jpeglib.h needs FILE
#include <new>

#include <jpeglib.h>

#include "platform/image_codec_detail.h"

// libjpeg reports errors by longjmp. Every function below that calls setjmp keeps only
// trivially destructible locals, so a jump back into it skips no destructor; the objects that
// own memory live in the caller.

namespace tivra::platform::detail {

namespace {

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

}  // namespace

std::optional<Image> decodeJpeg(std::span<const std::uint8_t> bytes) {
  JpegDecompressor decoder;
  Image image;
  JpegDecodeBuffers buffers;
  if (!readJpeg(decoder, bytes, image, buffers)) return std::nullopt;
  return image;
}

std::optional<std::vector<std::uint8_t>> encodeJpegBgra(const Image& image, int quality) {
  if (!sizeAllowed(image.width, image.height) || image.bgra.size() != image.pixelCount() * 4) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> out;
  JpegCompressor encoder(out);
  std::vector<JSAMPROW> rows;
  if (!writeJpeg(encoder, image, quality, rows)) return std::nullopt;
  return out;
}

}  // namespace tivra::platform::detail

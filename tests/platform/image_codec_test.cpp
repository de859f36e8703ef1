#include "platform/image_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/image_samples.h"

namespace tivra::platform {
namespace {

using Palette = std::vector<std::array<std::uint8_t, 4>>;
using test::makeBmp;
using test::makeGif;
using test::patternImage;
using test::pngChunk;

std::array<std::uint8_t, 4> pixelAt(const Image& image, std::uint32_t x, std::uint32_t y) {
  const std::uint8_t* p = image.bgra.data() + (std::size_t{y} * image.width + x) * 4;
  return {p[0], p[1], p[2], p[3]};
}

// ---------------------------------------------------------------- PNG

class PngRoundTrip : public ::testing::TestWithParam<PngEncodeOptions> {};

TEST_P(PngRoundTrip, RgbaComesBackExactly) {
  const Image source = patternImage(67, 45, true);
  const auto png = encodePngRgba(source, GetParam());
  ASSERT_TRUE(png);
  EXPECT_EQ(sniffImageFormat(*png), ImageFormat::Png);
  const auto decoded = decodeImage(*png);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 67u);
  EXPECT_EQ(decoded->height, 45u);
  EXPECT_EQ(decoded->bitsPerPixel, 32);
  EXPECT_TRUE(decoded->hasAlpha);
  EXPECT_FALSE(decoded->indexed);
  EXPECT_TRUE(decoded->paletteIndex.empty());
  EXPECT_EQ(decoded->bgra, source.bgra);
}

INSTANTIATE_TEST_SUITE_P(LevelsAndFilters, PngRoundTrip,
                         ::testing::Values(PngEncodeOptions{0, false}, PngEncodeOptions{1, false},
                                           PngEncodeOptions{1, true}, PngEncodeOptions{6, true},
                                           PngEncodeOptions{9, false}));

TEST(PngCodec, PaletteImageKeepsIndicesAndColours) {
  Image source;
  source.width = 40;
  source.height = 3;
  for (int i = 0; i < 40; ++i) {
    source.palette.push_back({static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(2 * i),
                              static_cast<std::uint8_t>(3 * i),
                              static_cast<std::uint8_t>(i == 5 ? 0 : 255)});
  }
  for (std::uint32_t i = 0; i < source.pixelCount(); ++i) {
    source.paletteIndex.push_back(static_cast<std::uint8_t>((i * 7) % 40));
  }
  const auto png = encodePngPalette(source);
  ASSERT_TRUE(png);
  const auto decoded = decodeImage(*png);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->indexed);
  EXPECT_EQ(decoded->bitsPerPixel, 8);
  EXPECT_TRUE(decoded->hasAlpha);  // the tRNS chunk
  EXPECT_EQ(decoded->paletteIndex, source.paletteIndex);
  ASSERT_EQ(decoded->palette.size(), 40u);
  for (std::uint32_t i = 0; i < source.pixelCount(); ++i) {
    const auto& colour = source.palette[source.paletteIndex[i]];
    EXPECT_EQ(0, std::memcmp(decoded->bgra.data() + i * 4, colour.data(), 4)) << "pixel " << i;
  }
}

// A hand-built 2-bit palette PNG: low-depth palette sources are indexed but carry no per-pixel
// index list (only 8-bit sources use it).
std::vector<std::uint8_t> lowDepthPalettePng() {
  std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  const auto append = [&](const std::vector<std::uint8_t>& chunk) {
    png.insert(png.end(), chunk.begin(), chunk.end());
  };
  // 4 x 1, bit depth 2, colour type 3.
  append(pngChunk("IHDR", {0, 0, 0, 4, 0, 0, 0, 1, 2, 3, 0, 0, 0}));
  append(pngChunk("PLTE", {255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 9, 9}));
  // Filter byte 0, then indices 0,1,2,3 packed: 0b00011011. zlib stream of {0, 0x1b}.
  append(pngChunk("IDAT",
                  {0x78, 0x01, 0x01, 0x02, 0x00, 0xfd, 0xff, 0x00, 0x1b, 0x00, 0x1d, 0x00, 0x1c}));
  append(pngChunk("IEND", {}));
  return png;
}

TEST(PngCodec, LowDepthPaletteIsExpanded) {
  const auto decoded = decodeImage(lowDepthPalettePng());
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->indexed);
  EXPECT_EQ(decoded->bitsPerPixel, 2);
  EXPECT_TRUE(decoded->paletteIndex.empty());
  EXPECT_EQ(pixelAt(*decoded, 0, 0), (std::array<std::uint8_t, 4>{0, 0, 255, 255}));
  EXPECT_EQ(pixelAt(*decoded, 1, 0), (std::array<std::uint8_t, 4>{0, 255, 0, 255}));
  EXPECT_EQ(pixelAt(*decoded, 2, 0), (std::array<std::uint8_t, 4>{255, 0, 0, 255}));
  EXPECT_EQ(pixelAt(*decoded, 3, 0), (std::array<std::uint8_t, 4>{9, 9, 9, 255}));
}

TEST(PngCodec, EncoderRefusesInconsistentImages) {
  Image wrongSize = patternImage(8, 8, false);
  wrongSize.bgra.pop_back();
  EXPECT_FALSE(encodePngRgba(wrongSize));
  Image empty;
  EXPECT_FALSE(encodePngRgba(empty));
  Image noPalette = patternImage(8, 8, false);
  noPalette.paletteIndex.assign(64, 0);
  EXPECT_FALSE(encodePngPalette(noPalette));
}

// ---------------------------------------------------------------- JPEG

TEST(JpegCodec, RoundTripStaysClose) {
  // A smooth gradient survives JPEG with small errors.
  auto source = *Image::makeBgra(64, 48);
  for (std::uint32_t y = 0; y < 48; ++y) {
    for (std::uint32_t x = 0; x < 64; ++x) {
      std::uint8_t* p = source.bgra.data() + (std::size_t{y} * 64 + x) * 4;
      p[0] = static_cast<std::uint8_t>(x * 4);
      p[1] = static_cast<std::uint8_t>(y * 5);
      p[2] = 200;
      p[3] = 255;
    }
  }
  const auto jpeg = encodeJpeg(source, 95);
  ASSERT_TRUE(jpeg);
  EXPECT_EQ(sniffImageFormat(*jpeg), ImageFormat::Jpeg);
  const auto decoded = decodeImage(*jpeg);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 64u);
  EXPECT_EQ(decoded->height, 48u);
  EXPECT_EQ(decoded->bitsPerPixel, 24);
  EXPECT_FALSE(decoded->indexed);
  int worst = 0;
  for (std::size_t i = 0; i < source.bgra.size(); ++i) {
    worst = std::max(worst, std::abs(int{source.bgra[i]} - int{decoded->bgra[i]}));
  }
  EXPECT_LE(worst, 12);
  EXPECT_EQ(decoded->bgra[3], 255);
}

// ---------------------------------------------------------------- GIF

Palette gifPalette() {
  Palette palette;
  for (int i = 0; i < 64; ++i) {
    palette.push_back({static_cast<std::uint8_t>(i * 4), static_cast<std::uint8_t>(255 - i),
                       static_cast<std::uint8_t>(i), 255});
  }
  return palette;
}

class GifDecode : public ::testing::TestWithParam<bool> {};

TEST_P(GifDecode, KeepsIndicesOfTheFirstFrame) {
  const bool interlaced = GetParam();
  const Palette palette = gifPalette();
  std::vector<std::uint8_t> indices(19 * 13);
  for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = static_cast<std::uint8_t>(i % 64);
  const auto gif = makeGif(19, 13, 0, 0, 19, 13, palette, indices, interlaced);
  const auto decoded = decodeImage(gif);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 19u);
  EXPECT_EQ(decoded->height, 13u);
  EXPECT_TRUE(decoded->indexed);
  EXPECT_EQ(decoded->bitsPerPixel, 8);
  EXPECT_EQ(decoded->paletteIndex, indices);
  for (std::size_t i = 0; i < indices.size(); ++i) {
    const auto& colour = palette[indices[i]];
    ASSERT_EQ(decoded->bgra[i * 4 + 0], colour[0]) << i;
    ASSERT_EQ(decoded->bgra[i * 4 + 1], colour[1]) << i;
    ASSERT_EQ(decoded->bgra[i * 4 + 2], colour[2]) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Interlace, GifDecode, ::testing::Bool());

TEST(GifCodec, FrameSmallerThanScreenLeavesBackgroundIndex) {
  const std::vector<std::uint8_t> indices(4, 9);
  const auto gif = makeGif(6, 5, 3, 2, 2, 2, gifPalette(), indices, false, 7);
  const auto decoded = decodeImage(gif);
  ASSERT_TRUE(decoded);
  ASSERT_EQ(decoded->paletteIndex.size(), 30u);
  EXPECT_EQ(decoded->paletteIndex[0], 7);
  EXPECT_EQ(decoded->paletteIndex[2 * 6 + 3], 9);
  EXPECT_EQ(decoded->paletteIndex[3 * 6 + 4], 9);
  EXPECT_EQ(decoded->paletteIndex[4 * 6 + 5], 7);
}

// ---------------------------------------------------------------- BMP

TEST(BmpCodec, TwentyFourBitBottomUpAndTopDownAgree) {
  std::vector<std::uint8_t> rows;
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 5; ++x) {
      rows.push_back(static_cast<std::uint8_t>(10 * x));       // blue
      rows.push_back(static_cast<std::uint8_t>(50 + y));       // green
      rows.push_back(static_cast<std::uint8_t>(100 + x + y));  // red
    }
  }
  for (const bool topDown : {false, true}) {
    const auto decoded = decodeImage(makeBmp(5, 3, 24, rows, {}, topDown));
    ASSERT_TRUE(decoded) << topDown;
    EXPECT_EQ(decoded->bitsPerPixel, 24);
    EXPECT_EQ(pixelAt(*decoded, 4, 0), (std::array<std::uint8_t, 4>{40, 50, 104, 255}));
    EXPECT_EQ(pixelAt(*decoded, 1, 2), (std::array<std::uint8_t, 4>{10, 52, 103, 255}));
  }
}

TEST(BmpCodec, EightBitKeepsIndicesAndFourBitUnpacks) {
  Palette palette;
  for (int i = 0; i < 40; ++i) {
    palette.push_back({static_cast<std::uint8_t>(i), 0, static_cast<std::uint8_t>(i * 2), 0});
  }
  const std::vector<std::uint8_t> indices = {30, 1, 2, 39, 5, 6};
  const auto eight = decodeImage(makeBmp(3, 2, 8, indices, palette, false));
  ASSERT_TRUE(eight);
  EXPECT_TRUE(eight->indexed);
  EXPECT_EQ(eight->bitsPerPixel, 8);
  EXPECT_EQ(eight->paletteIndex, indices);
  EXPECT_EQ(pixelAt(*eight, 0, 1), (std::array<std::uint8_t, 4>{39, 0, 78, 255}));

  Palette sixteen(palette.begin(), palette.begin() + 16);
  const auto four = decodeImage(makeBmp(3, 1, 4, {0x1f, 0x20}, sixteen, true));
  ASSERT_TRUE(four);
  EXPECT_EQ(four->bitsPerPixel, 4);
  EXPECT_TRUE(four->paletteIndex.empty());
  EXPECT_EQ(pixelAt(*four, 0, 0)[0], 1);
  EXPECT_EQ(pixelAt(*four, 1, 0)[0], 15);
  EXPECT_EQ(pixelAt(*four, 2, 0)[0], 2);
}

TEST(BmpCodec, IndexPastThePaletteIsBlack) {
  const Palette palette = {{10, 20, 30, 0}, {40, 50, 60, 0}};
  const auto decoded = decodeImage(makeBmp(2, 1, 8, {1, 200}, palette, true));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(pixelAt(*decoded, 0, 0), (std::array<std::uint8_t, 4>{40, 50, 60, 255}));
  EXPECT_EQ(pixelAt(*decoded, 1, 0), (std::array<std::uint8_t, 4>{0, 0, 0, 255}));
}

TEST(BmpCodec, SixteenBitDefaultAndBitFields) {
  // 555: pure red 0x7c00; 565 bit fields: pure green 0x07e0.
  const auto plain = decodeImage(makeBmp(1, 1, 16, {0x00, 0x7c}, {}, true));
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->bitsPerPixel, 16);
  EXPECT_EQ(pixelAt(*plain, 0, 0), (std::array<std::uint8_t, 4>{0, 0, 255, 255}));
  const auto fields =
      decodeImage(makeBmp(1, 1, 16, {0xe0, 0x07}, {}, true, {0xf800, 0x07e0, 0x001f}));
  ASSERT_TRUE(fields);
  EXPECT_EQ(pixelAt(*fields, 0, 0), (std::array<std::uint8_t, 4>{0, 255, 0, 255}));
}

TEST(BmpCodec, ThirtyTwoBitIgnoresTheFourthByte) {
  const auto decoded = decodeImage(makeBmp(1, 1, 32, {1, 2, 3, 0}, {}, false));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->bitsPerPixel, 32);
  EXPECT_EQ(pixelAt(*decoded, 0, 0), (std::array<std::uint8_t, 4>{1, 2, 3, 255}));
}

// ---------------------------------------------------------------- hostile input

struct HostileCase {
  std::string name;
  std::vector<std::uint8_t> bytes;
};

void PrintTo(const HostileCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<std::uint8_t> pngWithHeader(std::uint32_t width, std::uint32_t height) {
  std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  std::vector<std::uint8_t> ihdr;
  for (const std::uint32_t v : {width, height}) {
    for (int i = 3; i >= 0; --i) ihdr.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
  const auto chunk = pngChunk("IHDR", ihdr);
  png.insert(png.end(), chunk.begin(), chunk.end());
  const auto idat = pngChunk("IDAT", {0x78, 0x01, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01});
  png.insert(png.end(), idat.begin(), idat.end());
  const auto iend = pngChunk("IEND", {});
  png.insert(png.end(), iend.begin(), iend.end());
  return png;
}

std::vector<std::uint8_t> jpegWithSize(std::uint16_t width, std::uint16_t height) {
  auto jpeg = *encodeJpeg(patternImage(8, 8, false));
  // The SOF0 segment: FF C0, length, precision, height, width.
  for (std::size_t i = 0; i + 8 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xff && jpeg[i + 1] == 0xc0) {
      jpeg[i + 5] = static_cast<std::uint8_t>(height >> 8);
      jpeg[i + 6] = static_cast<std::uint8_t>(height);
      jpeg[i + 7] = static_cast<std::uint8_t>(width >> 8);
      jpeg[i + 8] = static_cast<std::uint8_t>(width);
      break;
    }
  }
  return jpeg;
}

std::vector<HostileCase> hostileCases() {
  std::vector<HostileCase> cases;
  cases.push_back({"empty", {}});
  cases.push_back({"garbage", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}});
  cases.push_back({"png_signature_only", {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'}});
  cases.push_back({"png_huge_width", pngWithHeader(100000, 1)});
  cases.push_back({"png_over_pixel_cap", pngWithHeader(8192, 8192)});
  cases.push_back({"png_zero_height", pngWithHeader(16, 0)});
  cases.push_back({"png_empty_idat", pngWithHeader(16, 16)});
  auto badCrc = *encodePngRgba(patternImage(8, 8, false));
  badCrc[29] ^= 0x55;  // last CRC byte of IHDR
  cases.push_back({"png_bad_ihdr_crc", badCrc});
  auto badIdat = *encodePngRgba(patternImage(8, 8, false));
  badIdat[45] ^= 0xff;  // inside the compressed data
  cases.push_back({"png_corrupt_idat", badIdat});
  cases.push_back({"jpeg_soi_only", {0xff, 0xd8, 0xff}});
  cases.push_back({"jpeg_huge", jpegWithSize(60000, 60000)});
  cases.push_back({"jpeg_zero_width", jpegWithSize(0, 8)});
  const auto jpeg = *encodeJpeg(patternImage(32, 32, false));
  cases.push_back({"jpeg_truncated", {jpeg.begin(), jpeg.begin() + jpeg.size() / 2}});
  cases.push_back({"gif_header_only", {'G', 'I', 'F', '8', '9', 'a'}});
  auto gif = makeGif(4, 4, 0, 0, 4, 4, gifPalette(), std::vector<std::uint8_t>(16, 3), false);
  cases.push_back({"gif_truncated", {gif.begin(), gif.end() - 6}});
  auto hugeGif = gif;
  hugeGif[6] = hugeGif[7] = hugeGif[8] = hugeGif[9] = 0xff;  // 65535 x 65535 screen
  cases.push_back({"gif_huge_screen", hugeGif});
  auto noImage = std::vector<std::uint8_t>(gif.begin(), gif.begin() + 13 + 3 * 64);
  noImage.push_back(0x3b);  // trailer right after the colour table
  cases.push_back({"gif_without_image", noImage});
  cases.push_back({"bmp_header_only", {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0}});
  auto bmp = makeBmp(4, 4, 24, std::vector<std::uint8_t>(48, 7), {}, false);
  cases.push_back({"bmp_truncated_pixels", {bmp.begin(), bmp.end() - 1}});
  auto wideBmp = bmp;
  wideBmp[21] = 0x7f;  // width 0x7f000004
  cases.push_back({"bmp_huge_width", wideBmp});
  auto badDib = bmp;
  badDib[14] = 99;
  cases.push_back({"bmp_unknown_header", badDib});
  auto rle = bmp;
  rle[30] = 1;
  cases.push_back({"bmp_rle", rle});
  auto farPixels = bmp;
  farPixels[10] = farPixels[11] = farPixels[12] = 0xff;
  cases.push_back({"bmp_pixels_past_end", farPixels});
  auto bigPalette = makeBmp(2, 1, 8, {0, 1}, {{1, 2, 3, 0}}, true);
  bigPalette[46] = 0x01;
  bigPalette[47] = 0x01;  // 257 colours used
  cases.push_back({"bmp_palette_too_large", bigPalette});
  return cases;
}

class HostileImage : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileImage, IsRefused) {
  EXPECT_FALSE(decodeImage(GetParam().bytes));
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileImage, ::testing::ValuesIn(hostileCases()),
                         [](const auto& testInfo) { return testInfo.param.name; });

TEST(HostileImage, EveryTruncationOfAPngIsRefused) {
  const auto png = *encodePngRgba(patternImage(5, 4, true));
  for (std::size_t length = 0; length < png.size(); ++length) {
    EXPECT_FALSE(decodeImage({png.data(), length})) << "cut at " << length;
  }
}

TEST(HostileImage, EveryTruncationOfAJpegIsRefused) {
  const auto jpeg = *encodeJpeg(patternImage(16, 16, false));
  for (std::size_t length = 0; length < jpeg.size(); ++length) {
    EXPECT_FALSE(decodeImage({jpeg.data(), length})) << "cut at " << length;
  }
}

}  // namespace
}  // namespace tivra::platform

#include "tiles/transparency.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <set>

#include "support/fake_tile_server.h"
#include "support/image_samples.h"

namespace tivra::tiles {
namespace {

using platform::Image;
using Bgra = std::array<std::uint8_t, 4>;

Image onePixel(std::uint8_t red, std::uint8_t green, std::uint8_t blue, std::uint8_t alpha = 255) {
  Image image = *Image::makeBgra(1, 1);
  image.bgra = {blue, green, red, alpha};
  image.bitsPerPixel = 24;
  return image;
}

Bgra pixelAt(const Image& image, std::size_t index) {
  return {image.bgra[index * 4], image.bgra[index * 4 + 1], image.bgra[index * 4 + 2],
          image.bgra[index * 4 + 3]};
}

std::set<std::uint32_t> referenceKeys(int level) {
  std::set<std::uint32_t> keys;
  for (const Rgb& c : kBackgroundColours) {
    keys.insert((std::uint32_t{c.blue} >> level) * 65536 + (std::uint32_t{c.green} >> level) * 256 +
                (std::uint32_t{c.red} >> level));
  }
  return keys;
}

// ---------------------------------------------------------------- key sets

TEST(KeySets, HoldExactlyTheBackgroundKeysAtTheCoarseLevels) {
  // Levels 3 to 5 leave at most 5 bits per channel: test every key.
  for (int level = 3; level <= 5; ++level) {
    const auto reference = referenceKeys(level);
    const std::uint32_t side = 256u >> level;
    std::size_t members = 0;
    for (std::uint32_t b = 0; b < side; ++b) {
      for (std::uint32_t g = 0; g < side; ++g) {
        for (std::uint32_t r = 0; r < side; ++r) {
          const std::uint32_t key = b * 65536 + g * 256 + r;
          const bool member = isBackgroundKey(level, key);
          ASSERT_EQ(member, reference.contains(key)) << "level " << level << " key " << key;
          members += member ? 1 : 0;
        }
      }
    }
    EXPECT_EQ(members, reference.size());
  }
}

TEST(KeySets, MatchTheReferenceAroundEveryColourAtTheFineLevels) {
  for (int level = 0; level <= 2; ++level) {
    const auto reference = referenceKeys(level);
    for (const Rgb& c : kBackgroundColours) {
      for (int dr = -4; dr <= 4; ++dr) {
        for (int dg = -4; dg <= 4; ++dg) {
          for (int db = -4; db <= 4; ++db) {
            const auto clamp = [](int v) {
              return static_cast<std::uint8_t>(std::clamp(v, 0, 255));
            };
            const std::uint32_t key =
                colourKey(clamp(c.red + dr), clamp(c.green + dg), clamp(c.blue + db), level);
            ASSERT_EQ(isBackgroundKey(level, key), reference.contains(key)) << key;
          }
        }
      }
    }
  }
}

TEST(KeySets, DuplicateColourCountsOnceAndLevelsOutsideRangeHoldNothing) {
  EXPECT_EQ(referenceKeys(0).size(), 22u);  // entries 5 and 21 are the same colour
  EXPECT_FALSE(isBackgroundKey(-1, colourKey(235, 230, 220, 0)));
  EXPECT_FALSE(isBackgroundKey(6, colourKey(235, 230, 220, 6)));
}

// ---------------------------------------------------------------- one pixel at a time

struct PixelCase {
  const char* name;
  Rgb in;
  int rangeDigit;
  int colourDigit;
  Rgb out;
  std::uint8_t alpha;
};

void PrintTo(const PixelCase& c, std::ostream* os) {
  *os << c.name;
}

class ProcessPixel : public ::testing::TestWithParam<PixelCase> {};

TEST_P(ProcessPixel, ColourAndAlpha) {
  const PixelCase& c = GetParam();
  const Image out =
      ProcessPixels(onePixel(c.in.red, c.in.green, c.in.blue), c.rangeDigit, c.colourDigit);
  ASSERT_EQ(out.width, 1u);
  ASSERT_EQ(out.height, 1u);
  EXPECT_EQ(pixelAt(out, 0), (Bgra{c.out.blue, c.out.green, c.out.red, c.alpha}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProcessPixel,
    ::testing::Values(
        PixelCase{"exact_background_range0", {235, 230, 220}, 0, 0, {235, 230, 220}, 0},
        PixelCase{"off_by_one_range0", {235, 230, 221}, 0, 0, {235, 230, 221}, 255},
        PixelCase{"off_by_one_range2", {235, 230, 221}, 2, 0, {235, 230, 221}, 0},
        PixelCase{"top_three_bits_range5", {255, 250, 200}, 5, 0, {255, 250, 200}, 0},
        PixelCase{"top_three_bits_range4", {255, 250, 200}, 4, 0, {255, 250, 200}, 255},
        PixelCase{"white_range0", {255, 255, 255}, 0, 0, {255, 255, 255}, 255},
        PixelCase{"duplicate_entry", {241, 238, 232}, 0, 0, {241, 238, 232}, 0},
        PixelCase{"water_blue", {99, 158, 189}, 0, 0, {99, 158, 189}, 0},
        PixelCase{"last_entry", {217, 217, 217}, 0, 0, {217, 217, 217}, 0},
        PixelCase{"black_inverted_all", {0, 0, 0}, 0, 7, {255, 255, 255}, 255},
        PixelCase{"background_inverted_all", {235, 230, 220}, 0, 7, {20, 25, 35}, 0},
        PixelCase{"invert_blue_only", {235, 230, 220}, 0, 1, {235, 230, 35}, 0},
        PixelCase{"invert_green_only", {10, 20, 30}, 0, 2, {10, 235, 30}, 255},
        PixelCase{"invert_red_only", {10, 20, 30}, 0, 4, {245, 20, 30}, 255},
        PixelCase{"high_colour_bits_ignored", {10, 20, 30}, 0, 8, {10, 20, 30}, 255},
        PixelCase{"range_above_five_is_five", {255, 250, 200}, 9, 0, {255, 250, 200}, 0},
        PixelCase{"negative_range_is_zero", {235, 230, 221}, -1, 0, {235, 230, 221}, 255},
        PixelCase{"negative_range_exact", {235, 230, 220}, -1, 0, {235, 230, 220}, 0}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(ProcessPixels, OwnAlphaIsReplacedByZeroOr255) {
  Image source = *Image::makeBgra(3, 1);
  source.bgra = {30, 20, 10, 128, 30, 20, 10, 0, 220, 230, 235, 77};
  const Image out = ProcessPixels(source, 0, 0);
  EXPECT_EQ(pixelAt(out, 0), (Bgra{30, 20, 10, 255}));
  EXPECT_EQ(pixelAt(out, 1), (Bgra{30, 20, 10, 255}));
  EXPECT_EQ(pixelAt(out, 2), (Bgra{220, 230, 235, 0}));
}

TEST(ProcessPixels, InconsistentSourceGivesEmptyImage) {
  Image source = onePixel(1, 2, 3);
  source.bgra.push_back(0);
  const Image out = ProcessPixels(source, 0, 0);
  EXPECT_EQ(out.width, 0u);
  EXPECT_TRUE(out.bgra.empty());
}

TEST(ProcessPixels, AgreesWithAPlainReadingOfTheRulesOnNoisyTiles) {
  // Runs of background colours with noise, so the last-key shortcut is exercised across
  // changes of colour and of match.
  std::mt19937 random(7);
  Image source = *Image::makeBgra(64, 64);
  source.bitsPerPixel = 24;
  for (std::size_t i = 0; i < source.pixelCount(); ++i) {
    const Rgb& base = kBackgroundColours[(i / 37) % kBackgroundColours.size()];
    const int noise = static_cast<int>(random() % 9) - 4;
    const auto jitter = [&](std::uint8_t v) {
      return static_cast<std::uint8_t>(std::clamp(v + (i % 3 == 0 ? noise : 0), 0, 255));
    };
    source.bgra[i * 4] = jitter(base.blue);
    source.bgra[i * 4 + 1] = jitter(base.green);
    source.bgra[i * 4 + 2] = jitter(base.red);
  }
  for (int range = 0; range <= 5; ++range) {
    const auto keys = referenceKeys(range);
    for (int colour = 0; colour <= 7; ++colour) {
      const Image out = ProcessPixels(source, range, colour);
      for (std::size_t i = 0; i < source.pixelCount(); ++i) {
        const std::uint8_t b = source.bgra[i * 4];
        const std::uint8_t g = source.bgra[i * 4 + 1];
        const std::uint8_t r = source.bgra[i * 4 + 2];
        const std::uint32_t key = (b >> range) * 65536u + (g >> range) * 256u + (r >> range);
        const Bgra expected = {static_cast<std::uint8_t>((colour & 1) ? 255 - b : b),
                               static_cast<std::uint8_t>((colour & 2) ? 255 - g : g),
                               static_cast<std::uint8_t>((colour & 4) ? 255 - r : r),
                               static_cast<std::uint8_t>(keys.contains(key) ? 0 : 255)};
        ASSERT_EQ(pixelAt(out, i), expected)
            << "range " << range << " colour " << colour << " pixel " << i;
      }
    }
  }
}

// ---------------------------------------------------------------- palette index 30

std::vector<std::array<std::uint8_t, 4>> paletteWithIndex30() {
  std::vector<std::array<std::uint8_t, 4>> palette(40, {10, 10, 10, 255});
  palette[0] = {220, 230, 235, 255};  // a background colour
  return palette;                     // indices 30 and 31 share the colour (10, 10, 10)
}

void expectIndex30Rule(const Image& out) {
  EXPECT_EQ(pixelAt(out, 0)[3], 0);    // index 0: background colour
  EXPECT_EQ(pixelAt(out, 1)[3], 0);    // index 30
  EXPECT_EQ(pixelAt(out, 2)[3], 255);  // index 31, same colour
  EXPECT_EQ(pixelAt(out, 1), (Bgra{10, 10, 10, 0}));
}

TEST(PaletteIndex30, IsTransparentInPalettePng) {
  Image source;
  source.width = 3;
  source.height = 1;
  source.palette = paletteWithIndex30();
  source.paletteIndex = {0, 30, 31};
  const auto png = platform::encodePngPalette(source);
  ASSERT_TRUE(png);
  const auto decoded = platform::decodeImage(*png);
  ASSERT_TRUE(decoded);
  expectIndex30Rule(ProcessPixels(*decoded, 0, 0));
  // Inversion changes the colour, never the index rule.
  EXPECT_EQ(pixelAt(ProcessPixels(*decoded, 0, 7), 1), (Bgra{245, 245, 245, 0}));
}

TEST(PaletteIndex30, IsTransparentInGifAndBmp) {
  const auto palette = paletteWithIndex30();
  const std::vector<std::uint8_t> indices = {0, 30, 31};
  for (const auto& bytes : {test::makeGif(3, 1, 0, 0, 3, 1, palette, indices, false),
                            test::makeBmp(3, 1, 8, indices, palette, false)}) {
    const auto decoded = platform::decodeImage(bytes);
    ASSERT_TRUE(decoded);
    expectIndex30Rule(ProcessPixels(*decoded, 0, 0));
  }
}

TEST(PaletteIndex30, DoesNotApplyToGreyLevel30) {
  // An 8-bit greyscale PNG has no palette: its value 30 is a colour, not an index.
  std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  const auto append = [&](const std::vector<std::uint8_t>& chunk) {
    png.insert(png.end(), chunk.begin(), chunk.end());
  };
  append(test::pngChunk("IHDR", {0, 0, 0, 2, 0, 0, 0, 1, 8, 0, 0, 0, 0}));
  const std::uint8_t raw[] = {0, 30, 217};
  std::vector<std::uint8_t> packed(64);
  uLongf packedSize = packed.size();
  ASSERT_EQ(compress(packed.data(), &packedSize, raw, sizeof raw), Z_OK);
  packed.resize(packedSize);
  append(test::pngChunk("IDAT", packed));
  append(test::pngChunk("IEND", {}));
  const auto decoded = platform::decodeImage(png);
  ASSERT_TRUE(decoded);
  EXPECT_FALSE(decoded->indexed);
  EXPECT_EQ(decoded->bitsPerPixel, 8);
  const Image out = ProcessPixels(*decoded, 0, 0);
  EXPECT_EQ(pixelAt(out, 0), (Bgra{30, 30, 30, 255}));
  EXPECT_EQ(pixelAt(out, 1), (Bgra{217, 217, 217, 0}));  // a background grey
}

// ---------------------------------------------------------------- whole tiles

TEST(MakeTransparentTile, OnePixelGivesOnePixelPng) {
  const auto png = platform::encodePngRgba(onePixel(235, 230, 220));
  ASSERT_TRUE(png);
  const auto tile = MakeTransparentTile(*png, 0, 0);
  ASSERT_TRUE(tile);
  const auto decoded = platform::decodeImage(*tile);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 1u);
  EXPECT_EQ(decoded->height, 1u);
  EXPECT_TRUE(decoded->hasAlpha);
  EXPECT_EQ(pixelAt(*decoded, 0), (Bgra{220, 230, 235, 0}));
}

TEST(MakeTransparentTile, JpegTileBecomesPngWithTransparentBackground) {
  const auto jpeg = test::FakeTileServer::tileBytes(1, 2, 12);
  ASSERT_EQ(platform::sniffImageFormat(jpeg), platform::ImageFormat::Jpeg);
  const auto tile = MakeTransparentTile(jpeg, 3, 0);
  ASSERT_TRUE(tile);
  ASSERT_EQ(platform::sniffImageFormat(*tile), platform::ImageFormat::Png);
  const auto decoded = platform::decodeImage(*tile);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 256u);
  EXPECT_EQ(decoded->height, 256u);
  EXPECT_EQ(decoded->bitsPerPixel, 32);
  const Image plain = test::FakeTileServer::tileImage(1, 2, 12);
  std::size_t background = 0;
  std::size_t cleared = 0;
  std::size_t roadOpaque = 0;
  std::size_t road = 0;
  for (std::size_t i = 0; i < plain.pixelCount(); ++i) {
    const Bgra original = pixelAt(plain, i);
    if (original == Bgra{220, 230, 235, 255}) {
      ++background;
      cleared += pixelAt(*decoded, i)[3] == 0 ? 1 : 0;
    } else if (original == Bgra{255, 255, 255, 255}) {
      ++road;
      roadOpaque += pixelAt(*decoded, i)[3] == 255 ? 1 : 0;
    }
  }
  ASSERT_GT(background, 40000u);
  ASSERT_GT(road, 1000u);
  // JPEG noise moves a few edge pixels out of the tolerance; the flat areas must clear.
  EXPECT_GT(cleared, background * 9 / 10);
  EXPECT_GT(roadOpaque, road * 9 / 10);
}

TEST(MakeTransparentTile, PngTileAtRangeZeroClearsExactlyTheBackground) {
  const auto png = test::FakeTileServer::tileBytes(2, 2, 12);
  ASSERT_EQ(platform::sniffImageFormat(png), platform::ImageFormat::Png);
  const auto tile = MakeTransparentTile(png, 0, 0);
  ASSERT_TRUE(tile);
  const auto decoded = platform::decodeImage(*tile);
  ASSERT_TRUE(decoded);
  const Image plain = test::FakeTileServer::tileImage(2, 2, 12);
  for (std::size_t i = 0; i < plain.pixelCount(); ++i) {
    Bgra original = pixelAt(plain, i);
    const bool background = original == Bgra{220, 230, 235, 255} ||
                            original == Bgra{148, 203, 166, 255};  // map and park colours
    original[3] = background ? 0 : 255;
    ASSERT_EQ(pixelAt(*decoded, i), original) << i;
  }
}

TEST(MakeTransparentTile, UndecodableBytesGiveNothing) {
  const std::vector<std::uint8_t> html = {'<', 'h', 't', 'm', 'l', '>'};
  EXPECT_FALSE(MakeTransparentTile(html, 0, 0));
  EXPECT_FALSE(MakeTransparentTile({}, 0, 0));
}

}  // namespace
}  // namespace tivra::tiles

#include "tiles/whole_image.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/image_codec.h"
#include "support/image_samples.h"

namespace tivra::tiles {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes text(std::string_view s) {
  return {s.begin(), s.end()};
}

struct WholeCase {
  const char* name;
  std::function<Bytes()> make;
};

class WholeImageTest : public ::testing::TestWithParam<WholeCase> {};

// A whole image is whole, with bytes after it too; no cut of it is.
TEST_P(WholeImageTest, WholeAndNoCutOfIt) {
  const Bytes image = GetParam().make();
  ASSERT_GT(image.size(), 20u);
  EXPECT_TRUE(isWholeImage(image));
  Bytes trailing = image;
  trailing.push_back(0);
  EXPECT_TRUE(isWholeImage(trailing));
  for (std::size_t size = 0; size < image.size(); ++size)
    ASSERT_FALSE(isWholeImage(std::span(image).first(size))) << "cut at " << size;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, WholeImageTest,
    ::testing::Values(
        WholeCase{"png", [] { return *platform::encodePngRgba(test::patternImage(16, 16, true)); }},
        WholeCase{"jpeg", [] { return *platform::encodeJpeg(test::patternImage(24, 16, false)); }},
        WholeCase{"gif",
                  [] {
                    return test::makeGif(8, 8, 0, 0, 8, 8, {{0, 0, 255, 255}, {0, 255, 0, 255}},
                                         Bytes(64, 1), false);
                  }},
        WholeCase{"bmp", [] { return test::makeBmp(4, 4, 24, Bytes(48, 0x7f), {}, false); }}),
    [](const auto& test) { return std::string(test.param.name); });

struct NotImageCase {
  const char* name;
  Bytes bytes;
};

class NotImageTest : public ::testing::TestWithParam<NotImageCase> {};

TEST_P(NotImageTest, IsNotWhole) {
  EXPECT_FALSE(isWholeImage(GetParam().bytes));
}

Bytes pngWithFirst(const char type[4]) {
  Bytes png = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a};
  for (const auto& chunk : {test::pngChunk(type, Bytes(13, 1)), test::pngChunk("IEND", {})})
    png.insert(png.end(), chunk.begin(), chunk.end());
  return png;
}

Bytes jpegWithEoiInsideAComment() {
  // SOI, a COM segment holding FF D9, and no end: the bytes FF D9 are data, not EOI.
  return {0xff, 0xd8, 0xff, 0xfe, 0x00, 0x04, 0xff, 0xd9};
}

Bytes gifWithoutImage() {
  return {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, 0x3b};
}

Bytes bmpClaiming(std::uint32_t size) {
  Bytes bmp(30, 0);
  bmp[0] = 'B';
  bmp[1] = 'M';
  for (int i = 0; i < 4; ++i) bmp[2 + i] = static_cast<std::uint8_t>(size >> (8 * i));
  return bmp;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, NotImageTest,
    ::testing::Values(NotImageCase{"empty", {}},
                      NotImageCase{"html", text("<html><body>502 Bad Gateway</body></html>\n")},
                      NotImageCase{"png_first_chunk_not_ihdr", pngWithFirst("tEXt")},
                      NotImageCase{"jpeg_eoi_bytes_inside_a_segment", jpegWithEoiInsideAComment()},
                      NotImageCase{"jpeg_second_soi", {0xff, 0xd8, 0xff, 0xd8, 0xff, 0xd9}},
                      NotImageCase{"gif_without_an_image", gifWithoutImage()},
                      NotImageCase{"bmp_declaring_more_than_it_has", bmpClaiming(31)},
                      NotImageCase{"bmp_declaring_less_than_a_header", bmpClaiming(20)}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace tivra::tiles

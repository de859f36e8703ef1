// Per-tile cost of the transparency endpoint's image work: decode + ProcessPixels + PNG
// encode for the three kinds of tile a source serves (RGB PNG, palette PNG, JPEG), next to
// the floor of plain libpng decode + encode, and the PNG encoder's speed and size per zlib
// level and row filter on a processed tile.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>

#include "platform/image_codec.h"
#include "tiles/transparency.h"

namespace {

using tivra::platform::Image;
using tivra::platform::PngEncodeOptions;

// A street-map-like 256 x 256 tile: background, park and water areas, roads with
// anti-aliased edges, and label-like dots. Deterministic.
Image mapTile() {
  Image image = *Image::makeBgra(256, 256);
  image.hasAlpha = false;
  image.bitsPerPixel = 24;
  std::mt19937 random(42);
  const auto set = [&](int x, int y, int r, int g, int b) {
    std::uint8_t* p = image.bgra.data() + (static_cast<std::size_t>(y) * 256 + x) * 4;
    p[0] = static_cast<std::uint8_t>(b);
    p[1] = static_cast<std::uint8_t>(g);
    p[2] = static_cast<std::uint8_t>(r);
    p[3] = 255;
  };
  for (int y = 0; y < 256; ++y) {
    for (int x = 0; x < 256; ++x) {
      if (x > 150 && y < 90) {
        set(x, y, 166, 203, 148);  // park
      } else if (x + y > 380) {
        set(x, y, 152, 178, 203);  // water
      } else {
        set(x, y, 235, 230, 220);  // land
      }
    }
  }
  // Roads: white core, grey-brown border, blended edge pixels.
  for (int road = 0; road < 6; ++road) {
    const int at = 20 + road * 40;
    const int width = 3 + road % 3;
    for (int i = 0; i < 256; ++i) {
      for (int d = -width - 1; d <= width + 1; ++d) {
        const bool horizontal = road % 2 == 0;
        const int x = horizontal ? i : at + d;
        const int y = horizontal ? at + d : i;
        if (x < 0 || x > 255 || y < 0 || y > 255) continue;
        const int edge = std::abs(d);
        if (edge < width) {
          set(x, y, 255, 255, 255);
        } else if (edge == width) {
          set(x, y, 200, 180, 150);
        } else {
          set(x, y, 222, 214, 200);
        }
      }
    }
  }
  // Labels: small clusters of dark anti-aliased dots.
  for (int label = 0; label < 40; ++label) {
    const int x0 = static_cast<int>(random() % 240);
    const int y0 = static_cast<int>(random() % 250);
    for (int k = 0; k < 30; ++k) {
      const int x = x0 + static_cast<int>(random() % 14);
      const int y = y0 + static_cast<int>(random() % 6);
      const int shade = 40 + static_cast<int>(random() % 160);
      set(std::min(x, 255), std::min(y, 255), shade, shade, shade + 10 > 255 ? 255 : shade + 10);
    }
  }
  return image;
}

// The same tile reduced to a palette (the colours it has, at most 256).
Image paletteTile(const Image& rgb) {
  Image image;
  image.width = rgb.width;
  image.height = rgb.height;
  image.paletteIndex.resize(rgb.pixelCount());
  for (std::size_t i = 0; i < rgb.pixelCount(); ++i) {
    const std::array<std::uint8_t, 4> colour = {rgb.bgra[i * 4], rgb.bgra[i * 4 + 1],
                                                rgb.bgra[i * 4 + 2], 255};
    std::size_t index = 0;
    while (index < image.palette.size() && image.palette[index] != colour) ++index;
    if (index == image.palette.size()) {
      if (image.palette.size() == 256)
        index = 0;
      else
        image.palette.push_back(colour);
    }
    image.paletteIndex[i] = static_cast<std::uint8_t>(index);
  }
  return image;
}

const std::vector<std::uint8_t>& pngTile() {
  // As a tile source serves it: libpng's default compression.
  static const auto bytes = *tivra::platform::encodePngRgba(mapTile(), {6, true});
  return bytes;
}
const std::vector<std::uint8_t>& palettePngTile() {
  static const auto bytes = *tivra::platform::encodePngPalette(paletteTile(mapTile()), {6, true});
  return bytes;
}
const std::vector<std::uint8_t>& jpegTile() {
  static const auto bytes = *tivra::platform::encodeJpeg(mapTile(), 85);
  return bytes;
}

void runTransparent(benchmark::State& state, const std::vector<std::uint8_t>& tile) {
  std::size_t outBytes = 0;
  for (auto _ : state) {
    auto png = tivra::tiles::MakeTransparentTile(tile, 0, 0);
    if (!png) state.SkipWithError("processing failed");
    outBytes = png ? png->size() : 0;
    benchmark::DoNotOptimize(png);
  }
  state.counters["in_bytes"] = static_cast<double>(tile.size());
  state.counters["out_bytes"] = static_cast<double>(outBytes);
}

void BM_TransparentPngTile(benchmark::State& state) {
  runTransparent(state, pngTile());
}
void BM_TransparentPalettePngTile(benchmark::State& state) {
  runTransparent(state, palettePngTile());
}
void BM_TransparentJpegTile(benchmark::State& state) {
  runTransparent(state, jpegTile());
}

// The floor: what libpng alone costs to read the tile and write it back as RGBA PNG.
void BM_PngDecodeEncodeFloor(benchmark::State& state) {
  for (auto _ : state) {
    auto image = tivra::platform::decodeImage(pngTile());
    auto png = tivra::platform::encodePngRgba(*image);
    benchmark::DoNotOptimize(png);
  }
}

void BM_Decode(benchmark::State& state) {
  const auto& tile = state.range(0) == 0   ? pngTile()
                     : state.range(0) == 1 ? palettePngTile()
                                           : jpegTile();
  for (auto _ : state) {
    auto image = tivra::platform::decodeImage(tile);
    benchmark::DoNotOptimize(image);
  }
  state.SetLabel(state.range(0) == 0 ? "png" : state.range(0) == 1 ? "palette png" : "jpeg");
}

void BM_ProcessPixels(benchmark::State& state) {
  const auto image = *tivra::platform::decodeImage(pngTile());
  for (auto _ : state) {
    auto out = tivra::tiles::ProcessPixels(image, static_cast<int>(state.range(0)), 0);
    benchmark::DoNotOptimize(out);
  }
}

// Encoder speed and size on a processed tile (range 0: from the PNG tile, 1: from the JPEG
// tile, whose compression noise makes it much harder to compress) by zlib level (range 1),
// and row filters (range 2). (zlib's Z_RLE strategy was tried too: on 4-byte pixels it finds
// few runs and wrote tiles 3 to 9 times larger.)
void BM_EncodeProcessedTile(benchmark::State& state) {
  const auto& tile = state.range(0) == 0 ? pngTile() : jpegTile();
  const auto processed = tivra::tiles::ProcessPixels(*tivra::platform::decodeImage(tile), 0, 0);
  const PngEncodeOptions options{static_cast<int>(state.range(1)), state.range(2) != 0};
  std::size_t size = 0;
  for (auto _ : state) {
    auto png = tivra::platform::encodePngRgba(processed, options);
    size = png->size();
    benchmark::DoNotOptimize(png);
  }
  state.counters["bytes"] = static_cast<double>(size);
}

BENCHMARK(BM_TransparentPngTile)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TransparentPalettePngTile)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TransparentJpegTile)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PngDecodeEncodeFloor)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Decode)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcessPixels)->Arg(0)->Arg(2)->Arg(5)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeProcessedTile)
    ->ArgsProduct({{0, 1}, {1, 2, 3, 6}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  // With --write-tiles DIR the three input tiles are written out for bench/image_compare.sh.
  if (argc == 3 && std::string_view(argv[1]) == "--write-tiles") {
    const std::string dir = argv[2];
    const auto put = [&](const char* name, const std::vector<std::uint8_t>& bytes) {
      std::FILE* file = std::fopen((dir + "/" + name).c_str(), "wb");
      if (file == nullptr) std::exit(1);
      std::fwrite(bytes.data(), 1, bytes.size(), file);
      std::fclose(file);
    };
    put("tile.png", pngTile());
    put("tile_palette.png", palettePngTile());
    put("tile.jpg", jpegTile());
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

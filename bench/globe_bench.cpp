// Costs of the simulated globe's per-refresh work: reading an overlay document of 15 ground
// overlays and drawing 15 overlays of 256 x 256 pixels into a 1024 x 768 view.
#include <benchmark/benchmark.h>

#include <string>

#include "globe/globe_render.h"
#include "globe/kml_model.h"

namespace {

using namespace tivra::globe;

std::string overlayDocument() {
  std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<kml "
      "xmlns=\"http://earth.google.com/kml/2.0\">\n"
      "<visibility>1</visibility>\n<Folder>\n<name>Map</name>\n";
  for (int i = 1; i <= 5; ++i) {
    for (int j = 4; j >= 2; --j) {
      text += "<GroundOverlay>\n<name>Map " + std::to_string(i) + "/" + std::to_string(j) +
              "/12</name>\n<color>7fffffff</color>\n<Icon>\n<href>http://localhost:11000/"
              "ImageServer/T32/x=" +
              std::to_string(3370 + i) + "&amp;y=" + std::to_string(1552 + j) +
              "&amp;zoom=5</href>\n</Icon>\n<LatLonBox>\n<north>40.000000</north>\n<south>"
              "39.900000</south>\n<east>116.500000</east>\n<west>116.400000</west>\n"
              "</LatLonBox>\n</GroundOverlay>\n";
    }
  }
  return text + "</Folder>\n</kml>\n";
}

void BM_ParseOverlayDocument(benchmark::State& state) {
  const std::string text = overlayDocument();
  for (auto _ : state) {
    ParsedKml kml = parseKml(text, "http://localhost:11000/KmlServer?");
    benchmark::DoNotOptimize(kml.features.size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseOverlayDocument);

void BM_RenderFifteenOverlays(benchmark::State& state) {
  Camera camera;
  camera.FocusPointLongitude = 116.4;
  camera.FocusPointLatitude = 39.9;
  camera.Range = 20000.0;
  const ViewGeometry view = makeViewGeometry(camera, 1024, 768, 60.0);
  RgbaImage tile = makeCanvas(256, 256, Rgba{200, 180, 160, 255});
  const double w = (view.box.east - view.box.west) / 5, h = (view.box.north - view.box.south) / 3;
  for (auto _ : state) {
    RgbaImage canvas = makeCanvas(1024, 768, kBackground);
    for (int i = 0; i < 5; ++i) {
      for (int j = 0; j < 3; ++j) {
        const LatLonBoxData box{view.box.south + (j + 1) * h, view.box.south + j * h,
                                view.box.west + (i + 1) * w, view.box.west + i * w, 0.0};
        drawGroundOverlay(canvas, view, box, tile, 0x7fffffffu);
      }
    }
    benchmark::DoNotOptimize(canvas.rgba.data());
  }
}
BENCHMARK(BM_RenderFifteenOverlays);

}  // namespace

BENCHMARK_MAIN();

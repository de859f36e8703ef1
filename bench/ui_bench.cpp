// The globe view's redraw: the simulated globe's 1024 x 768 view with the 15 ground overlays of
// one KmlServer answer drawn and shown in the window "Render" (Qt's offscreen platform).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <cstdio>
#include <fstream>
#include <string>

#include "app/globe_wiring.h"
#include "globe/sim_globe.h"
#include "platform/image_codec.h"
#include "platform/resources.h"
#include "ui/globe_view.h"

namespace {

using namespace tivra;

// A KmlServer-like folder of 5 x 3 ground overlays around Beijing, every image the same tile.
std::string overlayDocument() {
  std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<kml "
      "xmlns=\"http://earth.google.com/kml/2.0\">\n<Folder>\n<name>Map</name>\n";
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 3; ++j) {
      const double west = 116.30 + i * 0.04, south = 39.86 + j * 0.03;
      text += "<GroundOverlay>\n<color>7fffffff</color>\n<Icon>\n<href>http://tiles/" +
              std::to_string(i) + "_" + std::to_string(j) + ".png</href>\n</Icon>\n<LatLonBox>\n" +
              "<north>" + std::to_string(south + 0.03) + "</north>\n<south>" +
              std::to_string(south) + "</south>\n<east>" + std::to_string(west + 0.04) +
              "</east>\n<west>" + std::to_string(west) +
              "</west>\n</LatLonBox>\n</GroundOverlay>\n";
    }
  }
  return text + "</Folder>\n</kml>\n";
}

void BM_GlobeViewRedraw(benchmark::State& state) {
  const auto tile =
      platform::findResource(platform::ResourceType::Png, platform::kResourceSampleTile);
  globe::SimGlobeDeps deps;
  deps.httpGet = [tile](std::string_view) {
    return globe::HttpAnswer{200, std::vector<std::uint8_t>(tile.begin(), tile.end()), true};
  };
  deps.decodeImage = app::decodeRgba;
  deps.encodePng = app::encodeRgbaPng;
  globe::SimGlobeOptions options;
  options.flightBase = std::chrono::milliseconds(1);
  options.maxFlight = std::chrono::milliseconds(1);
  globe::SimGlobe simGlobe(std::move(deps), options);
  auto earth = simGlobe.connect();
  const std::string file = "/tmp/tivra-ui-bench-" + std::to_string(::getpid()) + ".kml";
  std::ofstream(file) << overlayDocument();
  earth->OpenKmlFile(file, true);
  std::remove(file.c_str());
  earth->SetCamera({39.9, 116.4, 0.0, 1, 12000.0, 0.0, 0.0}, 5.0);
  if (!simGlobe.waitIdle(std::chrono::seconds(10))) {
    state.SkipWithError("the globe did not settle");
    return;
  }
  ui::GlobeView view(simGlobe, *earth);
  view.resize(1024, 768);
  view.show();
  std::int64_t micros = 0;
  for (auto _ : state) {
    view.redraw(true);
    view.repaint();  // the picture reaches the window's backing store
    micros += view.lastDrawTime().count();
  }
  state.counters["render_ms"] =
      benchmark::Counter(static_cast<double>(micros) / 1000.0, benchmark::Counter::kAvgIterations);
  state.counters["images"] = static_cast<double>(simGlobe.stats().imagesDecoded);
}
BENCHMARK(BM_GlobeViewRedraw)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

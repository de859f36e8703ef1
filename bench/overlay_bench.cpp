// Time to build one KmlServer answer: query parsing, zoom, offset lookup, 15 overlays of text.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "platform/frontend.h"
#include "server/overlay_endpoints.h"
#include "tiles/offset.h"

namespace {

using namespace tivra;

void BM_KmlServer(benchmark::State& state) {
  platform::HeadlessFrontend frontend;
  store::TileCache cache(std::filesystem::temp_directory_path(), frontend, "http:///h/404.png");
  tiles::MapValues values;
  values.autoOffset = state.range(0) != 0;
  std::mutex stateLock;
  std::atomic<bool> online{true};
  // A location map of a realistic size, with no cell at the view centre.
  for (int i = 0; i < 5000; ++i)
    tiles::StoreOffset(cache.locationMap(), {i * 40000, 2000000 + i * 300}, {i, -i}, true);
  server::EndpointContext context{
      11000, "http://tiles.example/googlechina/maptile?", values, stateLock, cache, online, [] {}};
  const std::string request =
      "GET /KmlServer?BBOX=115.9,39.6,116.9,40.2,116.39,39.9,30000,0,0,60,40,1024,768 HTTP/1.1\r\n"
      "Host: localhost:11000\r\n\r\n";
  std::string out;
  out.reserve(81920);
  for (auto _ : state) {
    out.clear();
    server::KmlServer(context, request, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetLabel(std::to_string(out.size()) + " bytes");
}
BENCHMARK(BM_KmlServer)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

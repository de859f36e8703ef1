// Time to turn service answers into documents: a 100-hit local-search answer (code page 936)
// cut into records and written as the result document; a 1,000-step route answer read into a
// leg and written as the route document. Both with a location map of a realistic size.
#include <benchmark/benchmark.h>

#include <string>

#include "platform/gbk.h"
#include "platform/text.h"
#include "search/local_search.h"
#include "search/result_kml.h"
#include "search/route.h"
#include "search/route_kml.h"
#include "tiles/offset.h"

namespace {

using namespace tivra;

void fillOffsets(store::LocationMap& map) {
  for (int i = 0; i < 5000; ++i)
    tiles::StoreOffset(map, {11000000 + i * 400, 3900000 + i * 30}, {-600 + i % 7, 130}, true);
}

std::string searchAnswer(int hits) {
  std::string utf8 = "<?xml version=\"1.0\" encoding=\"GBK\"?><Result count=\"100\">";
  for (int i = 0; i < hits; ++i) {
    platform::appendFormat(
        utf8,
        "<Poi id=\"%d\"><LSID v=\"L%d\"/><Na v=\"北京咖啡馆第%d分店\"/><Add "
        "v=\"东城区长安街%d号\"/>"
        "<Tel v=\"010-6512%04d\"/><Geo lo=\"%d\" la=\"%d\"/><LSIDE v=\"E%d\"/><LSIDN v=\"N%d\"/>"
        "<Dis v=\"%d\"/><Admin pro=\"北京市\" city=\"北京\" dis=\"东城区\"/>"
        "<Class g1=\"餐饮\" g2=\"咖啡\" g3=\"咖啡馆\"/></Poi>",
        i, i, i, i, i, 11639712 + i * 37, 3990357 + i * 23, i, i, i * 10);
  }
  utf8 += "</Result>";
  return platform::utf8ToGbk(utf8).value_or("");
}

std::string routeAnswer(int steps) {
  std::string stepText, line;
  for (int i = 0; i < steps; ++i) {
    platform::appendFormat(stepText, "%d,%d,沿长安街向东行驶%d米;", 11639712 + i * 50,
                           3990357 + (i % 2) * 40, i);
    platform::appendFormat(line, "%d,%d;", 11639712 + i * 50, 3990357 + (i % 2) * 40);
  }
  return platform::utf8ToGbk("var r=[\"" + stepText + "\",\"" + line +
                             "\",\"约25分钟\",\"12.5\",\"公里\"]")
      .value_or("");
}

void BM_SearchDocument(benchmark::State& state) {
  store::LocationMap offsets;
  fillOffsets(offsets);
  const std::string answer = searchAnswer(static_cast<int>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    const auto records = search::parseSearchAnswer(answer, &offsets);
    const std::string kml =
        search::BuildResultKml(records, {"http://maps.google.com", "http://detail.example"});
    bytes = kml.size();
    benchmark::DoNotOptimize(kml.data());
  }
  state.SetLabel(std::to_string(answer.size()) + " answer bytes, " + std::to_string(bytes) +
                 " document bytes");
}
BENCHMARK(BM_SearchDocument)->Arg(100)->Unit(benchmark::kMicrosecond);

void BM_RouteDocument(benchmark::State& state) {
  store::LocationMap offsets;
  fillOffsets(offsets);
  const std::string answer = routeAnswer(static_cast<int>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    search::Route route("116.397128,39.903570", "", "116.447128,39.903970",
                        "http://maps.google.com");
    search::RouteLeg leg;
    search::parseRouteAnswer(platform::gbkToUtf8(answer), leg, &offsets);
    route.legs.emplace().push_back(std::move(leg));
    const std::string kml = search::routeKmlText(route);
    bytes = kml.size();
    benchmark::DoNotOptimize(kml.data());
  }
  state.SetLabel(std::to_string(answer.size()) + " answer bytes, " + std::to_string(bytes) +
                 " document bytes");
}
BENCHMARK(BM_RouteDocument)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

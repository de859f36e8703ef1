// A route answer is outside input: read it into a leg and write the route document, which must
// stay well-formed XML whatever the service wrote.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <pugixml.hpp>
#include <string>
#include <string_view>

#include "platform/gbk.h"
#include "search/route.h"
#include "search/route_kml.h"
#include "tiles/offset.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tivra;
  // One stored offset, so that the frame shifts run too.
  static store::LocationMap offsets;
  static const bool seeded = tiles::StoreOffset(offsets, tiles::PointE5{11640000, 3990000},
                                                tiles::PointE5{-600, 130}, true);
  (void)seeded;
  const std::string answer =
      platform::gbkToUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
  search::RouteLeg leg;
  search::Route route("116.4,39.9", "116.41,39.91", "116.42,39.92", "http://icons.test");
  route.legs.emplace();
  if (search::parseRouteAnswer(answer, leg, &offsets)) {
    route.legs->push_back(leg);
    route.legs->push_back(std::move(leg));  // a via arrival too
  }
  const std::string kml = search::routeKmlText(route);
  pugi::xml_document doc;
  if (!doc.load_buffer(kml.data(), kml.size())) std::abort();
  return 0;
}

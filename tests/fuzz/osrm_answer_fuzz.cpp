// A route answer of today is outside input: read it for a trip of three legs and write the
// route document, which must stay well-formed XML whatever the service wrote.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <pugixml.hpp>
#include <string>
#include <string_view>

#include "search/osrm_route.h"
#include "search/route_kml.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tivra;
  const std::string_view answer(reinterpret_cast<const char*>(data), size);
  const tiles::PointE5 trip[] = {
      {11639750, 3990870}, {11640000, 3990870}, {11640000, 3991200}, {11640500, 3991200}};
  search::OsrmAnswer a = search::parseOsrmAnswer(answer, trip);
  if (a.failure && !a.legs.empty()) std::abort();
  search::Route route("116.3975,39.9087", "116.4,39.9087;116.4,39.912", "116.405,39.912",
                      "http://icons.test");
  if (!a.failure) route.totals = a.totals;
  route.legs = std::move(a.legs);
  const std::string kml = search::routeKmlText(route);
  pugi::xml_document doc;
  if (!doc.load_buffer(kml.data(), kml.size())) std::abort();
  return 0;
}

// A place search answer of today is outside input: read it as Nominatim's and as Photon's and
// build the documents, which must stay well-formed XML whatever the service wrote.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <pugixml.hpp>
#include <string>
#include <string_view>

#include "search/place_search.h"
#include "search/result_kml.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tivra;
  const std::string_view answer(reinterpret_cast<const char*>(data), size);
  for (const search::PlaceAnswer& a :
       {search::parseNominatimAnswer(answer), search::parsePhotonAnswer(answer)}) {
    if (a.failure && !a.records.empty()) std::abort();
    if (a.records.size() > search::kMaxRecords) std::abort();
    const std::string kml =
        search::BuildResultKml(a.records, {"http://icons.test", "http://detail.test"});
    pugi::xml_document doc;
    if (!doc.load_buffer(kml.data(), kml.size())) std::abort();
  }
  return 0;
}

// A local-search answer is outside input: cut it into records and build their document, which
// must stay well-formed XML whatever the service wrote.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <pugixml.hpp>
#include <string>
#include <string_view>

#include "search/local_search.h"
#include "search/result_kml.h"
#include "tiles/offset.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tivra;
  // One stored offset, so that the frame shifts run too.
  static store::LocationMap offsets;
  static const bool seeded = tiles::StoreOffset(offsets, tiles::PointE5{11640000, 3990000},
                                                tiles::PointE5{-600, 130}, true);
  (void)seeded;
  const std::string_view answer(reinterpret_cast<const char*>(data), size);
  const auto records = search::parseSearchAnswer(answer, &offsets);
  const std::string kml =
      search::BuildResultKml(records, {"http://icons.test", "http://detail.test"});
  pugi::xml_document doc;
  if (!doc.load_buffer(kml.data(), kml.size())) std::abort();
  return 0;
}

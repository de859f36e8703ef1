// An encoded polyline is outside input: decoding never reads past the text, and every point it
// gives lies on the globe.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "search/polyline.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tivra;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto points = search::decodePolyline6(text, 4096);
  if (!points) return 0;
  if (points->size() > 4096 || points->size() * 2 > size) std::abort();
  for (const search::PointE6& p : *points) {
    if (p.x < -180'000'000 || p.x > 180'000'000 || p.y < -90'000'000 || p.y > 90'000'000)
      std::abort();
    if (!search::onGlobe(search::toE5(p))) std::abort();
  }
  return 0;
}

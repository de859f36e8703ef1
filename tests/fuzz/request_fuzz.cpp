// A request is outside input: route it through the overlay endpoints (BBOX values, offsets,
// tile indices) and the image endpoint (path decoding, built-ins, transparency digits).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "server/endpoint_context.h"
#include "server/image_endpoint.h"
#include "server/overlay_endpoints.h"
#include "server/router.h"
#include "store/tile_cache.h"
#include "tiles/map_values.h"

namespace {

using namespace tivra;

class SilentFrontend final : public platform::Frontend {
 public:
  void messageBox(std::string_view, std::string_view) override {}
};

// Offline and without a store: nothing leaves the process, and the built-ins stand in for it.
struct Server {
  SilentFrontend frontend;
  tiles::MapValues values;
  std::mutex stateLock;
  std::atomic<bool> online{false};
  store::TileCache cache{"/nonexistent-tivra-fuzz", frontend, "http:///tiles.invalid/404.png"};
  server::EndpointContext context{
      11000, "http://tiles.invalid/googlechina/maptile?", values, stateLock, cache, online, [] {}};
  server::Router router;

  Server() {
    router.setHandler(server::Endpoint::ImageServer, [this](std::string_view r, std::string& o) {
      server::ImageServer(context, r, o);
    });
    router.setHandler(server::Endpoint::KmlServer, [this](std::string_view r, std::string& o) {
      server::KmlServer(context, r, o);
    });
    router.setHandler(server::Endpoint::Default, [this](std::string_view r, std::string& o) {
      server::DefaultEndpoint(context, r, o);
    });
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Server server;
  // The first byte picks the map page's switches; the rest is the request (at most 1024 bytes,
  // as the connection reads it).
  const std::uint8_t switches = size > 0 ? data[0] : 0;
  tiles::MapValues& v = server.values;
  v.autoOffset = (switches & 1) != 0;
  v.transparentMode = (switches & 2) != 0;
  v.imageEnhancement = (switches & 4) == 0;
  v.offsetEdited = (switches & 8) != 0;
  v.zoomLevel = ((switches >> 4) % 11) - 5;
  v.colorNo = (switches >> 4) - 3;
  v.bkRange = (switches & 0x70) - 20;
  const std::string_view request(reinterpret_cast<const char*>(data) + (size > 0 ? 1 : 0),
                                 size > 0 ? std::min<std::size_t>(size - 1, 1024) : 0);
  std::string out;
  server.router.RouteRequest(request, out);
  // Offsets stored by one input must not pile up over millions.
  server.cache.locationMap().clear();
  return 0;
}

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/endpoint_context.h"
#include "server/router.h"
#include "server/tile_flights.h"

namespace tivra::server {

// `ImageServer`: the tile or built-in image named by the path after "ImageServer/", which is
// MODE "/" QUERY with MODE a letter and two digits ("F00", or "T" + colour + range digit).
// The tile's bytes are handed over as the body, not copied.
void ImageServer(const EndpointContext& context, std::string_view request, Response& out);
void ImageServer(const EndpointContext& context, std::string_view request, std::string& out);

// `FetchTile`: the store first; then, while online and only for a name of the query grammar
// (x, y, zoom), a download (from `TileUrl` when it is a template) that is stored for next time
// under the same key when it is a whole image of a known format; anything else is passed on
// and not stored. A `TileUrl` naming local files is read directly, online or not. nullopt
// when there is no tile.
// Connections asking for one tile at once share one fetch (context.flights).
TileBytes FetchTile(const EndpointContext& context, std::string_view key);

// The path after "ImageServer/" with "%3D" turned into "=" and then "%26" into "&".
std::string decodeImagePath(std::string_view path);

}  // namespace tivra::server

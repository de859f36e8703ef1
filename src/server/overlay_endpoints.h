#pragma once

#include <string>
#include <string_view>

#include "server/endpoint_context.h"

namespace tivra::server {

// `KmlServer`: the folder of 15 ground overlays around the view centre, sent bare.
void KmlServer(const EndpointContext& context, std::string_view request, std::string& out);

// The default endpoint: one ground overlay of the linear tile scheme, as a full KML response.
void DefaultEndpoint(const EndpointContext& context, std::string_view request, std::string& out);

// The start of every overlay's image URL: the tile source itself with image enhancement off,
// else this server's ImageServer path with the "F00" or "T" mode.
std::string tileHrefPrefix(const EndpointContext& context);

}  // namespace tivra::server

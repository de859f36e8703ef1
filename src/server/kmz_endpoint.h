#pragma once

#include <string>
#include <string_view>

#include "server/endpoint_context.h"

namespace tivra::server {

// `KmzServer`: the model archive named by everything after "KmzServer/", read from the store.
void KmzServer(const EndpointContext& context, std::string_view request, std::string& out);

}  // namespace tivra::server

#include "server/kmz_endpoint.h"

#include "platform/http_response.h"
#include "server/request.h"

namespace tivra::server {

void KmzServer(const EndpointContext& context, std::string_view request, std::string& out) {
  // The whole rest of the URL is the name, without percent-decoding.
  const std::string_view name = endpointRemainder(requestUrl(request), "KmzServer/");
  const auto archive = name.empty() ? std::nullopt : context.tileCache.ReadModelEntry(name);
  if (!archive) {
    out.append(platform::kNotFoundResponse);
    return;
  }
  out.reserve(archive->size() + 128);
  platform::appendFullResponse(out, platform::kKmzContentType, std::span(*archive));
}

}  // namespace tivra::server

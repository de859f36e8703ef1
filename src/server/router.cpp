#include "server/router.h"

#include "server/request.h"

namespace tivra::server {

namespace {

constexpr std::array<std::string_view, kEndpointCount - 1> kWords = {
    "KmlServer", "ImageServer", "KmzServer", "SatUpdateServer", "PosUpdateServer", "GPSServer",
};

std::string_view cutAtZero(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

}  // namespace

Endpoint chooseEndpoint(std::string_view request) {
  request = cutAtZero(request);
  for (std::size_t i = 0; i < kWords.size(); ++i)
    if (request.find(kWords[i]) != std::string_view::npos) return static_cast<Endpoint>(i);
  return Endpoint::Default;
}

Router::Router() {
  for (auto& handler : m_handlers) handler = [](std::string_view, Response&) {};
}

void Router::setHandler(Endpoint endpoint, Handler handler) {
  setResponseHandler(endpoint,
                     [handler = std::move(handler)](std::string_view request, Response& out) {
                       handler(request, out.text);
                     });
}

void Router::setResponseHandler(Endpoint endpoint, ResponseHandler handler) {
  m_handlers[static_cast<std::size_t>(endpoint)] = std::move(handler);
}

void Router::setPrefixHandler(std::string prefix, Handler handler) {
  m_prefix = std::move(prefix);
  m_prefixHandler = std::move(handler);
}

void Router::route(std::string_view request, Response& out) const {
  request = cutAtZero(request);
  if (m_prefixHandler && requestUrl(request).starts_with(m_prefix)) {
    m_prefixHandler(request, out.text);
    return;
  }
  m_handlers[static_cast<std::size_t>(chooseEndpoint(request))](request, out);
}

void Router::RouteRequest(std::string_view request, std::string& out) const {
  Response response;
  response.text.swap(out);
  route(request, response);
  out.swap(response.text);
  if (response.body) out.append(response.body->begin(), response.body->end());
}

}  // namespace tivra::server

#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tivra::server {

// The endpoints in routing order: the first whose word occurs anywhere in the request wins.
enum class Endpoint {
  KmlServer,
  ImageServer,
  KmzServer,
  SatUpdateServer,
  PosUpdateServer,
  GPSServer,
  Default,
};
inline constexpr std::size_t kEndpointCount = 7;

// The endpoint a request goes to. The whole text is searched, headers included, case-sensitively.
Endpoint chooseEndpoint(std::string_view request);

// A complete response: text (status line and headers, or a whole response) followed by the
// bytes of body when it is set. A large body is handed over as it is held, never copied: the
// block the connection lets go of after sending.
struct Response {
  std::string text;
  std::shared_ptr<const std::vector<std::uint8_t>> body;
};

// A handler appends the complete response (status line and headers included, or a bare body)
// to out. out arrives empty, with room for a typical response already reserved.
using Handler = std::function<void(std::string_view request, std::string& out)>;
using ResponseHandler = std::function<void(std::string_view request, Response& out)>;

class Router {
 public:
  // Every endpoint starts with a handler that sends nothing; the owner installs the real ones
  // before the server listens.
  Router();
  void setHandler(Endpoint endpoint, Handler handler);
  void setResponseHandler(Endpoint endpoint, ResponseHandler handler);
  // Requests whose URL starts with prefix go to handler instead of the word search: the globe
  // page's requests, which no Google Earth sends.
  void setPrefixHandler(std::string prefix, Handler handler);
  // The request text ends at its first zero byte, as the C string it always was.
  void route(std::string_view request, Response& out) const;
  // The same, with the body appended to the text.
  void RouteRequest(std::string_view request, std::string& out) const;

 private:
  std::array<ResponseHandler, kEndpointCount> m_handlers;
  std::string m_prefix;
  Handler m_prefixHandler;
};

}  // namespace tivra::server

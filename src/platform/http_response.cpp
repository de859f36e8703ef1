#include "platform/http_response.h"

#include "platform/text.h"

namespace tivra::platform {

void appendFullResponse(std::string& out, std::string_view contentTypeLine, std::string_view body) {
  out.append(kStatusOk);
  out.append(format("Content-Length:%ld\r\n", static_cast<long>(body.size())));
  out.append(contentTypeLine);
  out.append(body);
}

void appendFullResponse(std::string& out, std::string_view contentTypeLine,
                        std::span<const unsigned char> body) {
  appendFullResponse(out, contentTypeLine,
                     std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
}

std::string localBaseUrl(int port) {
  std::string url = "http://localhost:";
  appendInteger(url, port);
  return url;
}

namespace {

void appendLocalRedirect(std::string& out, int port, std::string_view path) {
  out.append("HTTP/1.1 302 Found\r\nLocation: ").append(localBaseUrl(port)).append(path);
  out.append("\r\n\r\n");
}

}  // namespace

void appendPlaceholderRedirect(std::string& out, int port) {
  appendLocalRedirect(out, port, "/ImageServer/F00/default.png");
}

void appendPlaceholderRedirect(std::string& out, int port, int colourDigit, int rangeDigit) {
  appendLocalRedirect(out, port, format("/ImageServer/T%d%d/default.png", colourDigit, rangeDigit));
}

}  // namespace tivra::platform

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

void appendPlaceholderRedirect(std::string& out, int port) {
  out.append("HTTP/1.1 302 Found\r\nLocation: http://localhost:");
  out.append(format("%d/ImageServer/F00/default.png\r\n\r\n", port));
}

void appendPlaceholderRedirect(std::string& out, int port, int colourDigit, int rangeDigit) {
  out.append("HTTP/1.1 302 Found\r\nLocation: http://localhost:");
  out.append(format("%d/ImageServer/T%d%d/default.png\r\n\r\n", port, colourDigit, rangeDigit));
}

std::string localBaseUrl(int port) {
  return format("http://localhost:%d", port);
}

}  // namespace tivra::platform

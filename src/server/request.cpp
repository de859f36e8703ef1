#include "server/request.h"

#include "platform/text.h"

namespace tivra::server {

bool requestComplete(std::string_view received) {
  if (received.find('\0') != std::string_view::npos) return true;
  if (received.find("\r\n\r\n") != std::string_view::npos) return true;
  if (received.find("\n\n") != std::string_view::npos) return true;
  const std::string_view line = firstLine(received);
  const bool lineEnded =
      !line.empty() && line.data() + line.size() < received.data() + received.size();
  return lineEnded && platform::tokenize(line, " ", 3).size() < 3;
}

std::string_view firstLine(std::string_view request) {
  return platform::Tokenizer(request, "\n").next();
}

std::string_view requestUrl(std::string_view request) {
  platform::Tokenizer tokens(firstLine(request), " ");
  tokens.next();  // the method
  return tokens.next();
}

std::string_view queryValue(std::string_view url) {
  const auto eq = url.find('=');
  return eq == std::string_view::npos ? url : url.substr(eq + 1);
}

std::string_view endpointRemainder(std::string_view url, std::string_view marker) {
  const auto at = url.find(marker);
  return at == std::string_view::npos ? std::string_view() : url.substr(at + marker.size());
}

}  // namespace tivra::server

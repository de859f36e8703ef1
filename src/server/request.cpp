#include "server/request.h"

#include "platform/text.h"

namespace tivra::server {

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

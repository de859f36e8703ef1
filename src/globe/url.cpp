#include "globe/url.h"

#include <algorithm>
#include <cctype>

namespace tivra::globe {

bool isHttpUrl(std::string_view url) {
  return url.starts_with("http://") || url.starts_with("https://");
}

std::string appendQuery(std::string_view href, std::string_view query) {
  std::string out(href);
  if (query.empty()) return out;
  if (!out.empty() && (out.back() == '?' || out.back() == '&')) {
    // already ends in a separator
  } else if (out.find('?') != std::string::npos) {
    out += '&';
  } else {
    out += '?';
  }
  out.append(query);
  return out;
}

std::string resolveHref(std::string_view base, std::string_view href) {
  auto isAbsolute = [](std::string_view s) {
    const std::size_t colon = s.find("://");
    if (colon == std::string_view::npos || colon == 0) return false;
    return std::all_of(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(colon),
                       [](char ch) { return std::isalnum(static_cast<unsigned char>(ch)) != 0; });
  };
  if (href.empty() || isAbsolute(href) || base.empty() || !isAbsolute(base)) {
    return std::string(href);
  }
  const std::size_t schemeEnd = base.find("://") + 3;
  const std::size_t pathStart = base.find('/', schemeEnd);
  const std::string_view origin = base.substr(0, pathStart);
  if (href.front() == '/') return std::string(origin) + std::string(href);
  std::string_view dir =
      pathStart == std::string_view::npos ? std::string_view("/") : base.substr(pathStart);
  dir = dir.substr(0, dir.find_first_of("?#"));
  dir = dir.substr(0, dir.rfind('/') + 1);
  return std::string(origin) + std::string(dir) + std::string(href);
}

}  // namespace tivra::globe

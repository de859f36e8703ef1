#pragma once

// URLs as the globe meets them in KML hrefs and redirects: "scheme://authority/path?query".

#include <string>
#include <string_view>

namespace tivra::globe {

// "http://..." or "https://...": a URL the globe fetches over the network.
bool isHttpUrl(std::string_view url);

// Appends a query part to an href: directly after a trailing "?", else after "&" or "?".
std::string appendQuery(std::string_view href, std::string_view query);

// Resolves an href found in a document fetched from base ("" for local files).
std::string resolveHref(std::string_view base, std::string_view href);

}  // namespace tivra::globe

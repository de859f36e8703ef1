#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "web/static_files.h"

namespace tivra::web {

class BrowserGlobe;

// Requests whose path starts with this come from the globe page and get full envelopes.
inline constexpr std::string_view kPagePrefix = "/globe/";
// The library's files below the prefix.
inline constexpr std::string_view kLibraryPrefix = "cesium/";

struct PageContext {
  WebRoot root;
  int port = 11000;
  // The document the page opens first: the same start view, logo and overlay link as Google
  // Earth's.
  std::function<std::string()> entryDocument;
  // Google Earth's routing: the page reaches the same endpoints through it.
  std::function<void(std::string_view request, std::string& out)> route;
  BrowserGlobe* globe = nullptr;  // null: the page's API answers 503
};

// Answers one request under kPagePrefix.
void PageEndpoint(const PageContext& context, std::string_view request, std::string& out);

// The page's `KmlServer` query rewritten to Google Earth's convention: escapes decoded (the
// page escapes the commas), the tilt counted from straight down (the page says -90 there) and
// the heading within 0..360 (the page may say 360). Values the endpoint does not use stay as
// they were.
std::string googleEarthViewQuery(std::string_view pageQuery);

}  // namespace tivra::web

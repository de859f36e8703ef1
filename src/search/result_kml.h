#pragma once

// The search result document: styles over the public icon set, one placemark per hit.

#include <span>
#include <string>
#include <string_view>

#include "search/local_search.h"

namespace tivra::search {

// The service bases a document refers to (each "http://host" or a full scheme and host).
struct DocumentHosts {
  std::string iconBase;    // the icon server
  std::string detailBase;  // the detail pages of search hits
};

// KML style blocks as the result and route documents write them: "default+icon=" + URL for a
// style, "default+nicon=" + normal URL + "+hicon=" + highlight URL for a style map.
std::string styleId(std::string_view iconUrl);
std::string styleMapId(std::string_view normalUrl, std::string_view highlightUrl);
void appendStyle(std::string& out, std::string_view iconUrl, bool scaled);
void appendStyleMap(std::string& out, std::string_view normalUrl, std::string_view highlightUrl);

// `BuildResultKml`: the document for the records, UTF-8, line for line. cut: the answer held
// more than kMaxRecords hits, which the document's description then says.
std::string BuildResultKml(std::span<const PoiRecord> records, const DocumentHosts& hosts,
                           bool cut = false);

}  // namespace tivra::search

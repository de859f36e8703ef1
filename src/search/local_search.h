#pragma once

// The local-search service: the query URL and the cutting of its answer into records.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "search/points.h"
#include "tiles/fetch_url.h"

namespace tivra::search {

// The base of a service URL from a host setting: "http://" + host[:port], or the value as it
// stands when it already starts with "http://" or "https://".
std::string serviceBase(std::string_view host);

// Why a service's download gave nothing to read, or nullopt when it gave a body: "no answer"
// only when no response came; a status other than 2xx (or a redirect that led to no body) as
// "HTTP status N"; a body that broke off, was too long or timed out as "the answer broke off".
std::optional<std::string> downloadFailure(const tiles::FetchResult& fetched);

// `PoiRecord`: one hit, strings as UTF-8. lon/lat are E5 units in the globe's frame once
// ParseSearchResponse returns.
struct PoiRecord {
  std::int32_t id = 0;
  std::string lsid;
  std::string name;
  std::string address;
  std::string phone;
  std::int32_t lon = 0;
  std::int32_t lat = 0;
  std::string distance;
  std::string lside;
  std::string lsidn;
  std::string province;
  std::string city;
  std::string district;
  std::string class1;
  std::string class2;
  std::string class3;
};

// The 69 cities of the search page, in the order of its dialog template.
extern const std::array<std::string_view, 69> kSearchCities;
bool isSearchCity(std::string_view city);

// The keyword edit box holds at most this many bytes of code page 936.
inline constexpr std::size_t kKeywordLimit = 128;

// The view of the "within the globe's view" box: centre in degrees, camera range in metres.
struct SearchView {
  double longitude = 0.0;
  double latitude = 0.0;
  double range = 0.0;
};

struct SearchQuery {
  std::string city;     // UTF-8
  std::string keyword;  // UTF-8
  std::optional<SearchView> view;
};

// `BuildSearchUrl`: base + "/LocalSearch?LocalSearch&city=" ... "&radius=". City and keyword
// go out as code page 936 bytes, every byte outside the unreserved set percent-encoded so a
// blank, "&", "#" or "%" cannot break the query or add parameters; the blank of
// "POINT(x y)" is sent as "%20" since a request line cannot hold it. nullopt when city or
// keyword has no code page 936 form.
std::optional<std::string> BuildSearchUrl(std::string_view base, const SearchQuery& query,
                                          Offsets offsets);

// Every byte but A-Z a-z 0-9 - . _ ~ as "%XX".
std::string percentEncode(std::string_view bytes);

// The service asks for 100 hits a page; a hostile answer must not fill memory with records.
inline constexpr std::size_t kMaxRecords = 10000;

// `ParseSearchResponse`: the Poi elements of an answer (UTF-8) as records in document order,
// positions shifted into the globe's frame. At most kMaxRecords records; a hit whose position
// lies off the globe is refused rather than placed somewhere.
std::vector<PoiRecord> ParseSearchResponse(std::string_view answer, Offsets offsets,
                                           AnswerNotes* notes = nullptr);

// ParseSearchResponse of the service's code page 936 bytes.
std::vector<PoiRecord> parseSearchAnswer(std::string_view gbkAnswer, Offsets offsets,
                                         AnswerNotes* notes = nullptr);

}  // namespace tivra::search

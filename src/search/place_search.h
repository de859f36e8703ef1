#pragma once

// Place search with the JSON services of today (Nominatim's and Photon's APIs): the box a
// query is bounded to, the request URLs and the answers read into the records of the result
// document. These services work in the globe's own frame (WGS-84): no offset is applied.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "search/local_search.h"
#include "search/service_api.h"

namespace tivra::search {

// A box in degrees.
struct GeoBox {
  double west = 0.0;
  double south = 0.0;
  double east = 0.0;
  double north = 0.0;
};

// Where one of the search page's cities lies: its centre and the radius that holds its town.
struct CityArea {
  std::string_view name;
  double longitude;
  double latitude;
  double radiusKm;
};
extern const std::array<CityArea, 69> kCityAreas;

// The box of a city of kSearchCities; nullopt for another name.
std::optional<GeoBox> cityBox(std::string_view city);
// The box of the globe's view: its centre, the camera range as the half width, kept on the
// globe.
GeoBox viewBox(const SearchView& view);
// The query's box: the view's when it has one, else its city's.
std::optional<GeoBox> queryBox(const SearchQuery& query);

// nominatim: BASE/search?q=K&format=jsonv2&limit=100&addressdetails=1&viewbox=W,N,E,S&bounded=1
// photon:    BASE/api?q=K&limit=100&bbox=W,S,E,N
// The keyword as UTF-8, percent-encoded; box edges with six decimals.
std::string placeSearchUrl(ServiceApi api, std::string_view base, std::string_view keyword,
                           const GeoBox& box);

// The hits of an answer as records numbered from 1, positions in E5 units rounded to the
// nearest, at most kMaxRecords; failure set when the answer is not what the API answers.
struct PlaceAnswer {
  std::vector<PoiRecord> records;
  AnswerNotes notes;
  std::optional<std::string> failure;
};
PlaceAnswer parseNominatimAnswer(std::string_view json);
PlaceAnswer parsePhotonAnswer(std::string_view json);

}  // namespace tivra::search

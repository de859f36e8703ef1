#pragma once

// What the search page does, without its widgets: a search from the page's three inputs to the
// result document in the globe.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "globe/earth.h"
#include "platform/frontend.h"
#include "search/local_search.h"
#include "search/result_kml.h"

namespace tivra::search {

// The services of a search and the document's hosts.
struct SearchServices {
  std::string searchBase;
  DocumentHosts hosts;
  Offsets offsets = nullptr;
};

// The result document of a query, downloaded and parsed; nullopt when the URL cannot be built
// (text without a GBK form). Without a document, failure says why: the download's failure
// (downloadFailure) or "an empty answer".
struct SearchOutcome {
  std::string url;
  std::optional<std::string> document;
  std::optional<std::string> failure;
  AnswerNotes notes;
};
std::optional<SearchOutcome> runSearch(const SearchQuery& query, const SearchServices& services);

enum class SearchResult {
  Loaded,       // the document went to the globe
  NoAnswer,     // the download gave nothing, or an answer that is not 2xx: silent
  GlobeFailed,  // the view could not be read or the globe refused the document
  FileFailed,   // the document could not be written (reported to the user)
  BadText,      // city or keyword without a code page 936 form (reported to the user)
};

// The search page: its inputs, and the handler of its search button.
class SearchPage {
 public:
  SearchPage(globe::Earth& earth, platform::Frontend& frontend, SearchServices services,
             std::filesystem::path tempDirectory,
             std::chrono::milliseconds loadWait = std::chrono::milliseconds(300));

  // The page's inputs; the UI writes them before pressing the button.
  // The entry the page selects at start: index 2 of the cities in collation (pinyin) order.
  std::string city = "北京";
  std::string keyword;  // UTF-8; the edit box holds at most kKeywordLimit bytes of GBK
  bool withinView = false;

  // `OnSearch`: builds the URL (with the view's centre and range when ticked), downloads,
  // parses and hands the document to the globe as srchtemp.kml.
  SearchResult OnSearch();

 private:
  globe::Earth& m_earth;
  platform::Frontend& m_frontend;
  SearchServices m_services;
  std::filesystem::path m_tempDirectory;
  std::chrono::milliseconds m_loadWait;
};

}  // namespace tivra::search

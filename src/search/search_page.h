#pragma once

// What the search page does, without its widgets: a search from the page's three inputs to the
// result document in the globe.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "globe/earth.h"
#include "platform/frontend.h"
#include "search/local_search.h"
#include "search/query_thread.h"
#include "search/result_kml.h"
#include "search/service_api.h"

namespace tivra::search {

// The services of a search and the document's hosts.
struct SearchServices {
  SearchServices() = default;
  SearchServices(std::string base, DocumentHosts documentHosts, Offsets shift = nullptr,
                 ServiceApi serviceApi = ServiceApi::Legacy,
                 std::shared_ptr<RequestPacer> servicePacer = nullptr)
      : searchBase(std::move(base)),
        hosts(std::move(documentHosts)),
        offsets(shift),
        api(serviceApi),
        pacer(std::move(servicePacer)) {}

  std::string searchBase;
  DocumentHosts hosts;
  Offsets offsets = nullptr;
  // Legacy: the old grammar at searchBase; Nominatim or Photon: a service of today there,
  // which answers in the globe's frame (offsets unused).
  ServiceApi api = ServiceApi::Legacy;
  std::shared_ptr<RequestPacer> pacer;  // shared by every query to this service
};

// The result document of a query, downloaded and parsed; nullopt when the URL cannot be built
// (text without a GBK form). Without a document, failure says why: the download's failure
// (downloadFailure) or "an empty answer"; for a service of today also an answer that is not the
// expected JSON.
struct SearchOutcome {
  std::string url;
  std::optional<std::string> document;
  std::optional<std::string> failure;
  AnswerNotes notes;
  std::vector<PoiRecord> records;  // the hits of the document, for other formats
};
std::optional<SearchOutcome> runSearch(const SearchQuery& query, const SearchServices& services);

enum class SearchResult {
  Loaded,       // the document went to the globe
  NoAnswer,     // the download gave nothing, or an answer that is not 2xx: silent for the old
                // service; a service of today's failure is told to the user
  GlobeFailed,  // the view could not be read or the globe refused the document
  FileFailed,   // the document could not be written (reported to the user)
  BadText,      // city or keyword without a code page 936 form (reported to the user)
  Pending,      // the download runs off this thread; onFinished tells how it ended
};

// The search page: its inputs, and the handler of its search button.
//
// Threads: every method runs on the page's thread; the download reaches the page only through
// the post function, whose tasks run on the page's thread.
class SearchPage {
 public:
  SearchPage(globe::Earth& earth, platform::Frontend& frontend, SearchServices services,
             std::filesystem::path tempDirectory,
             std::chrono::milliseconds loadWait = std::chrono::milliseconds(300));
  ~SearchPage();
  SearchPage(const SearchPage&) = delete;
  SearchPage& operator=(const SearchPage&) = delete;

  // The page's inputs; the UI writes them before pressing the button.
  // The entry the page selects at start: index 2 of the cities in collation (pinyin) order.
  std::string city = "北京";
  std::string keyword;  // UTF-8; the edit box holds at most kKeywordLimit bytes of GBK
  bool withinView = false;

  // Runs a task on the page's thread (its message queue), callable from any thread. Set, the
  // download and parsing run off the page's thread; unset, all of a search runs here.
  void setPost(QueryThread::Post post) { m_post = std::move(post); }

  // `OnSearch`: reads the view here (when ticked), builds the URL, downloads and parses, and
  // hands the document to the globe as srchtemp.kml here. Pending when the download went off
  // this thread (onFinished then tells how it ended), or while a search still runs.
  SearchResult OnSearch();
  std::function<void(SearchResult)> onFinished;
  // The search button during a search: drops it; the page is idle again at once.
  void cancel();
  bool searching() const { return m_query != nullptr; }
  // The hits of the last search that gave a document (for "导出GPX…"); null before one.
  const std::vector<PoiRecord>* results() const { return m_results ? &*m_results : nullptr; }

 private:
  SearchResult finish(const std::optional<SearchOutcome>& outcome);

  globe::Earth& m_earth;
  platform::Frontend& m_frontend;
  SearchServices m_services;
  std::filesystem::path m_tempDirectory;
  std::chrono::milliseconds m_loadWait;
  QueryThread::Post m_post;
  std::unique_ptr<QueryThread> m_query;
  std::optional<std::vector<PoiRecord>> m_results;
  // Tasks posted by a search check this before touching the page, which may be gone by then.
  std::shared_ptr<SearchPage*> m_alive = std::make_shared<SearchPage*>(this);
};

}  // namespace tivra::search

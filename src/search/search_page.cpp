#include "search/search_page.h"

#include "platform/log.h"
#include "search/kml_loader.h"
#include "search/place_search.h"
#include "tiles/fetch_url.h"

namespace tivra::search {

namespace {

// A search with a service of today: the box of the city or view, one paced request, the JSON
// hits placed where the service put them.
SearchOutcome runPlaceSearch(const SearchQuery& query, const SearchServices& services) {
  SearchOutcome outcome;
  if (services.api != ServiceApi::Nominatim && services.api != ServiceApi::Photon) {
    outcome.failure = "SearchService is neither empty nor nominatim:BASE or photon:BASE";
    return outcome;
  }
  const auto box = queryBox(query);
  if (!box) {
    outcome.failure = "unknown city \"" + query.city + "\"";
    return outcome;
  }
  outcome.url = placeSearchUrl(services.api, services.searchBase, query.keyword, *box);
  const tiles::FetchResult fetched = fetchServiceAnswer(outcome.url, services.pacer.get());
  outcome.failure = downloadFailure(fetched);
  if (outcome.failure) return outcome;
  const std::string_view body(reinterpret_cast<const char*>(fetched.body->data()),
                              fetched.body->size());
  PlaceAnswer answer =
      services.api == ServiceApi::Photon ? parsePhotonAnswer(body) : parseNominatimAnswer(body);
  outcome.notes = answer.notes;
  if (answer.failure) {
    outcome.failure = std::move(answer.failure);
    return outcome;
  }
  outcome.document = BuildResultKml(answer.records, services.hosts, answer.notes.cut);
  outcome.records = std::move(answer.records);
  return outcome;
}

}  // namespace

std::optional<SearchOutcome> runSearch(const SearchQuery& query, const SearchServices& services) {
  if (services.api != ServiceApi::Legacy) return runPlaceSearch(query, services);
  auto url = BuildSearchUrl(services.searchBase, query, services.offsets);
  if (!url) return std::nullopt;
  SearchOutcome outcome{std::move(*url), std::nullopt, std::nullopt, {}, {}};
  tiles::FetchOptions options;
  options.allowHttps = true;  // a service host may be given with its https scheme
  const tiles::FetchResult fetched = tiles::fetch_url(outcome.url, options);
  // An error page is no list of hits: taking it for zero hits would hide the failure.
  outcome.failure = downloadFailure(fetched);
  if (outcome.failure) return outcome;
  if (fetched.body->empty()) {
    outcome.failure = "an empty answer";
    return outcome;
  }
  const std::string_view body(reinterpret_cast<const char*>(fetched.body->data()),
                              fetched.body->size());
  outcome.records = parseSearchAnswer(body, services.offsets, &outcome.notes);
  outcome.document = BuildResultKml(outcome.records, services.hosts, outcome.notes.cut);
  return outcome;
}

SearchPage::SearchPage(globe::Earth& earth, platform::Frontend& frontend, SearchServices services,
                       std::filesystem::path tempDirectory, std::chrono::milliseconds loadWait)
    : m_earth(earth),
      m_frontend(frontend),
      m_services(std::move(services)),
      m_tempDirectory(std::move(tempDirectory)),
      m_loadWait(loadWait) {}

SearchPage::~SearchPage() {
  *m_alive = nullptr;
}

SearchResult SearchPage::OnSearch() {
  if (m_query) return SearchResult::Pending;
  SearchQuery query{city, keyword, std::nullopt};
  if (withinView) {
    try {
      const globe::TerrainPoint centre = m_earth.GetPointOnTerrainFromScreenCoords(0.0, 0.0);
      const globe::Camera camera = m_earth.GetCamera(true);
      query.view = SearchView{centre.Longitude, centre.Latitude, camera.Range};
    } catch (const globe::EarthError& e) {
      // Without the view there is nothing to ask for: no request.
      platform::debugTrace(std::string("globe: search view: ") + e.what());
      return SearchResult::GlobeFailed;
    }
  }
  if (!m_post) return finish(runSearch(query, m_services));
  std::weak_ptr<SearchPage*> alive = m_alive;
  const auto onPage = [alive](const std::optional<SearchOutcome>& outcome) {
    const auto page = alive.lock();
    if (!page || *page == nullptr) return;
    SearchPage& self = **page;
    self.m_query.reset();
    const SearchResult result = self.finish(outcome);
    if (self.onFinished) self.onFinished(result);
  };
  auto work = [query = std::move(query), services = m_services, onPage]() -> QueryThread::Task {
    return [outcome = runSearch(query, services), onPage] { onPage(outcome); };
  };
  auto failed = [onPage] { onPage(SearchOutcome{}); };
  m_query = std::make_unique<QueryThread>(std::move(work), std::move(failed), m_post);
  return SearchResult::Pending;
}

void SearchPage::cancel() {
  if (!m_query) return;
  m_query->cancel();
  m_query.reset();
}

SearchResult SearchPage::finish(const std::optional<SearchOutcome>& outcome) {
  if (!outcome) {
    m_frontend.messageBox("搜索内容无法转换为GBK编码", "Tivra");
    return SearchResult::BadText;
  }
  if (!outcome->document) {
    // The old service's silence stays; a service of today says why it found nothing.
    if (m_services.api != ServiceApi::Legacy)
      m_frontend.messageBox("搜索失败: " + outcome->failure.value_or("无应答"), "Tivra");
    return SearchResult::NoAnswer;
  }
  m_results = outcome->records;
  const std::filesystem::path path = m_tempDirectory / kSearchDocumentName;
  switch (LoadKmlIntoEarth(m_earth, *outcome->document, path, m_frontend, m_loadWait)) {
    case LoadResult::Opened:
      return SearchResult::Loaded;
    case LoadResult::FileFailed:
      return SearchResult::FileFailed;
    case LoadResult::GlobeFailed:
      break;
  }
  return SearchResult::GlobeFailed;
}

}  // namespace tivra::search

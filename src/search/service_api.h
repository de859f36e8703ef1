#pragma once

// The JSON services of today beside the old grammars: which API a setting names, how our
// requests present themselves, and the pace at which one service is asked.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "tiles/fetch_url.h"

namespace tivra::search {

enum class ServiceApi {
  Legacy,     // empty setting: the old grammar at the host setting
  Nominatim,  // "nominatim:BASE"
  Photon,     // "photon:BASE"
  Osrm,       // "osrm:BASE"
  Unknown,    // anything else: every query fails and says so
};

struct ServiceSetting {
  ServiceApi api = ServiceApi::Legacy;
  std::string base;  // scheme and host (and path) without a trailing "/"; "http://" when bare
};

// `SearchService` / `RouteService` values. The API word is matched exactly.
ServiceSetting parseServiceSetting(std::string_view value);

// "User-Agent: Tivra/<version>": public instances ask every client to name itself.
std::string_view serviceUserAgentHeader();

// At most one request per gap to one service, in the order callers came. Shared by everything
// that asks the same service (the pages' query threads, one command).
class RequestPacer {
 public:
  explicit RequestPacer(std::chrono::milliseconds gap = std::chrono::seconds(1)) : m_gap(gap) {}
  RequestPacer(const RequestPacer&) = delete;
  RequestPacer& operator=(const RequestPacer&) = delete;

  // Waits for this caller's turn; false when stop was requested first.
  bool wait(std::stop_token stop = {});

 private:
  const std::chrono::milliseconds m_gap;
  std::mutex m_mutex;
  std::condition_variable_any m_never;  // waited on only for its stop-aware timed wait
  std::chrono::steady_clock::time_point m_next{};
};

// One GET of a JSON service: paced when a pacer is given, with our own agent line, https
// allowed, no Referer. The body is bounded by the download's own limit.
tiles::FetchResult fetchServiceAnswer(std::string_view url, RequestPacer* pacer);

}  // namespace tivra::search

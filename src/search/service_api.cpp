#include "search/service_api.h"

#include <algorithm>

#include "search/local_search.h"

#ifndef TIVRA_VERSION
#define TIVRA_VERSION "0"
#endif

namespace tivra::search {

ServiceSetting parseServiceSetting(std::string_view value) {
  if (value.empty()) return {};
  struct Word {
    std::string_view prefix;
    ServiceApi api;
  };
  constexpr Word kWords[] = {{"nominatim:", ServiceApi::Nominatim},
                             {"photon:", ServiceApi::Photon},
                             {"osrm:", ServiceApi::Osrm}};
  for (const Word& w : kWords) {
    if (!value.starts_with(w.prefix)) continue;
    std::string_view base = value.substr(w.prefix.size());
    while (!base.empty() && base.back() == '/') base.remove_suffix(1);
    if (base.empty()) break;
    return ServiceSetting{w.api, serviceBase(base)};
  }
  return ServiceSetting{ServiceApi::Unknown, std::string(value)};
}

std::string_view serviceUserAgentHeader() {
  static constexpr std::string_view kHeader = "User-Agent: Tivra/" TIVRA_VERSION;
  return kHeader;
}

bool RequestPacer::wait(std::stop_token stop) {
  std::unique_lock lock(m_mutex);
  const auto now = std::chrono::steady_clock::now();
  const auto slot = std::max(now, m_next);
  m_next = slot + m_gap;
  if (slot <= now) return !stop.stop_requested();
  m_never.wait_until(lock, stop, slot, [] { return false; });
  return !stop.stop_requested();
}

tiles::FetchResult fetchServiceAnswer(std::string_view url, RequestPacer* pacer) {
  tiles::FetchOptions options;
  options.userAgentHeader = serviceUserAgentHeader();
  options.redirectReferer = {};
  options.allowHttps = true;
  if (pacer != nullptr && !pacer->wait()) return {};
  return tiles::fetch_url(url, options);
}

}  // namespace tivra::search

#include "tiles/fetch_url.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string>

#include "platform/http_client.h"
#include "platform/log.h"
#include "platform/text.h"

namespace tivra::tiles {

namespace detail {

bool DownloadTurns::acquire(std::stop_token stop) {
  std::unique_lock lock(m_mutex);
  if (!m_freed.wait(lock, stop, [this] { return m_inUse < m_count; })) return false;
  ++m_inUse;
  return true;
}

void DownloadTurns::release() {
  {
    std::lock_guard lock(m_mutex);
    --m_inUse;
  }
  m_freed.notify_one();
}

int DownloadTurns::inUse() const {
  std::lock_guard lock(m_mutex);
  return m_inUse;
}

DownloadTurns& downloadTurns() {
  static DownloadTurns turns(kMaxDownloads);
  return turns;
}

namespace {

bool validPort(std::string_view digits) {
  if (digits.empty() || digits.size() > 5) return false;
  unsigned port = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  return ec == std::errc{} && end == digits.data() + digits.size() && port >= 1 && port <= 65535;
}

bool validHost(std::string_view host) {
  if (host.empty()) return false;
  if (host.front() == '[') {
    // An IPv6 literal: hex digits, colons and dots inside brackets.
    if (host.size() < 3 || host.back() != ']') return false;
    return std::all_of(host.begin() + 1, host.end() - 1, [](char c) {
      return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
    });
  }
  return std::all_of(host.begin(), host.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) != 0 || c == '-' || c == '.' || c == '_' || u >= 0x80;
  });
}

}  // namespace

std::optional<HttpUrl> splitHttpUrl(std::string_view url, bool allowHttps) {
  const bool https = allowHttps && platform::startsWithIgnoreCase(url, "https://");
  const std::string_view kScheme = https ? "https://" : "http://";
  if (!platform::startsWithIgnoreCase(url, kScheme)) return std::nullopt;
  // Control bytes and spaces cannot be sent in a request line.
  if (std::any_of(url.begin(), url.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u == 0x7f;
      })) {
    return std::nullopt;
  }
  const std::string_view rest = url.substr(kScheme.size());
  const std::size_t authorityEnd = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, authorityEnd);
  std::string_view path =
      authorityEnd == std::string_view::npos ? std::string_view{} : rest.substr(authorityEnd);
  if (const auto fragment = path.find('#'); fragment != std::string_view::npos) {
    path = path.substr(0, fragment);
  }

  std::string_view hostPort = authority;
  if (const auto at = hostPort.rfind('@'); at != std::string_view::npos) {
    hostPort = hostPort.substr(at + 1);
  }
  std::string_view host = hostPort;
  const auto closeBracket = hostPort.rfind(']');
  const auto colon = hostPort.rfind(':');
  if (colon != std::string_view::npos &&
      (closeBracket == std::string_view::npos || colon > closeBracket)) {
    host = hostPort.substr(0, colon);
    if (!validPort(hostPort.substr(colon + 1))) return std::nullopt;
  }
  if (!validHost(host)) return std::nullopt;

  HttpUrl split;
  split.https = https;
  split.authority = std::string(authority);
  if (path.empty() || path.front() != '/') split.pathAndQuery.push_back('/');
  split.pathAndQuery.append(path);
  return split;
}

std::optional<std::string> resolveLocation(const HttpUrl& base, std::string_view location,
                                           bool allowHttps) {
  if (location.starts_with("/") && !location.starts_with("//")) {
    return (base.https ? "https://" : "http://") + base.authority + std::string(location);
  }
  if (!splitHttpUrl(location, allowHttps)) return std::nullopt;
  return std::string(location);
}

}  // namespace detail

namespace {

bool isRedirect(int status) {
  return status == 301 || status == 302 || status == 303;
}

platform::HttpGetOptions fetchOptions(const FetchOptions& fetch, std::string_view referer) {
  platform::HttpGetOptions options;
  options.headerLines = {std::string(kFetchAcceptHeader), std::string(fetch.userAgentHeader)};
  options.referer = std::string(referer);
  options.allowHttps = fetch.allowHttps;
  options.caFile = fetch.caFile;
  options.connectTimeout = kFetchConnectTimeout;
  options.totalTimeout = kFetchTotalTimeout;
  options.firstByteTimeout = fetch.firstByteTimeout;
  options.stop = fetch.stop;
  return options;
}

// Collects a body, growing past the first guess as needed and refusing more than the cap.
class BodyCollector {
 public:
  bool start(const platform::HttpHead& head) {
    const std::uint64_t expected = head.contentLength.value_or(kFetchExpectedLengthGuess);
    m_body.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(expected, kFetchMaxBodyBytes)));
    return true;
  }
  bool append(std::span<const std::uint8_t> piece) {
    if (piece.size() > kFetchMaxBodyBytes - m_body.size()) {
      m_tooLarge = true;
      return false;
    }
    m_body.insert(m_body.end(), piece.begin(), piece.end());
    return true;
  }
  bool tooLarge() const { return m_tooLarge; }
  std::vector<std::uint8_t> take() { return std::move(m_body); }

 private:
  std::vector<std::uint8_t> m_body;
  bool m_tooLarge = false;
};

void traceFailure(std::string_view url, const platform::HttpGetResult& result) {
  if (!platform::debugLogEnabled()) return;
  platform::debugTrace("fetch_url " + std::string(url) + ": " + result.errorText);
}

void fetchLocked(std::string_view url, const FetchOptions& options, FetchResult& result) {
  const auto target = detail::splitHttpUrl(url, options.allowHttps);
  if (!target) return;
  platform::HttpClient client;
  if (!client.valid()) return;

  BodyCollector first;
  const auto firstResult = client.get(
      url, fetchOptions(options, ""),
      [&](const platform::HttpHead& head) {
        // Refusals and redirects: the body is not wanted.
        if (head.status == 401 || head.status == 403 || isRedirect(head.status)) return false;
        return first.start(head);
      },
      [&](std::span<const std::uint8_t> piece) { return first.append(piece); });
  result.status = firstResult.head.status;
  const int status = firstResult.head.status;

  if (status == 401 || status == 403) return;
  if (!isRedirect(status) || !firstResult.headComplete) {
    if (firstResult.error != platform::HttpError::None) {
      traceFailure(url, firstResult);
      return;
    }
    result.body = first.take();
    return;
  }

  const auto location = platform::headerValue(firstResult.head.rawHeaders, "Location");
  if (!location || location->empty()) return;
  const auto next = detail::resolveLocation(*target, *location, options.allowHttps);
  if (!next) return;
  BodyCollector second;
  const auto secondResult = client.get(
      *next, fetchOptions(options, options.redirectReferer),
      [&](const platform::HttpHead& head) { return head.status == 200 && second.start(head); },
      [&](std::span<const std::uint8_t> piece) { return second.append(piece); });
  if (secondResult.error != platform::HttpError::None || secondResult.head.status != 200) {
    traceFailure(*next, secondResult);
    return;
  }
  result.body = second.take();
}

}  // namespace

FetchResult fetch_url(std::string_view url) noexcept {
  return fetch_url(url, FetchOptions{});
}

FetchResult fetch_url(std::string_view url, const FetchOptions& options) noexcept {
  FetchResult result;
  detail::DownloadTurns& turns = detail::downloadTurns();
  try {
    if (!turns.acquire(options.stop)) return result;
    struct Release {
      detail::DownloadTurns& turns;
      ~Release() { turns.release(); }
    } release{turns};
    fetchLocked(url, options, result);
  } catch (...) {
    // Out of memory or a failing lock: the download did not happen.
    result.body.reset();
  }
  return result;
}

}  // namespace tivra::tiles

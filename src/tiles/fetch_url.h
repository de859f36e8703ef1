#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace tivra::tiles {

// Header lines added to every download, as a browser of the tile source's era sent them.
inline constexpr std::string_view kFetchAcceptHeader =
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/vnd.ms-excel, "
    "application/vnd.ms-powerpoint, application/msword, application/x-shockwave-flash, */*";
inline constexpr std::string_view kFetchUserAgentHeader =
    "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0)";
// Sent as Referer when a redirect is followed: a news portal's home page.
inline constexpr std::string_view kFetchRedirectReferer = "http://www.sina.com.cn/";

// First guess of a body's size when the response has no Content-Length.
inline constexpr std::size_t kFetchExpectedLengthGuess = 102'400;
// Largest body we accept. Tiles are tens of kilobytes and service answers smaller; a larger
// body is a broken or hostile server and is refused rather than held in memory.
inline constexpr std::size_t kFetchMaxBodyBytes = 16u * 1024 * 1024;

// A dead host must not hold a connection thread for minutes.
inline constexpr std::chrono::milliseconds kFetchConnectTimeout{10'000};
inline constexpr std::chrono::milliseconds kFetchTotalTimeout{30'000};
// A source that takes the request but does not answer holds its download no longer than this.
inline constexpr std::chrono::milliseconds kFetchFirstByteTimeout{10'000};
// Downloads that may run at once in the whole program: one stuck source holds back only its
// own.
inline constexpr int kMaxDownloads = 4;

struct FetchResult {
  // The response body, exact bytes; nullopt when the download failed.
  std::optional<std::vector<std::uint8_t>> body;
  // Status code of the first response (also when a redirect was followed); 0 if none arrived.
  int status = 0;
};

// How a download presents itself. The defaults are the tile source's own: http only, the
// browser's agent line, the news portal as Referer of a followed redirect.
struct FetchOptions {
  std::string_view userAgentHeader = kFetchUserAgentHeader;
  std::string_view redirectReferer = kFetchRedirectReferer;  // empty: none
  bool allowHttps = false;
  std::string caFile;  // replaces the system's CA store when set
  // A stop request gives the download up (within about a second), or its wait for a turn.
  std::stop_token stop;
  std::chrono::milliseconds firstByteTimeout = kFetchFirstByteTimeout;
};

// One HTTP GET of `url` (http only), holding one of the kMaxDownloads turns for the whole call
// (waiting for one when all are taken).
//  - 401, 403: nullopt with that status.
//  - 301, 302, 303: the one redirect is followed with the fixed Referer; the target must answer
//    200 and its body is returned with the first status. A missing or unusable Location, or
//    another status from the target: nullopt with the first status.
//  - every other status: its body, with that status (Content-Length 0: an empty body).
//  - a body cut short by the server or the network, one longer than kFetchMaxBodyBytes, a
//    time-out (no byte within firstByteTimeout included) or a stop: nullopt, so a partial
//    tile is never taken for a whole one.
// Never throws.
FetchResult fetch_url(std::string_view url) noexcept;
// The same for a source that presents itself otherwise; https only when the options allow it,
// for the URL and for the redirect's target alike.
FetchResult fetch_url(std::string_view url, const FetchOptions& options) noexcept;

namespace detail {

// The program-wide download lock, with turns for kMaxDownloads downloads at a time.
class DownloadTurns {
 public:
  explicit DownloadTurns(int count) : m_count(count) {}
  // Waits for a free turn; false when stop was requested first.
  bool acquire(std::stop_token stop);
  void release();
  int inUse() const;

 private:
  const int m_count;
  mutable std::mutex m_mutex;
  std::condition_variable_any m_freed;
  int m_inUse = 0;
};
DownloadTurns& downloadTurns();

struct HttpUrl {
  std::string authority;  // host[:port] as written
  std::string pathAndQuery;
  bool https = false;
};

// Splits "http://host[:port]/path?query" (and "https://..." when allowHttps); nullopt for any
// other scheme, an empty host, a bad port or a byte that cannot appear in a request line.
std::optional<HttpUrl> splitHttpUrl(std::string_view url, bool allowHttps = false);

// The absolute URL a Location value names, taken relative to `base` when it is a path.
std::optional<std::string> resolveLocation(const HttpUrl& base, std::string_view location,
                                           bool allowHttps = false);

}  // namespace detail

}  // namespace tivra::tiles

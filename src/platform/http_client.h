#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace tivra::platform {

// The head of one HTTP response as received.
struct HttpHead {
  int status = 0;
  // Status line and header lines, each ending in CRLF as the server sent them (a bare LF is
  // kept as LF), without the empty line that ends the head.
  std::string rawHeaders;
  std::optional<std::uint64_t> contentLength;
};

// The value of the first header line named `name` (without regard to case) in a raw head, or
// in a single header line, without the blanks around it; nullopt when no line has that name.
// "Content-Location" does not answer for "Location".
std::optional<std::string_view> headerValue(std::string_view rawHead, std::string_view name);

enum class HttpError {
  None,
  Setup,     // the request could not be set up (bad URL, out of memory)
  Connect,   // the host could not be resolved or did not accept the connection
  Timeout,   // the connect, first-byte or total time-out struck
  Transfer,  // the connection failed or closed early while the response was read
  Stopped,   // a callback or the stop token asked to stop
};

struct HttpGetOptions {
  // Whole header lines without CRLF, e.g. "Accept: */*"; they replace the client's defaults.
  std::vector<std::string> headerLines;
  std::string referer;  // empty: no Referer header
  std::chrono::milliseconds connectTimeout{10'000};
  std::chrono::milliseconds totalTimeout{30'000};
  // Accept an answer without a status line (HTTP/0.9: the body alone, ended by the close). Its
  // head arrives with status 0.
  bool allowHttp09 = false;
  // https besides http, the server's certificate checked against the system's CA store.
  bool allowHttps = false;
  // A CA bundle (PEM) that replaces the system's store; empty: the system's store.
  std::string caFile;
  // No byte of the answer this long after the request began: Timeout (0: no such limit).
  std::chrono::milliseconds firstByteTimeout{0};
  // Once stop is requested the transfer gives up within about a second: Stopped.
  std::stop_token stop;
};

struct HttpGetResult {
  HttpError error = HttpError::None;
  bool headComplete = false;  // the final response head arrived in full
  HttpHead head;              // as far as received
  std::string errorText;
};

// Called once with the complete final head (informational 1xx heads are skipped); false stops
// the transfer before the body. Called on the calling thread; must not throw.
using HttpHeadCallback = std::function<bool(const HttpHead&)>;
// Called for each piece of the body as it arrives; false stops the transfer.
using HttpBodyCallback = std::function<bool(std::span<const std::uint8_t>)>;

// One libcurl easy handle: plain GET requests (http, and https when asked for), one at a time,
// redirects never followed, the environment's proxy settings honoured. Move-only; never throws from
// get().
class HttpClient {
 public:
  HttpClient();
  ~HttpClient();
  HttpClient(HttpClient&&) noexcept;
  HttpClient& operator=(HttpClient&&) noexcept;
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  bool valid() const;

  HttpGetResult get(std::string_view url, const HttpGetOptions& options,
                    const HttpHeadCallback& onHead, const HttpBodyCallback& onBody);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace tivra::platform

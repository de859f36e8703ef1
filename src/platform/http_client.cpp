#include "platform/http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <new>

#include "platform/text.h"

namespace tivra::platform {

namespace detail {

// A response head larger than this is not an HTTP server we want to talk to.
constexpr std::size_t kMaxHeadBytes = 64 * 1024;

void ensureCurlGlobal() {
  // curl_global_init is not thread-safe; the function-local static makes it run once.
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  (void)initialised;
}

struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;

std::optional<std::uint64_t> parseContentLength(std::string_view line) {
  const auto value = headerValue(line, "Content-Length");
  if (!value || value->empty()) return std::nullopt;
  std::uint64_t length = 0;
  const auto [end, ec] = std::from_chars(value->data(), value->data() + value->size(), length);
  if (ec != std::errc{} || end != value->data() + value->size()) return std::nullopt;
  return length;
}

int parseStatus(std::string_view statusLine) {
  // "HTTP/1.1 200 OK"
  const auto space = statusLine.find(' ');
  if (space == std::string_view::npos) return 0;
  const std::string_view code = statusLine.substr(space + 1, 3);
  int status = 0;
  const auto [end, ec] = std::from_chars(code.data(), code.data() + code.size(), status);
  if (ec != std::errc{} || end != code.data() + code.size()) return 0;
  return status;
}

// State of one transfer, shared with the curl callbacks.
struct Transfer {
  const HttpHeadCallback* onHead = nullptr;
  const HttpBodyCallback* onBody = nullptr;
  HttpHead head;
  bool headComplete = false;
  bool stopped = false;
  bool headTooLarge = false;
  bool answered = false;  // a byte of the answer has come
  bool late = false;      // the first byte did not come in time
  std::stop_token stop;
  std::optional<std::chrono::steady_clock::time_point> firstByteDeadline;

  bool deliverHead() {
    headComplete = true;
    if (*onHead && !(*onHead)(head)) stopped = true;
    return !stopped;
  }
};

std::size_t onHeaderLine(char* data, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const std::size_t length = size * count;
  transfer->answered = true;
  try {
    const std::string_view line(data, length);
    if (line.starts_with("HTTP/")) {
      // A new head (after a 1xx one, or the first): start over.
      transfer->head = HttpHead{};
      transfer->head.status = parseStatus(line);
      transfer->headComplete = false;
    }
    if (line == "\r\n" || line == "\n") {
      if (transfer->head.status >= 100 && transfer->head.status < 200) return length;
      return transfer->deliverHead() ? length : 0;
    }
    if (transfer->head.rawHeaders.size() + length > kMaxHeadBytes) {
      transfer->headTooLarge = true;
      return 0;
    }
    transfer->head.rawHeaders.append(line);
    if (!transfer->head.contentLength) transfer->head.contentLength = parseContentLength(line);
    return length;
  } catch (...) {
    transfer->stopped = true;
    return 0;
  }
}

std::size_t onBodyPiece(char* data, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const std::size_t length = size * count;
  try {
    if (!transfer->headComplete && !transfer->deliverHead()) return 0;
    if (*transfer->onBody &&
        !(*transfer->onBody)({reinterpret_cast<const std::uint8_t*>(data), length})) {
      transfer->stopped = true;
      return 0;
    }
    return length;
  } catch (...) {
    transfer->stopped = true;
    return 0;
  }
}

// Called about once a second while nothing arrives, and more often while data flows.
int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* transfer = static_cast<Transfer*>(user);
  if (transfer->stop.stop_requested()) {
    transfer->stopped = true;
    return 1;
  }
  if (!transfer->answered && transfer->firstByteDeadline &&
      std::chrono::steady_clock::now() >= *transfer->firstByteDeadline) {
    transfer->late = true;
    return 1;
  }
  return 0;
}

HttpError classify(CURLcode code) {
  switch (code) {
    case CURLE_OK:
      return HttpError::None;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_OUT_OF_MEMORY:
    case CURLE_BAD_FUNCTION_ARGUMENT:
      return HttpError::Setup;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
      return HttpError::Connect;
    case CURLE_OPERATION_TIMEDOUT:
      return HttpError::Timeout;
    default:
      return HttpError::Transfer;
  }
}

}  // namespace detail

struct HttpClient::Impl {
  detail::CurlEasy easy;
};

HttpClient::HttpClient() {
  detail::ensureCurlGlobal();
  auto impl = std::make_unique<Impl>();
  impl->easy.reset(curl_easy_init());
  if (impl->easy) m_impl = std::move(impl);
}

HttpClient::~HttpClient() = default;
HttpClient::HttpClient(HttpClient&&) noexcept = default;
HttpClient& HttpClient::operator=(HttpClient&&) noexcept = default;

bool HttpClient::valid() const {
  return m_impl != nullptr;
}

HttpGetResult HttpClient::get(std::string_view url, const HttpGetOptions& options,
                              const HttpHeadCallback& onHead, const HttpBodyCallback& onBody) {
  HttpGetResult result;
  if (!m_impl) {
    result.error = HttpError::Setup;
    return result;
  }
  try {
    CURL* easy = m_impl->easy.get();
    curl_easy_reset(easy);

    detail::CurlList headers;
    for (const std::string& line : options.headerLines) {
      curl_slist* appended = curl_slist_append(headers.get(), line.c_str());
      if (appended == nullptr) {
        result.error = HttpError::Setup;
        return result;
      }
      (void)headers.release();
      headers.reset(appended);
    }

    detail::Transfer transfer;
    transfer.onHead = &onHead;
    transfer.onBody = &onBody;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    const std::string urlText(url);

    bool ok = curl_easy_setopt(easy, CURLOPT_URL, urlText.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR,
                                options.allowHttps ? "http,https" : "http") == CURLE_OK;
    if (!options.caFile.empty()) {
      ok = ok && curl_easy_setopt(easy, CURLOPT_CAINFO, options.caFile.c_str()) == CURLE_OK;
    }
    ok = ok && curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                                static_cast<long>(options.connectTimeout.count())) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS,
                                static_cast<long>(options.totalTimeout.count())) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK;
    ok = ok &&
         curl_easy_setopt(easy, CURLOPT_HTTP09_ALLOWED, options.allowHttp09 ? 1L : 0L) == CURLE_OK;
    if (!options.referer.empty()) {
      ok = ok && curl_easy_setopt(easy, CURLOPT_REFERER, options.referer.c_str()) == CURLE_OK;
    }
    ok = ok && curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, detail::onHeaderLine) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, detail::onBodyPiece) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK;
    transfer.stop = options.stop;
    if (options.firstByteTimeout.count() > 0)
      transfer.firstByteDeadline = std::chrono::steady_clock::now() + options.firstByteTimeout;
    if (transfer.stop.stop_possible() || transfer.firstByteDeadline) {
      ok = ok && curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, detail::onProgress) == CURLE_OK;
      ok = ok && curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer) == CURLE_OK;
      ok = ok && curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
    }
    if (!ok) {
      result.error = HttpError::Setup;
      return result;
    }

    const CURLcode code = curl_easy_perform(easy);
    // A body that never called the write callback (Content-Length 0) still has a head.
    if (code == CURLE_OK && !transfer.headComplete && transfer.head.status != 0) {
      transfer.deliverHead();
    }
    // The handle keeps pointers to these buffers; drop them before they go out of scope.
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);

    result.head = std::move(transfer.head);
    result.headComplete = transfer.headComplete;
    if (transfer.late) {
      result.error = HttpError::Timeout;
    } else if (transfer.stopped) {
      result.error = HttpError::Stopped;
    } else if (transfer.headTooLarge) {
      result.error = HttpError::Transfer;
    } else {
      result.error = detail::classify(code);
    }
    if (code != CURLE_OK) {
      result.errorText = errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code);
    }
  } catch (const std::bad_alloc&) {
    result.error = HttpError::Setup;
  }
  return result;
}

std::optional<std::string_view> headerValue(std::string_view rawHead, std::string_view name) {
  while (!rawHead.empty()) {
    const std::size_t end = rawHead.find('\n');
    const std::string_view line = rawHead.substr(0, end);
    rawHead.remove_prefix(end == std::string_view::npos ? rawHead.size() : end + 1);
    if (line.size() > name.size() && line[name.size()] == ':' &&
        equalsIgnoreCase(line.substr(0, name.size()), name)) {
      return trim(line.substr(name.size() + 1));
    }
  }
  return std::nullopt;
}

}  // namespace tivra::platform

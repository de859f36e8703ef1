#include "support/fake_tile_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "support/image_samples.h"
#include "support/temp_dir.h"

namespace tivra::test {

namespace {

template <auto Free>
struct Freer {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};
using PKey = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Freer<X509_EXTENSION_free>>;
using SslContext = std::unique_ptr<SSL_CTX, Freer<SSL_CTX_free>>;
using Ssl = std::unique_ptr<SSL, Freer<SSL_free>>;
using File = std::unique_ptr<FILE, Freer<std::fclose>>;

bool addExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  const Extension ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

constexpr std::size_t kMaxRequestHead = 16 * 1024;
constexpr std::size_t kMaxGeneratedBytes = 64u * 1024 * 1024;
constexpr int kReadTimeoutMs = 5000;

void sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

std::string percentDecode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      unsigned value = 0;
      std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
      out.push_back(static_cast<char>(value));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::optional<std::string> queryValue(std::string_view query, std::string_view name) {
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    const std::string_view pair = query.substr(start, end - start);
    const auto eq = pair.find('=');
    if (eq != std::string_view::npos && pair.substr(0, eq) == name) {
      return percentDecode(pair.substr(eq + 1));
    }
    start = end + 1;
  }
  return std::nullopt;
}

std::optional<long> queryNumber(std::string_view query, std::string_view name) {
  const auto text = queryValue(query, name);
  if (!text || text->empty()) return std::nullopt;
  long value = 0;
  const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (ec != std::errc{} || end != text->data() + text->size()) return std::nullopt;
  return value;
}

std::string head(int status, std::string_view reason, std::string_view extra) {
  std::string text = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) + "\r\n";
  text += extra;
  text += "Connection: close\r\n\r\n";
  return text;
}

std::string withBody(int status, std::string_view reason, std::string_view contentType,
                     std::string_view body) {
  return head(status, reason,
              "Content-Type: " + std::string(contentType) +
                  "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n") +
         std::string(body);
}

}  // namespace

std::string_view FakeTileServer::asText(const std::vector<std::uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string FakeTileServer::answerWith(int status, std::string_view contentType,
                                       std::string_view body, bool withLength) {
  if (withLength) return withBody(status, "Status", contentType, body);
  return head(status, "Status", "Content-Type: " + std::string(contentType) + "\r\n") +
         std::string(body);
}

void FakeTileServer::setTileAnswer(TileAnswer answer) {
  const std::lock_guard lock(m_mutex);
  m_tileAnswer = std::move(answer);
}

// A self-signed certificate for 127.0.0.1, valid for a day, and the context serving it.
struct FakeTileServer::Tls {
  TempDir dir;
  std::string caFile;
  SslContext context;

  Tls() {
    const PKey key(EVP_EC_gen("P-256"));
    const Certificate cert(X509_new());
    if (!key || !cert) throw std::runtime_error("fake tile server: key");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    if (!addExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE") ||
        !addExtension(cert.get(), NID_subject_alt_name, "IP:127.0.0.1") ||
        X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
      throw std::runtime_error("fake tile server: certificate");
    }
    caFile = (dir / "ca.pem").string();
    {
      const File out(std::fopen(caFile.c_str(), "w"));
      if (!out || PEM_write_X509(out.get(), cert.get()) != 1) {
        throw std::runtime_error("fake tile server: ca file");
      }
    }
    context.reset(SSL_CTX_new(TLS_server_method()));
    if (!context || SSL_CTX_use_certificate(context.get(), cert.get()) != 1 ||
        SSL_CTX_use_PrivateKey(context.get(), key.get()) != 1) {
      throw std::runtime_error("fake tile server: TLS context");
    }
  }
};

FakeTileServer::FakeTileServer(Transport transport) {
  if (transport == Transport::Https) m_tls = std::make_unique<Tls>();
  m_listener = platform::TcpListener::listen("127.0.0.1", 0, 64);
  if (!m_listener) throw std::runtime_error("fake tile server: bind/listen");
  m_port = m_listener->port();
  m_wakeFd = ::eventfd(0, EFD_CLOEXEC);
  if (m_wakeFd < 0) {
    throw std::runtime_error("fake tile server: eventfd");
  }
  m_acceptThread = std::thread([this] { acceptLoop(); });
}

FakeTileServer::~FakeTileServer() {
  stop();
}

void FakeTileServer::stop() {
  {
    const std::lock_guard lock(m_mutex);
    if (m_stopping) return;
    m_stopping = true;
  }
  m_stopSignal.notify_all();
  const std::uint64_t one = 1;
  (void)!::write(m_wakeFd, &one, sizeof one);
  if (m_acceptThread.joinable()) m_acceptThread.join();
  std::vector<std::thread> connections;
  {
    const std::lock_guard lock(m_mutex);
    connections.swap(m_connections);
  }
  for (auto& thread : connections) thread.join();
  m_listener.reset();
  ::close(m_wakeFd);
}

std::string FakeTileServer::url(std::string_view target) const {
  return (m_tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(m_port) +
         std::string(target);
}

std::string FakeTileServer::caFile() const {
  return m_tls ? m_tls->caFile : std::string{};
}

std::vector<FakeTileServer::Request> FakeTileServer::requests() const {
  const std::lock_guard lock(m_mutex);
  return m_requests;
}

std::size_t FakeTileServer::requestCount(std::string_view path) const {
  const std::lock_guard lock(m_mutex);
  const auto it = m_counts.find(path);
  return it == m_counts.end() ? 0 : it->second;
}

int FakeTileServer::maxConcurrent() const {
  const std::lock_guard lock(m_mutex);
  return m_maxInFlight;
}

void FakeTileServer::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{m_listener->fd(), POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int fd = m_listener->accept().release();
    if (fd < 0) continue;
    const std::lock_guard lock(m_mutex);
    if (m_stopping || m_active >= kMaxConnections) {
      ::close(fd);
      continue;
    }
    // Ended threads are joined here, so a long test does not run out of thread stacks.
    for (const auto id : m_finished) {
      const auto it = std::find_if(m_connections.begin(), m_connections.end(),
                                   [id](const std::thread& t) { return t.get_id() == id; });
      if (it == m_connections.end()) continue;
      it->join();
      m_connections.erase(it);
    }
    m_finished.clear();
    ++m_active;
    m_connections.emplace_back([this, fd] {
      serve(fd);
      ::close(fd);
      const std::lock_guard done(m_mutex);
      --m_active;
      m_finished.push_back(std::this_thread::get_id());
    });
  }
}

bool FakeTileServer::waitOrStop(int milliseconds) {
  std::unique_lock lock(m_mutex);
  return !m_stopSignal.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                [this] { return m_stopping; });
}

void FakeTileServer::serve(int fd) {
  Ssl ssl;
  if (m_tls) {
    // A client that stalls in the handshake or the request gives up the thread in time.
    const timeval limit{kReadTimeoutMs / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ssl.reset(SSL_new(m_tls->context.get()));
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1 || SSL_accept(ssl.get()) != 1) return;
  }
  const auto readSome = [&](char* buffer, std::size_t size) -> ssize_t {
    if (ssl) return SSL_read(ssl.get(), buffer, static_cast<int>(size));
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, kReadTimeoutMs) <= 0) return -1;
    return ::recv(fd, buffer, size, 0);
  };
  const auto sendAnswer = [&](std::string_view bytes) {
    if (!ssl) return sendAll(fd, bytes);
    while (!bytes.empty()) {
      const int sent = SSL_write(ssl.get(), bytes.data(), static_cast<int>(bytes.size()));
      if (sent <= 0) return;
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
  };
  std::string received;
  char buffer[4096];
  while (received.find("\r\n\r\n") == std::string::npos) {
    if (received.size() > kMaxRequestHead) return;
    const ssize_t n = readSome(buffer, sizeof buffer);
    if (n <= 0) return;
    received.append(buffer, static_cast<std::size_t>(n));
  }
  Request request;
  request.head = received.substr(0, received.find("\r\n\r\n") + 4);
  const auto lineEnd = request.head.find("\r\n");
  const std::string_view line = std::string_view(request.head).substr(0, lineEnd);
  const auto first = line.find(' ');
  const auto second = line.find(' ', first + 1);
  if (first == std::string_view::npos || second == std::string_view::npos) return;
  request.target = std::string(line.substr(first + 1, second - first - 1));
  request.path = request.target.substr(0, request.target.find('?'));
  {
    const std::lock_guard lock(m_mutex);
    m_requests.push_back(request);
    ++m_counts[request.path];
    ++m_inFlight;
    m_maxInFlight = std::max(m_maxInFlight, m_inFlight);
  }
  const auto response = answer(request);
  if (response == kHang) {
    // Taken and never answered: held until the client gives up or the server stops.
    for (;;) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
      if (fds[1].revents != 0) break;
      if (fds[0].revents != 0 && readSome(buffer, sizeof buffer) <= 0) break;
    }
    const std::lock_guard lock(m_mutex);
    --m_inFlight;
    return;
  }
  const std::string_view bytes = response ? std::string_view(*response) : std::string_view{};
  // The last byte goes out once the request no longer counts as in flight: a client that has
  // the whole answer can never overlap it with its next request in the count.
  sendAnswer(bytes.substr(0, bytes.empty() ? 0 : bytes.size() - 1));
  {
    const std::lock_guard lock(m_mutex);
    --m_inFlight;
  }
  sendAnswer(bytes.substr(bytes.empty() ? 0 : bytes.size() - 1));
  if (ssl) SSL_shutdown(ssl.get());
}

std::optional<std::string> FakeTileServer::answer(const Request& request) {
  const std::string_view path = request.path;
  const auto queryStart = request.target.find('?');
  const std::string_view query = queryStart == std::string::npos
                                     ? std::string_view{}
                                     : std::string_view(request.target).substr(queryStart + 1);
  const auto size = [&] {
    return std::min<std::size_t>(
        static_cast<std::size_t>(std::max<long>(queryNumber(query, "n").value_or(0), 0)),
        kMaxGeneratedBytes);
  };
  const auto redirect = [&](int status, std::string_view location) {
    return head(status, "Found",
                "Location: " + std::string(location) + "\r\nContent-Length: 0\r\n");
  };

  if (path == "/googlechina/maptile") {
    const auto x = queryNumber(query, "x");
    const auto y = queryNumber(query, "y");
    const auto zoom = queryNumber(query, "zoom");
    if (!x || !y || !zoom) return withBody(400, "Bad Request", "text/plain", "bad query\n");
    TileAnswer custom;
    {
      const std::lock_guard lock(m_mutex);
      custom = m_tileAnswer;
    }
    if (custom) {
      if (auto answer = custom(*x, *y, *zoom)) return answer;
    }
    if (*zoom > 18) return redirect(302, url("/404.png"));
    if (const auto status = queryNumber(query, "status"); status && *status != 200)
      return withBody(static_cast<int>(*status), "Status", "text/plain", "failing\n");
    if (queryNumber(query, "n"))
      return withBody(200, "OK", "image/png", asText(generatedBody(size())));
    const auto bytes = tileBytes(*x, *y, *zoom);
    return withBody(200, "OK", (*x + *y) % 2 == 0 ? "image/png" : "image/jpeg", asText(bytes));
  }
  if (path.starts_with("/xyz/")) {
    long z = -1, x = -1, y = -1;
    char tail[8] = {};
    const std::string text(path);
    const bool parsed = std::sscanf(text.c_str(), "/xyz/%ld/%ld/%ld%7s", &z, &x, &y, tail) == 4 &&
                        std::string_view(tail) == ".png";
    if (!parsed || z < 0 || z > 17 || x < 0 || y < 0 || x >= (1L << z) || y >= (1L << z)) {
      return withBody(404, "Not Found", "text/plain", "no such tile\n");
    }
    const auto bytes = tileBytes(x, y, z);
    return withBody(200, "OK", (x + y) % 2 == 0 ? "image/png" : "image/jpeg", asText(bytes));
  }
  if (path.starts_with("/moved/")) return redirect(302, url("/xyz/" + std::string(path.substr(7))));
  if (path == "/404.png") {
    const auto bytes = notFoundPng();
    return withBody(200, "OK", "image/png", asText(bytes));
  }
  if (path == "/redirect") return redirect(302, url("/404.png"));
  if (path == "/redirect-301") return redirect(301, url("/404.png"));
  if (path == "/redirect-303") return redirect(303, url("/404.png"));
  if (path == "/redirect-relative") return redirect(302, "/404.png");
  if (path == "/redirect-to-404") return redirect(302, url("/not-found"));
  if (path == "/redirect-to-ftp") return redirect(302, "ftp://127.0.0.1/404.png");
  if (path == "/redirect-to-redirect") return redirect(302, url("/redirect"));
  if (path == "/redirect-no-location") {
    return head(302, "Found", "Content-Location: " + url("/404.png") + "\r\nContent-Length: 0\r\n");
  }
  if (path == "/not-found") return withBody(404, "Not Found", "text/plain", "no such tile\n");
  if (path == "/unauthorized") return withBody(401, "Unauthorized", "text/plain", "no\n");
  if (path == "/forbidden") return withBody(403, "Forbidden", "text/plain", "no\n");
  if (path == "/empty") return withBody(200, "OK", "image/png", "");
  if (path == "/bytes") {
    const auto bytes = generatedBody(size());
    return withBody(200, "OK", "application/octet-stream", asText(bytes));
  }
  if (path == "/no-length") {
    const auto bytes = generatedBody(size());
    return head(200, "OK", "Content-Type: application/octet-stream\r\n") +
           std::string(asText(bytes));
  }
  if (path == "/cut") {
    const auto bytes = generatedBody(size());
    return head(200, "OK", "Content-Length: " + std::to_string(bytes.size() + 1000) + "\r\n") +
           std::string(asText(bytes));
  }
  if (path == "/huge-length") {
    return head(200, "OK", "Content-Length: 999999999999\r\n") + "0123456789";
  }
  if (path == "/slow") {
    const long ms = std::clamp<long>(queryNumber(query, "ms").value_or(0), 0, 5000);
    if (!waitOrStop(static_cast<int>(ms))) return std::nullopt;  // stopping: just close
    return withBody(200, "OK", "text/plain", "slow");
  }
  return withBody(404, "Not Found", "text/plain", "not found\n");
}

std::vector<std::uint8_t> FakeTileServer::generatedBody(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 131 + 7));
  return bytes;
}

platform::Image FakeTileServer::tileImage(long x, long y, long zoom) {
  // A map-like tile: background colour #EBE6DC, a road across it whose position depends on
  // the tile, and a block of park green (#A6CB94).
  auto image = *platform::Image::makeBgra(256, 256);
  image.hasAlpha = false;
  image.bitsPerPixel = 24;
  const long road = ((x * 37 + y * 11 + zoom) % 200 + 200) % 200 + 20;
  for (std::uint32_t py = 0; py < 256; ++py) {
    for (std::uint32_t px = 0; px < 256; ++px) {
      std::uint8_t* p = image.bgra.data() + (std::size_t{py} * 256 + px) * 4;
      std::uint8_t r = 235, g = 230, b = 220;
      if (std::labs(static_cast<long>(py) - road) < 6) {
        r = 255, g = 255, b = 255;
      } else if (std::labs(static_cast<long>(py) - road) < 8) {
        r = 200, g = 160, b = 80;
      } else if (px >= 160 && px < 224 && py >= 16 && py < 64) {
        r = 166, g = 203, b = 148;
      }
      p[0] = b;
      p[1] = g;
      p[2] = r;
      p[3] = 255;
    }
  }
  return image;
}

std::vector<std::uint8_t> FakeTileServer::tileBytes(long x, long y, long zoom) {
  const auto image = tileImage(x, y, zoom);
  const auto bytes =
      (x + y) % 2 == 0 ? platform::encodePngRgba(image) : platform::encodeJpeg(image, 90);
  return bytes.value_or(std::vector<std::uint8_t>{});
}

std::vector<std::uint8_t> FakeTileServer::paddedPng(std::size_t size) {
  std::vector<std::uint8_t> png = notFoundPng();
  // A tEXt chunk before IEND (the last 12 bytes): 12 bytes of frame, "Comment", a zero, text.
  constexpr std::size_t kIend = 12;
  constexpr std::size_t kFrame = 12 + 8;
  if (size < png.size() + kFrame) throw std::invalid_argument("paddedPng: too small");
  std::vector<std::uint8_t> text = {'C', 'o', 'm', 'm', 'e', 'n', 't', 0};
  text.resize(size - png.size() - 12, 'x');
  const auto chunk = pngChunk("tEXt", text);
  png.insert(png.end() - kIend, chunk.begin(), chunk.end());
  return png;
}

std::vector<std::uint8_t> FakeTileServer::notFoundPng() {
  auto image = *platform::Image::makeBgra(16, 16);
  for (std::size_t i = 0; i < image.pixelCount(); ++i) {
    image.bgra[i * 4 + 0] = 0x40;
    image.bgra[i * 4 + 1] = 0x40;
    image.bgra[i * 4 + 2] = 0xc0;
    image.bgra[i * 4 + 3] = 255;
  }
  return platform::encodePngRgba(image).value_or(std::vector<std::uint8_t>{});
}

}  // namespace tivra::test

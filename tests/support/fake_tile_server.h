#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/image_codec.h"
#include "platform/socket.h"

namespace tivra::test {

// A tile service of our own for tests: HTTP/1.1 on 127.0.0.1, an ephemeral port, one accept
// thread plus one thread per connection (at most kMaxConnections at a time), every answer
// closes its connection. Started by the constructor, stopped by stop() or the destructor.
// With Transport::Https it speaks TLS with a self-signed certificate for 127.0.0.1 made at
// start; caFile() names it in PEM for the client.
//
// Request target (path before '?')     answer
// -----------------------------------  ----------------------------------------------------
// /googlechina/maptile?x=X&y=Y&zoom=Z  200, a generated 256 x 256 tile with Content-Length:
//                                      PNG when X + Y is even, JPEG when odd. Values may be
//                                      percent-encoded (x=123%34 is 1234). Zoom above 18 is
//                                      a missing tile: 302 to this server's /404.png. A query
//                                      without x, y and zoom: 400. With status=S (not 200)
//                                      in the query: S, body "failing\n"; with n=N: 200,
//                                      generatedBody(N).
// /xyz/Z/X/Y.png                       200, tileBytes(X, Y, Z) when X and Y are below 2^Z (Z at
//                                      most 17); otherwise 404
// /moved/Z/X/Y.png                     302 to this server's /xyz/Z/X/Y.png
// /404.png                             200, the 16 x 16 not-found PNG (notFoundPng())
// /redirect, /redirect-301, -303       302 (301, 303) to http://127.0.0.1:PORT/404.png
// /redirect-relative                   302, "Location: /404.png"
// /redirect-no-location                302 with a Content-Location header but no Location
// /redirect-to-404                     302 to this server's /not-found
// /redirect-to-ftp                     302 to an ftp:// URL
// /redirect-to-redirect                302 to this server's /redirect
// /not-found                           404, body "no such tile\n"
// /unauthorized, /forbidden            401, 403, each with a short body
// /empty                               200, Content-Length: 0
// /bytes?n=N                           200, generatedBody(N) with Content-Length
// /no-length?n=N                       200, generatedBody(N), no Content-Length; close ends it
// /cut?n=N                             Content-Length N + 1000, N bytes sent, then close
// /huge-length                         Content-Length 999999999999, 10 bytes, then close
// /slow?ms=M                           waits M ms (at most 5000), then 200 "slow"
// anything else                        404, body "not found\n"
//
// setTileAnswer() replaces the answer to a /googlechina/maptile request with x, y and zoom.
//
// N is capped at 64 MiB. Every request is recorded (its head exactly as received) and
// counted by path, and the server tracks how many requests it served at the same time.
class FakeTileServer {
 public:
  static constexpr int kMaxConnections = 32;

  struct Request {
    std::string head;    // request line and header lines, up to and including the empty line
    std::string target;  // path and query
    std::string path;
  };

  enum class Transport { Http, Https };

  explicit FakeTileServer(Transport transport = Transport::Http);
  ~FakeTileServer();
  FakeTileServer(const FakeTileServer&) = delete;
  FakeTileServer& operator=(const FakeTileServer&) = delete;

  void stop();

  // The whole answer (head and body as sent; empty: close without answering; kHang: no answer
  // until the client closes) to a tile request of the query grammar, or nullopt for the
  // table's answer. Runs on the connection's thread, which may wait in waitOrStop().
  static constexpr std::string_view kHang = "\x01hang";
  using TileAnswer = std::function<std::optional<std::string>(long x, long y, long zoom)>;
  void setTileAnswer(TileAnswer answer);
  // Waits up to the given time; false when the server began stopping first.
  bool waitOrStop(int milliseconds);

  // An answer with the given status, Content-Type and body, with Content-Length unless
  // withLength is false (the close then ends the body).
  static std::string answerWith(int status, std::string_view contentType, std::string_view body,
                                bool withLength = true);
  static std::string_view asText(const std::vector<std::uint8_t>& bytes);

  std::uint16_t port() const { return m_port; }
  // "http://127.0.0.1:PORT" (https with TLS) followed by `target`.
  std::string url(std::string_view target) const;
  // The certificate's PEM file (Https only; empty otherwise).
  std::string caFile() const;

  std::vector<Request> requests() const;
  std::size_t requestCount(std::string_view path) const;
  int maxConcurrent() const;

  // The bytes of the generated answers, for comparing with what a client received.
  static std::vector<std::uint8_t> generatedBody(std::size_t size);
  static platform::Image tileImage(long x, long y, long zoom);
  static std::vector<std::uint8_t> tileBytes(long x, long y, long zoom);
  static std::vector<std::uint8_t> notFoundPng();
  // A whole PNG of exactly `size` bytes (at least 200): the not-found image with a text chunk
  // that pads it.
  static std::vector<std::uint8_t> paddedPng(std::size_t size);

 private:
  void acceptLoop();
  void serve(int fd);
  // nullopt: close without answering (the server is stopping).
  std::optional<std::string> answer(const Request& request);

  struct Tls;
  std::unique_ptr<Tls> m_tls;
  std::optional<platform::TcpListener> m_listener;
  int m_wakeFd = -1;
  std::uint16_t m_port = 0;
  std::thread m_acceptThread;

  mutable std::mutex m_mutex;
  std::condition_variable m_stopSignal;
  bool m_stopping = false;
  std::vector<std::thread> m_connections;
  std::vector<std::thread::id> m_finished;  // connection threads that have ended, to be joined
  int m_active = 0;
  std::vector<Request> m_requests;
  std::map<std::string, std::size_t, std::less<>> m_counts;
  int m_inFlight = 0;
  int m_maxInFlight = 0;
  TileAnswer m_tileAnswer;
};

}  // namespace tivra::test

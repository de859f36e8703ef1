#pragma once

// A small HTTP server on 127.0.0.1 (ephemeral port) for tests: serves fixed bodies or handler
// answers by path and records every request. One connection at a time, bounded in every way.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace tivra::test {

struct LoopbackResponse {
  int status = 200;
  std::string body;
  std::string contentType = "application/octet-stream";
  bool bare = false;  // body only, no status line or headers
};

class LoopbackHttpServer {
 public:
  using Handler = std::function<LoopbackResponse(const std::string& target)>;

  LoopbackHttpServer();
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  std::uint16_t port() const { return m_port; }
  // "http://127.0.0.1:<port>" followed by pathAndQuery.
  std::string url(std::string_view pathAndQuery) const;

  // Routes match the request path without its query; the route "*" takes every other path.
  void serve(const std::string& path, LoopbackResponse response);
  void serve(const std::string& path, Handler handler);

  // Full URLs of the requests so far, oldest first (the last kMaxRecorded).
  std::vector<std::string> requests() const;
  std::vector<std::string> requestsFor(std::string_view path) const;
  // Waits until `count` requests for path have arrived.
  bool waitForRequests(std::string_view path, std::size_t count,
                       std::chrono::milliseconds timeout) const;

  // The request line and header lines of the last request, as received.
  std::string lastRequestHead() const;

  static constexpr std::size_t kMaxRecorded = 4096;

 private:
  std::vector<std::string> requestsForLocked(std::string_view path) const;
  void run(std::stop_token stop);
  void handle(int fd);

  std::optional<platform::TcpListener> m_listener;
  int m_wakeFds[2] = {-1, -1};
  std::uint16_t m_port = 0;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_cv;
  std::map<std::string, Handler, std::less<>> m_routes;
  std::vector<std::string> m_requests;
  std::string m_lastHead;
  std::jthread m_thread;
};

}  // namespace tivra::test

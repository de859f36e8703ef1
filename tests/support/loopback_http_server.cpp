#include "support/loopback_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace tivra::test {

namespace {

constexpr std::size_t kMaxRequestHead = 8192;
constexpr int kIoTimeoutMs = 2000;

std::string_view pathOf(std::string_view target) {
  return target.substr(0, target.find('?'));
}

void sendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, kIoTimeoutMs) <= 0) return;
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

LoopbackHttpServer::LoopbackHttpServer() {
  m_listener = platform::TcpListener::listen("127.0.0.1", 0, 16);
  if (!m_listener || ::pipe2(m_wakeFds, O_CLOEXEC) != 0)
    throw std::runtime_error("cannot listen on 127.0.0.1");
  m_port = m_listener->port();
  m_thread = std::jthread([this](std::stop_token st) { run(st); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
  m_thread.request_stop();
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(m_wakeFds[1], &byte, 1);
  if (m_thread.joinable()) m_thread.join();
  m_listener.reset();
  ::close(m_wakeFds[0]);
  ::close(m_wakeFds[1]);
}

std::string LoopbackHttpServer::url(std::string_view pathAndQuery) const {
  return "http://127.0.0.1:" + std::to_string(m_port) + std::string(pathAndQuery);
}

void LoopbackHttpServer::serve(const std::string& path, LoopbackResponse response) {
  serve(path, [response](const std::string&) { return response; });
}

void LoopbackHttpServer::serve(const std::string& path, Handler handler) {
  std::lock_guard lk(m_mutex);
  m_routes[path] = std::move(handler);
}

std::vector<std::string> LoopbackHttpServer::requests() const {
  std::lock_guard lk(m_mutex);
  return m_requests;
}

std::vector<std::string> LoopbackHttpServer::requestsFor(std::string_view path) const {
  std::lock_guard lk(m_mutex);
  return requestsForLocked(path);
}

std::vector<std::string> LoopbackHttpServer::requestsForLocked(std::string_view path) const {
  std::vector<std::string> out;
  const std::size_t prefix = url("").size();
  for (const std::string& r : m_requests) {
    if (pathOf(std::string_view(r).substr(prefix)) == path) out.push_back(r);
  }
  return out;
}

bool LoopbackHttpServer::waitForRequests(std::string_view path, std::size_t count,
                                         std::chrono::milliseconds timeout) const {
  std::unique_lock lk(m_mutex);
  return m_cv.wait_for(lk, timeout, [&] { return requestsForLocked(path).size() >= count; });
}

void LoopbackHttpServer::run(std::stop_token stop) {
  while (!stop.stop_requested()) {
    pollfd fds[2] = {{m_listener->fd(), POLLIN, 0}, {m_wakeFds[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) break;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int fd = m_listener->accept().release();
    if (fd < 0) continue;
    handle(fd);
    ::close(fd);
  }
}

std::string LoopbackHttpServer::lastRequestHead() const {
  std::lock_guard lk(m_mutex);
  return m_lastHead;
}

void LoopbackHttpServer::handle(int fd) {
  std::string head;
  char buf[1024];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHead) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kIoTimeoutMs) <= 0) return;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    head.append(buf, static_cast<std::size_t>(n));
  }
  const std::size_t sp1 = head.find(' ');
  const std::size_t sp2 = sp1 == std::string::npos ? sp1 : head.find(' ', sp1 + 1);
  if (sp2 == std::string::npos) return;
  const std::string target = head.substr(sp1 + 1, sp2 - sp1 - 1);

  Handler handler;
  {
    std::lock_guard lk(m_mutex);
    if (m_requests.size() >= kMaxRecorded) m_requests.erase(m_requests.begin());
    m_requests.push_back(url(target));
    m_lastHead = head.substr(0, head.find("\r\n\r\n"));
    auto it = m_routes.find(pathOf(target));
    if (it == m_routes.end()) it = m_routes.find("*");
    if (it != m_routes.end()) handler = it->second;
  }
  m_cv.notify_all();

  LoopbackResponse r{404, "", "text/plain", false};
  if (handler) r = handler(target);
  if (r.bare) {
    sendAll(fd, r.body);
    return;
  }
  const std::string header = "HTTP/1.1 " + std::to_string(r.status) +
                             " X\r\nContent-Length: " + std::to_string(r.body.size()) +
                             "\r\nContent-Type: " + r.contentType + "\r\nConnection: close\r\n\r\n";
  sendAll(fd, header);
  sendAll(fd, r.body);
}

}  // namespace tivra::test

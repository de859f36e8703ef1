#include "support/test_http_get.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <string>

namespace tivra::test {

namespace {

constexpr int kTimeoutMs = 2000;
constexpr auto kTotalTimeout = std::chrono::seconds(5);
constexpr std::size_t kMaxResponse = 32u << 20;

class Fd {
 public:
  explicit Fd(int fd) : m_fd(fd) {}
  ~Fd() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }

 private:
  int m_fd;
};

// Each wait is bounded, and so is the whole exchange: a server that trickles bytes cannot
// hold a caller for longer than kTotalTimeout.
bool waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
  if (left <= 0) return false;
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, static_cast<int>(std::min<long long>(left, kTimeoutMs))) > 0;
}

}  // namespace

globe::HttpAnswer testHttpGet(std::string_view url) {
  globe::HttpAnswer answer;
  constexpr std::string_view kScheme = "http://";
  if (!url.starts_with(kScheme)) return answer;
  url.remove_prefix(kScheme.size());
  const std::size_t slash = url.find('/');
  const std::string_view hostPort = url.substr(0, slash);
  const std::string target = slash == std::string_view::npos ? "/" : std::string(url.substr(slash));
  const std::size_t colon = hostPort.rfind(':');
  std::string host(hostPort.substr(0, colon));
  unsigned port = 80;
  if (colon != std::string_view::npos) {
    const std::string_view p = hostPort.substr(colon + 1);
    if (std::from_chars(p.data(), p.data() + p.size(), port).ec != std::errc() || port > 65535) {
      return answer;
    }
  }
  if (host == "localhost") host = "127.0.0.1";
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return answer;

  const auto deadline = std::chrono::steady_clock::now() + kTotalTimeout;
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.get() < 0) return answer;
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS || !waitFor(fd.get(), POLLOUT, deadline)) return answer;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return answer;
  }
  const std::string request =
      "GET " + target + " HTTP/1.0\r\nHost: " + std::string(hostPort) + "\r\n\r\n";
  std::string_view rest = request;
  while (!rest.empty()) {
    if (!waitFor(fd.get(), POLLOUT, deadline)) return answer;
    const ssize_t n = ::send(fd.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
    if (n <= 0) return answer;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  std::string response;
  char buf[16384];
  while (response.size() < kMaxResponse) {
    if (!waitFor(fd.get(), POLLIN, deadline)) return answer;
    const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
    if (n < 0) return answer;
    if (n == 0) break;
    response.append(buf, static_cast<std::size_t>(n));
  }
  if (response.empty()) return answer;

  answer.ok = true;
  if (!response.starts_with("HTTP/")) {
    answer.status = 200;
    answer.body.assign(response.begin(), response.end());
    return answer;
  }
  const std::size_t sp = response.find(' ');
  const std::size_t end = response.find("\r\n\r\n");
  if (sp == std::string::npos || end == std::string::npos) {
    answer.ok = false;
    return answer;
  }
  std::from_chars(response.data() + sp + 1, response.data() + response.size(), answer.status);
  answer.body.assign(response.begin() + static_cast<std::ptrdiff_t>(end + 4), response.end());
  return answer;
}

}  // namespace tivra::test

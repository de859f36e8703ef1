#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace tivra::platform {

std::optional<TcpListener> TcpListener::listen(std::string_view address, std::uint16_t port,
                                               int backlog) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return std::nullopt;
  const int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  const std::string host(address);
  if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return std::nullopt;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return std::nullopt;
  if (::listen(fd.get(), backlog) != 0) return std::nullopt;
  socklen_t length = sizeof addr;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &length) != 0)
    return std::nullopt;
  return TcpListener(std::move(fd), ntohs(addr.sin_port));
}

UniqueFd TcpListener::accept() {
  for (;;) {
    const int client = ::accept4(m_fd.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) return UniqueFd(client);
    // A connection reset while queued is not the listener's failure: try the next one.
    if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
    return UniqueFd();
  }
}

bool TcpListener::waitInAccept(std::chrono::milliseconds idle) {
  const int flags = ::fcntl(m_fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(m_fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return false;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(idle);
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(seconds.count());
  timeout.tv_usec = static_cast<suseconds_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(idle - seconds).count());
  // A zero time-out would mean "wait forever".
  if (timeout.tv_sec == 0 && timeout.tv_usec == 0) timeout.tv_usec = 1000;
  // A connection is handed over once its request has come (or after a second of silence), so
  // the thread that takes it need not sleep again until it has.
  const int deferSeconds = 1;
  ::setsockopt(m_fd.get(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds, sizeof deferSeconds);
  return ::setsockopt(m_fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
}

void TcpListener::stopAccepting() {
  // On Linux a listening socket shut down stops listening, and its waiting accepts return.
  if (m_fd) ::shutdown(m_fd.get(), SHUT_RDWR);
}

void TcpListener::close() {
  if (m_fd) ::shutdown(m_fd.get(), SHUT_WR);
  m_fd.reset();
}

bool sendAll(int fd, std::span<const char> data) {
  while (!data.empty()) {
    const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data = data.subspan(static_cast<std::size_t>(sent));
  }
  return true;
}

int waitReadable(int fd, int wakeFd, std::chrono::milliseconds timeout) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  const nfds_t count = wakeFd >= 0 ? 2 : 1;
  for (;;) {
    const int ready = ::poll(fds, count, static_cast<int>(timeout.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return -1;
    if (ready == 0) return 0;
    if (count == 2 && fds[1].revents != 0) return 2;
    return 1;
  }
}

UniqueFd connectLoopback(std::uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return UniqueFd();
  return fd;
}

}  // namespace tivra::platform

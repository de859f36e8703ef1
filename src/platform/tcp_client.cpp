#include "platform/tcp_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace tivra::platform {

UniqueFd connectTcp(const std::string& host, std::uint16_t port,
                    std::chrono::milliseconds timeout) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return {};
  const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, freeaddrinfo);
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    UniqueFd fd(
        ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (!fd) continue;
    if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) continue;
      pollfd pfd{fd.get(), POLLOUT, 0};
      if (::poll(&pfd, 1, static_cast<int>(timeout.count())) != 1) continue;
      int error = 0;
      socklen_t length = sizeof error;
      if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) continue;
    }
    return fd;
  }
  return {};
}

ReadState readAvailable(int fd, std::span<char> buffer, std::size_t& n) {
  n = 0;
  const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
  if (got > 0) {
    n = static_cast<std::size_t>(got);
    return ReadState::Data;
  }
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
    return ReadState::Nothing;
  return ReadState::Closed;
}

}  // namespace tivra::platform

#include "support/raw_client.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/socket.h"

namespace tivra::test {

std::optional<std::string> readToEnd(int fd, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string data;
  char buffer[16384];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n == 0) return data;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return std::nullopt;
    }
    data.append(buffer, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> exchange(std::uint16_t port, std::string_view request,
                                    std::chrono::milliseconds timeout) {
  platform::UniqueFd fd = platform::connectLoopback(port);
  if (!fd) return std::nullopt;
  if (!platform::sendAll(fd.get(), request)) return std::nullopt;
  return readToEnd(fd.get(), timeout);
}

platform::UniqueFd connectWithSmallWindow(std::uint16_t port) {
  platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  // Set before connecting: the window is agreed on then, and autotuning stays off.
  const int size = 16384;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
  return fd;
}

bool closedWithoutData(int fd, std::chrono::milliseconds timeout) {
  const auto data = readToEnd(fd, timeout);
  return data && data->empty();
}

}  // namespace tivra::test

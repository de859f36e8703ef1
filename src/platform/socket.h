#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace tivra::platform {

// A listening TCP socket (IPv4). Accepts without blocking, unless told to wait.
class TcpListener {
 public:
  // Binds address:port and listens with the given backlog; nullopt when any step fails.
  // Port 0 picks a free port (tests).
  static std::optional<TcpListener> listen(std::string_view address, std::uint16_t port,
                                           int backlog);

  int fd() const { return m_fd.get(); }
  std::uint16_t port() const { return m_port; }
  // An accepted connection (blocking mode), or an invalid fd with errno set when none is
  // pending (EAGAIN: none came within the wait).
  UniqueFd accept();
  // From now on accept() waits for a connection, at most idle; any number of threads may wait
  // in it, and the kernel wakes one of them for each connection, once its first bytes have come
  // or it has been silent for a second. False when it cannot be set.
  bool waitInAccept(std::chrono::milliseconds idle);
  // Stops listening and wakes every thread waiting in accept() (which then fails), without
  // closing the descriptor under them.
  void stopAccepting();
  void close();

 private:
  TcpListener(UniqueFd fd, std::uint16_t port) : m_fd(std::move(fd)), m_port(port) {}
  UniqueFd m_fd;
  std::uint16_t m_port = 0;
};

// Sends every byte unless the peer fails; false on error. Never raises SIGPIPE.
bool sendAll(int fd, std::span<const char> data);

// Waits until fd is readable or wakeFd is signalled. Result: 1 readable, 0 timed out, 2 woken,
// -1 error.
int waitReadable(int fd, int wakeFd, std::chrono::milliseconds timeout);

// A blocking client connection to 127.0.0.1 (tests and tools).
UniqueFd connectLoopback(std::uint16_t port);

}  // namespace tivra::platform

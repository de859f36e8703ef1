#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "platform/unique_fd.h"

namespace tivra::platform {

// A TCP connection to host:port (a name or a numeric address), made within the timeout; the
// socket is non-blocking. An invalid fd when it cannot be made.
UniqueFd connectTcp(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout);

// What a non-blocking read of a connection found.
enum class ReadState { Data, Nothing, Closed };

// Reads what is waiting into buffer (at most its size); n is the byte count for Data. A peer
// that closed or failed gives Closed.
ReadState readAvailable(int fd, std::span<char> buffer, std::size_t& n);

}  // namespace tivra::platform

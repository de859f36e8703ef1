#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace tivra::test {

// Sends request on a fresh loopback connection and reads until the server closes it.
// nullopt when the connection cannot be made or the answer does not end within the timeout.
std::optional<std::string> exchange(std::uint16_t port, std::string_view request,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A loopback connection whose receive buffer stays small (16 KiB), so the server cannot put a
// large answer into the kernel's buffers at once: a client that does not read holds it back.
platform::UniqueFd connectWithSmallWindow(std::uint16_t port);

// Reads from fd until end of stream; nullopt on error or timeout.
std::optional<std::string> readToEnd(int fd, std::chrono::milliseconds timeout);

// True when the peer closed fd (end of stream) within the timeout and sent nothing.
bool closedWithoutData(int fd, std::chrono::milliseconds timeout);

}  // namespace tivra::test

#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace tivra::platform {

// The whole content of a regular file of at most maxBytes bytes. nullopt when the file is
// missing, unreadable, not a regular file (a FIFO or device would block or never end) or larger
// than maxBytes.
std::optional<std::vector<std::uint8_t>> readRegularFile(const std::filesystem::path& path,
                                                         std::size_t maxBytes);

}  // namespace tivra::platform

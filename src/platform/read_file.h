#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace tivra::platform {

// A file opened by name: the descriptor, or why there is none.
struct RegularFile {
  UniqueFd fd;
  int errorNumber = 0;  // errno of a failed open; 0 when the name is not a regular file
  std::string error;    // why fd is invalid: the system's reason, or "not a regular file"
};

// Opens a file the program names (settings, stores, imports, documents it writes) without
// waiting: a FIFO or a device under that name must never hold the program up. Only a regular
// file is kept; anything else is closed at once and refused. `flags` are open(2)'s access and
// creation flags; the descriptor comes back in blocking mode, close-on-exec.
RegularFile openRegularFile(const std::filesystem::path& path, int flags, mode_t mode = 0644);

// The whole content of a regular file of at most maxBytes bytes. nullopt when the file is
// missing, unreadable, not a regular file or larger than maxBytes; `error` then says why
// (without the path).
std::optional<std::vector<std::uint8_t>> readRegularFile(const std::filesystem::path& path,
                                                         std::size_t maxBytes,
                                                         std::string* error = nullptr);

// Where a write to `path` lands: a symbolic link is followed, as the shell's ">" does, so the link
// stays and its target is replaced; the target of a dangling link is created.
std::filesystem::path linkTarget(const std::filesystem::path& path);

// Writes every byte to `path` through a new file beside it that replaces it only once complete
// and synced, so a failure (a full disk) leaves what was there untouched. A symbolic link is
// written through; an existing name that is not a regular file is refused. On failure `error`
// says why (without the path).
bool writeRegularFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                      std::string& error);

}  // namespace tivra::platform

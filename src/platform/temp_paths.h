#pragma once

// The private per-user directory for the program's fixed temporary files ("tivra.kml",
// "tivragps.kml", "srchtemp.kml", "navtemp.kml"). Fixed names in a shared directory would let
// another user plant a link or read our view; a directory of our own with mode 0700 does not.

#include <filesystem>
#include <optional>
#include <string>

namespace tivra::platform {

inline constexpr const char* kPrivateTempName = "tivra";

// The directory `parent`/`name`, created with mode 0700 when absent. An existing one is used
// only when it is a real directory (not a link), owned by the calling user and without any
// group or other permission. nullopt with the reason in error otherwise.
std::optional<std::filesystem::path> privateDirectoryIn(const std::filesystem::path& parent,
                                                        const std::string& name,
                                                        std::string& error);

// $XDG_RUNTIME_DIR/tivra when that variable names a directory, else <temp>/tivra-<uid>.
std::optional<std::filesystem::path> privateTempDirectory(std::string& error);

}  // namespace tivra::platform

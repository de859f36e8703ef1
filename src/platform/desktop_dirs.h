#pragma once

// The desktop's per-user base directories (the XDG base directory rules): where a program keeps
// its data and its settings when it is not told otherwise.

#include <filesystem>
#include <optional>
#include <string>

namespace tivra::platform {

// $XDG_DATA_HOME, else $HOME/.local/share. A relative value counts as unset, as the rules say.
// nullopt with the reason when neither names a directory and no home directory is known.
std::optional<std::filesystem::path> userDataHome(std::string& error);

// $XDG_CONFIG_HOME, else $HOME/.config; as userDataHome.
std::optional<std::filesystem::path> userConfigHome(std::string& error);

// dir with every missing parent, each made with mode 0700 (the base directories' own mode);
// existing ones are left as they are. false with the directory and the reason in error.
bool makePrivateDirectories(const std::filesystem::path& dir, std::string& error);

}  // namespace tivra::platform

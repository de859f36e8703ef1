#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace tivra::app {

struct CommandLine {
  bool headless = false;
  bool useEarth = true;  // "-WW" or "/WW", in any case, turns the globe off
  bool verbose = false;
  bool help = false;
  std::filesystem::path dataDirectory = ".";
};

// nullopt with a message in error when the arguments cannot be understood.
std::optional<CommandLine> parseCommandLine(std::span<const char* const> args, std::string& error);

std::string usageText();

}  // namespace tivra::app

#include "platform/desktop_dirs.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tivra::platform {

namespace {

// Paths deeper than this are refused rather than walked.
constexpr int kMaxDepth = 256;

std::optional<std::filesystem::path> absoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value != '/') return std::nullopt;
  return std::filesystem::path(value);
}

std::optional<std::filesystem::path> homeDirectory(std::string& error) {
  if (auto home = absoluteVariable("HOME")) return home;
  // Started without HOME (a service, a cron job): the password database still knows it.
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return std::filesystem::path(found->pw_dir);
  }
  error = "no home directory: HOME is not set and the user has no home in the password database";
  return std::nullopt;
}

std::optional<std::filesystem::path> baseDirectory(const char* variable, const char* underHome,
                                                   std::string& error) {
  if (auto dir = absoluteVariable(variable)) return dir;
  const auto home = homeDirectory(error);
  if (!home) return std::nullopt;
  return *home / underHome;
}

}  // namespace

std::optional<std::filesystem::path> userDataHome(std::string& error) {
  return baseDirectory("XDG_DATA_HOME", ".local/share", error);
}

std::optional<std::filesystem::path> userConfigHome(std::string& error) {
  return baseDirectory("XDG_CONFIG_HOME", ".config", error);
}

bool makePrivateDirectories(const std::filesystem::path& dir, std::string& error) {
  std::filesystem::path partial;
  int depth = 0;
  for (const auto& part : dir.lexically_normal()) {
    if (++depth > kMaxDepth) {
      error = dir.string() + ": too deep";
      return false;
    }
    partial /= part;
    if (part.empty()) continue;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      error = partial.string() + ": " + std::strerror(errno);
      return false;
    }
  }
  struct stat info {};
  if (::stat(dir.c_str(), &info) != 0) {
    error = dir.string() + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    error = dir.string() + ": not a directory";
    return false;
  }
  return true;
}

}  // namespace tivra::platform

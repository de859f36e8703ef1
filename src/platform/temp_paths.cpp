#include "platform/temp_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tivra::platform {

namespace detail {

std::string describe(const std::filesystem::path& path, const char* what) {
  return path.string() + ": " + what;
}

}  // namespace detail

std::optional<std::filesystem::path> privateDirectoryIn(const std::filesystem::path& parent,
                                                        const std::string& name,
                                                        std::string& error) {
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    error = "bad directory name";
    return std::nullopt;
  }
  const std::filesystem::path dir = parent / name;
  const std::string text = dir.string();
  if (::mkdir(text.c_str(), 0700) != 0 && errno != EEXIST) {
    error = detail::describe(dir, std::strerror(errno));
    return std::nullopt;
  }
  // lstat: a link planted under our name is refused, not followed.
  struct stat info {};
  if (::lstat(text.c_str(), &info) != 0) {
    error = detail::describe(dir, std::strerror(errno));
    return std::nullopt;
  }
  if (!S_ISDIR(info.st_mode)) {
    error = detail::describe(dir, "not a directory");
    return std::nullopt;
  }
  if (info.st_uid != ::geteuid()) {
    error = detail::describe(dir, "owned by another user");
    return std::nullopt;
  }
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    error = detail::describe(dir, "open to other users");
    return std::nullopt;
  }
  return dir;
}

std::optional<std::filesystem::path> privateTempDirectory(std::string& error) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code ec;
  if (runtime != nullptr && *runtime != '\0' && std::filesystem::is_directory(runtime, ec)) {
    return privateDirectoryIn(runtime, kPrivateTempName, error);
  }
  const std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
  if (ec) {
    error = "no temporary directory: " + ec.message();
    return std::nullopt;
  }
  return privateDirectoryIn(temp, std::string(kPrivateTempName) + "-" + std::to_string(::geteuid()),
                            error);
}

}  // namespace tivra::platform

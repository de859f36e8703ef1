#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cstdlib>
#include <string>

namespace tivra::platform {

std::filesystem::path InstanceLock::runtimeDirectory() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') return runtime;
  return std::filesystem::temp_directory_path();
}

std::optional<InstanceLock> InstanceLock::acquire(std::string_view name) {
  const std::string path = (runtimeDirectory() / std::string(name)).string();
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd) return std::nullopt;
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return std::nullopt;
  return InstanceLock(std::move(fd));
}

}  // namespace tivra::platform

#include "platform/instance_lock.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace tivra::platform {

namespace {

const char* runtimeDirectoryVariable() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return runtime != nullptr && *runtime != '\0' ? runtime : nullptr;
}

}  // namespace

std::filesystem::path InstanceLock::runtimeDirectory() {
  if (const char* runtime = runtimeDirectoryVariable()) return runtime;
  return std::filesystem::temp_directory_path();
}

std::filesystem::path InstanceLock::lockPath(std::string_view name) {
  if (const char* runtime = runtimeDirectoryVariable())
    return std::filesystem::path(runtime) / std::string(name);
  return std::filesystem::temp_directory_path() /
         (std::string(name) + "-" + std::to_string(::getuid()));
}

FileLockResult InstanceLock::acquire(std::string_view name) {
  return FileLock::take(lockPath(name), FileLock::Kind::kExclusive, true);
}

}  // namespace tivra::platform

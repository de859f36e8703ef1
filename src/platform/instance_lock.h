#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/unique_fd.h"

namespace tivra::platform {

// The single-instance lock: an flock()ed file in the per-user runtime directory, held for the
// life of the object. The kernel drops it when the process dies, so it can never go stale.
class InstanceLock {
 public:
  // nullopt when another process holds the lock (or the file cannot be made).
  static std::optional<InstanceLock> acquire(std::string_view name);
  // $XDG_RUNTIME_DIR, else the temp directory.
  static std::filesystem::path runtimeDirectory();

 private:
  explicit InstanceLock(UniqueFd fd) : m_fd(std::move(fd)) {}
  UniqueFd m_fd;
};

}  // namespace tivra::platform

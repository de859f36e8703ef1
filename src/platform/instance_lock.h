#pragma once

#include <filesystem>
#include <string_view>

#include "platform/file_lock.h"

namespace tivra::platform {

// The single-instance lock: an flock()ed file in the per-user runtime directory, held for the
// life of the returned lock.
class InstanceLock {
 public:
  // kHeldByAnother when another process of this user holds it; kFailed (with the reason) when
  // the file cannot be made or locked.
  static FileLockResult acquire(std::string_view name);
  // $XDG_RUNTIME_DIR, else the temp directory.
  static std::filesystem::path runtimeDirectory();
  // The lock file's path: in the shared temp directory the user id joins the name, so users
  // never meet each other's lock.
  static std::filesystem::path lockPath(std::string_view name);
};

}  // namespace tivra::platform

#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/unique_fd.h"

namespace tivra::platform {

enum class LockOutcome { kTaken, kHeldByAnother, kFailed };
struct FileLockResult;

// An flock() held for the life of the object. The kernel drops it when the process dies, so it
// never goes stale; it is tied to the file's inode, not to the name that reached it.
class FileLock {
 public:
  enum class Kind { kShared, kExclusive };

  // Locks `path` without waiting. `create`: a missing regular file is created (mode 0600), and
  // anything but a regular file under the name is refused; otherwise the path must exist (a
  // directory serves). Symbolic links are not followed for a
  // created file, so a planted link cannot redirect it.
  static FileLockResult take(const std::filesystem::path& path, Kind kind, bool create);

 private:
  explicit FileLock(UniqueFd fd) : m_fd(std::move(fd)) {}
  UniqueFd m_fd;
};

struct FileLockResult {
  LockOutcome outcome = LockOutcome::kFailed;
  std::optional<FileLock> lock;  // set when taken
  std::string error;             // why it failed: the path and the system's reason
};

}  // namespace tivra::platform

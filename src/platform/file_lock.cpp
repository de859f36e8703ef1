#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>

namespace tivra::platform {

FileLockResult FileLock::take(const std::filesystem::path& path, Kind kind, bool create) {
  FileLockResult result;
  const int flags = create ? O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC : O_RDONLY | O_CLOEXEC;
  UniqueFd fd(::open(path.c_str(), flags, 0600));
  if (!fd) {
    result.error = path.string() + ": " + std::strerror(errno);
    return result;
  }
  const int operation = (kind == Kind::kShared ? LOCK_SH : LOCK_EX) | LOCK_NB;
  int rc = 0;
  do {
    rc = ::flock(fd.get(), operation);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno == EWOULDBLOCK) {
      result.outcome = LockOutcome::kHeldByAnother;
    } else {
      result.error = path.string() + ": " + std::strerror(errno);
    }
    return result;
  }
  result.outcome = LockOutcome::kTaken;
  result.lock.emplace(FileLock(std::move(fd)));
  return result;
}

}  // namespace tivra::platform

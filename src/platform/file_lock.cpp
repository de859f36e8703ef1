#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>

#include "platform/read_file.h"

namespace tivra::platform {

FileLockResult FileLock::take(const std::filesystem::path& path, Kind kind, bool create) {
  FileLockResult result;
  UniqueFd fd;
  if (create) {
    RegularFile file = openRegularFile(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
    if (!file.fd) {
      result.error = path.string() + ": " + file.error;
      return result;
    }
    fd = std::move(file.fd);
  } else {
    // An existing directory or file; O_NONBLOCK so that a FIFO there cannot hold us up.
    fd.reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
      result.error = path.string() + ": " + std::strerror(errno);
      return result;
    }
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

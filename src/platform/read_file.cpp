#include "platform/read_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tivra::platform {

RegularFile openRegularFile(const std::filesystem::path& path, int flags, mode_t mode) {
  RegularFile file;
  int fd = -1;
  do {
    // O_NONBLOCK: opening a FIFO does not wait for its other end; a regular file ignores it.
    fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    file.errorNumber = errno;
    file.error = std::strerror(errno);
    return file;
  }
  UniqueFd opened(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    file.errorNumber = errno;
    file.error = std::strerror(errno);
    return file;
  }
  if (!S_ISREG(info.st_mode)) {
    file.error = "not a regular file";
    return file;
  }
  const int status = ::fcntl(fd, F_GETFL);
  if (status >= 0) ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
  file.fd = std::move(opened);
  return file;
}

std::optional<std::vector<std::uint8_t>> readRegularFile(const std::filesystem::path& path,
                                                         std::size_t maxBytes, std::string* error) {
  const auto fail = [&](std::string why) -> std::optional<std::vector<std::uint8_t>> {
    if (error != nullptr) *error = std::move(why);
    return std::nullopt;
  };
  RegularFile file = openRegularFile(path, O_RDONLY);
  if (!file.fd) return fail(std::move(file.error));
  struct stat info {};
  if (::fstat(file.fd.get(), &info) != 0 || info.st_size < 0) return fail(std::strerror(errno));
  if (static_cast<std::uint64_t>(info.st_size) > maxBytes)
    return fail("larger than " + std::to_string(maxBytes) + " bytes");
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info.st_size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::read(file.fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(std::strerror(errno));
    // A file cut short while it is read: a partial content is no content.
    if (n == 0) return fail("cut short while read");
    done += static_cast<std::size_t>(n);
  }
  return bytes;
}

bool writeRegularFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                      std::string& error) {
  RegularFile file = openRegularFile(path, O_WRONLY | O_CREAT | O_TRUNC);
  if (!file.fd) {
    error = std::move(file.error);
    return false;
  }
  std::size_t done = 0;
  int failure = 0;
  while (done < bytes.size() && failure == 0) {
    const ssize_t n = ::write(file.fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) failure = n < 0 ? errno : ENOSPC;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  // close() may be where a full disk shows (on network file systems).
  if (!file.fd.close() && failure == 0) failure = errno;
  if (failure == 0) return true;
  error = std::strerror(failure);
  std::error_code ec;
  std::filesystem::remove(path, ec);  // never leave a cut document behind
  return false;
}

}  // namespace tivra::platform

#include "platform/read_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

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

namespace {

bool failWith(int code, std::string& error) {
  error = std::strerror(code);
  return false;
}

bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::filesystem::path linkTarget(const std::filesystem::path& path) {
  std::filesystem::path target = path;
  std::error_code ec;
  for (int hops = 0; hops < 40 && std::filesystem::is_symlink(target, ec); ++hops) {
    const std::filesystem::path next = std::filesystem::read_symlink(target, ec);
    if (ec) break;
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
  return target;
}

bool writeRegularFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                      std::string& error) {
  struct stat existing {};
  const bool exists = ::stat(path.c_str(), &existing) == 0;
  // A link loop or a directory we may not search: leave it as it is.
  if (!exists && errno != ENOENT) return failWith(errno, error);
  if (exists && !S_ISREG(existing.st_mode)) {
    error = "not a regular file";
    return false;
  }
  // The bytes go to a new file beside the target, which replaces it only once complete: a
  // failure (a full disk) leaves what was there as it was.
  const std::filesystem::path target = linkTarget(path);
  std::filesystem::path directory = target.parent_path();
  if (directory.empty()) directory = ".";
  std::random_device random;
  UniqueFd file;
  std::filesystem::path temp;
  for (int attempt = 0; attempt < 16 && !file; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(random()));
    temp = directory / ("." + target.filename().string() + suffix);
    file.reset(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!file && errno != EEXIST) break;
  }
  if (!file) return failWith(errno, error);
  // The replacement keeps the permissions of the file it replaces; a new one gets the umask's.
  bool written = (!exists || ::fchmod(file.get(), existing.st_mode & 07777) == 0) &&
                 writeAll(file.get(), bytes) && ::fsync(file.get()) == 0;
  int code = errno;
  if (!file.close() && written) {
    written = false;
    code = errno;
  }
  if (written && ::rename(temp.c_str(), target.c_str()) != 0) {
    written = false;
    code = errno;
  }
  if (!written) {
    ::unlink(temp.c_str());
    return failWith(code, error);
  }
  // The rename itself is made durable with its directory.
  if (UniqueFd dir{::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)})
    ::fsync(dir.get());
  return true;
}

}  // namespace tivra::platform

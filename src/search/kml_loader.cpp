#include "search/kml_loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <system_error>
#include <thread>

#include "platform/log.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

namespace tivra::search {

namespace {

// Where a write lands: a symbolic link is followed, as the shell's ">" does, so the link stays
// and its target gets the text; the target of a dangling link is created.
std::filesystem::path writeTarget(const std::filesystem::path& path) {
  std::filesystem::path target = path;
  std::error_code ec;
  for (int hops = 0; hops < 40 && std::filesystem::is_symlink(target, ec); ++hops) {
    const std::filesystem::path next = std::filesystem::read_symlink(target, ec);
    if (ec) break;
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
  return target;
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool failWith(int code, std::string& error) {
  error = std::strerror(code);
  return false;
}

// A pipe, a terminal or a device is written as it is: there is nothing to replace, and a
// rename would put a plain file in its place.
bool writeInPlace(const std::filesystem::path& path, std::string_view text, std::string& error) {
  platform::UniqueFd file(::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
  if (!file) return failWith(errno, error);
  if (!writeAll(file.get(), text)) return failWith(errno, error);
  if (!file.close()) return failWith(errno, error);
  return true;
}

}  // namespace

bool writeWholeFile(const std::filesystem::path& path, std::string_view text, std::string& error) {
  struct stat existing {};
  const bool exists = ::stat(path.c_str(), &existing) == 0;
  // A link loop or a directory we may not search: leave it as it is.
  if (!exists && errno != ENOENT) return failWith(errno, error);
  if (exists && S_ISDIR(existing.st_mode)) return failWith(EISDIR, error);
  if (exists && !S_ISREG(existing.st_mode)) return writeInPlace(path, text, error);

  // The text goes to a new file beside the target, which replaces it only once complete: a
  // failure leaves what was there as it was.
  const std::filesystem::path target = writeTarget(path);
  std::filesystem::path directory = target.parent_path();
  if (directory.empty()) directory = ".";
  std::random_device random;
  platform::UniqueFd file;
  std::filesystem::path temp;
  for (int attempt = 0; attempt < 16 && !file; ++attempt) {
    temp = directory / platform::format(".%s.%08x.tmp", target.filename().c_str(), random());
    file.reset(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!file && errno != EEXIST) break;
  }
  if (!file) return failWith(errno, error);
  // The replacement keeps the permissions of the file it replaces; a new one gets the umask's.
  bool written = (!exists || ::fchmod(file.get(), existing.st_mode & 07777) == 0) &&
                 writeAll(file.get(), text) && ::fsync(file.get()) == 0;
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
  if (platform::UniqueFd dir{::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)})
    ::fsync(dir.get());
  return true;
}

LoadResult LoadKmlIntoEarth(globe::Earth& earth, std::string_view kml,
                            const std::filesystem::path& path, platform::Frontend& frontend,
                            std::chrono::milliseconds wait) {
  std::string error;
  if (!writeWholeFile(path, kml, error)) {
    frontend.messageBox("无法写入文件 " + path.string() + " (" + error + ")", "Tivra");
    return LoadResult::FileFailed;
  }
  bool opened = false;
  try {
    earth.OpenKmlFile(path.string(), true);
    opened = true;
  } catch (const globe::EarthError& e) {
    platform::debugTrace(std::string("globe: cannot open ") + path.string() + ": " + e.what());
  }
  std::this_thread::sleep_for(wait);
  std::error_code ec;
  std::filesystem::remove(path, ec);
  return opened ? LoadResult::Opened : LoadResult::GlobeFailed;
}

}  // namespace tivra::search

#include "search/kml_loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>
#include <system_error>
#include <thread>

#include "platform/log.h"
#include "platform/read_file.h"
#include "platform/unique_fd.h"

namespace tivra::search {

namespace {

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

  return platform::writeRegularFile(
      path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), error);
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

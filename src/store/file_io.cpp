#include "store/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tivra::store {
namespace detail {
namespace {

// Owns one POSIX descriptor.
class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : m_fd(fd) {}
  ~PosixFile() override {
    if (m_fd >= 0) ::close(m_fd);
  }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  std::int64_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t n =
          ::pread(m_fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      if (n == 0) break;
      done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
  }

  bool writeAt(std::uint64_t offset, std::span<const std::uint8_t> data) override {
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t n =
          ::pwrite(m_fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  bool truncate(std::uint64_t size) override {
    return ::ftruncate(m_fd, static_cast<off_t>(size)) == 0;
  }

  bool flush() override {
    int rc = 0;
    do {
      rc = ::fdatasync(m_fd);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
  }

  std::int64_t size() override {
    struct stat st {};
    if (::fstat(m_fd, &st) != 0) return -1;
    return static_cast<std::int64_t>(st.st_size);
  }

 private:
  int m_fd;
};

class PosixFileSystem final : public FileSystem {
 public:
  std::unique_ptr<File> open(const std::filesystem::path& path, OpenMode mode) const override {
    int flags = O_CLOEXEC;
    switch (mode) {
      case OpenMode::kRead:
        flags |= O_RDONLY;
        break;
      case OpenMode::kReadWrite:
        flags |= O_RDWR;
        break;
      case OpenMode::kCreate:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
    }
    int fd = -1;
    do {
      fd = ::open(path.c_str(), flags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<PosixFile>(fd);
  }

  bool exists(const std::filesystem::path& path) const override {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
  }

  bool remove(const std::filesystem::path& path) const override {
    std::error_code ec;
    return std::filesystem::remove(path, ec);
  }
};

}  // namespace
}  // namespace detail

const FileSystem& defaultFileSystem() {
  static const detail::PosixFileSystem fs;
  return fs;
}

}  // namespace tivra::store

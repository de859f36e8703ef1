#include "store/file_io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/read_file.h"

namespace tivra::store {
namespace detail {
namespace {

// At most this much of a file is mapped; reads beyond it use pread.
constexpr std::uint64_t kMaxMapped = std::uint64_t{16} << 30;
// A mapping reaches this far past the file's end, so that a growing file is not mapped anew
// at every checkpoint; only the part below the end is ever read.
constexpr std::uint64_t kMapSlack = std::uint64_t{64} << 20;

// Owns one POSIX descriptor and, after readMostly(), a read-only mapping of it.
class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : m_fd(fd) {}
  ~PosixFile() override {
    unmap();
    if (m_fd >= 0) ::close(m_fd);
  }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  std::int64_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
    if (out.empty()) return 0;
    if (m_mapping && m_end >= offset && m_end - offset >= out.size() &&
        ensureMapped(offset + out.size())) {
      std::memcpy(out.data(), m_map + offset, out.size());
      return static_cast<std::int64_t>(out.size());
    }
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
    m_end = std::max<std::uint64_t>(m_end, offset + data.size());
    return true;
  }

  bool truncate(std::uint64_t size) override {
    if (::ftruncate(m_fd, static_cast<off_t>(size)) != 0) {
      // The end is not known any more: read through pread from now on.
      m_mapping = false;
      unmap();
      return false;
    }
    m_end = size;
    return true;
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

  void readMostly() override {
    const std::int64_t n = size();
    if (m_mapping || n < 0) return;
    m_end = static_cast<std::uint64_t>(n);
    m_mapping = true;
  }

 private:
  // The file's end as this object's own writes and cuts left it: the mapping is read only below
  // it (a page past the end of a file must never be touched).
  bool ensureMapped(std::uint64_t upTo) {
    if (upTo <= m_mapLength) return true;
    if (upTo > kMaxMapped) return false;
    unmap();
    const std::uint64_t length = std::min(kMaxMapped, m_end + kMapSlack);
    void* p = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, m_fd, 0);
    if (p == MAP_FAILED) {
      m_mapping = false;
      return false;
    }
    m_map = static_cast<const std::uint8_t*>(p);
    m_mapLength = length;
    return true;
  }

  void unmap() {
    if (m_map != nullptr) ::munmap(const_cast<std::uint8_t*>(m_map), m_mapLength);
    m_map = nullptr;
    m_mapLength = 0;
  }

  int m_fd;
  bool m_mapping = false;   // readMostly() was asked for and mapping works
  std::uint64_t m_end = 0;  // the file's size, kept while m_mapping
  const std::uint8_t* m_map = nullptr;
  std::uint64_t m_mapLength = 0;
};

class PosixFileSystem final : public FileSystem {
 public:
  std::unique_ptr<File> open(const std::filesystem::path& path, OpenMode mode) const override {
    int flags = 0;
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
    platform::RegularFile file = platform::openRegularFile(path, flags, 0644);
    if (!file.fd) return nullptr;
    return std::make_unique<PosixFile>(file.fd.release());
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

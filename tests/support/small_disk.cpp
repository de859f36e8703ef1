#include "support/small_disk.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace tivra::test {

SmallDisk::SmallDisk(std::size_t bytes) : m_path(m_dir / "disk") {
  std::filesystem::create_directory(m_path);
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
  m_mounted = ::geteuid() == 0 &&
              ::mount("tmpfs", m_path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
}

SmallDisk::~SmallDisk() {
  release();
  if (m_mounted) ::umount2(m_path.c_str(), MNT_DETACH);
}

void SmallDisk::fill() {
  if (m_full || !m_mounted) return;
  m_full = true;
  const int fd =
      ::open((m_path / ".filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const std::vector<char> chunk(std::size_t{64} << 10, 'f');
  // Bounded: the file system is small, and every round either writes or ends the loop.
  for (std::size_t size = chunk.size(); size > 0;) {
    const ssize_t n = ::write(fd, chunk.data(), size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) size /= 2;
  }
  ::close(fd);
}

void SmallDisk::release() {
  if (!m_full) return;
  m_full = false;
  std::error_code ec;
  std::filesystem::remove(m_path / ".filler", ec);
}

}  // namespace tivra::test

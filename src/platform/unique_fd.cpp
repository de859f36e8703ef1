#include "platform/unique_fd.h"

#include <unistd.h>

namespace tivra::platform {

void UniqueFd::reset(int fd) noexcept {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = fd;
}

bool UniqueFd::close() {
  if (m_fd < 0) return true;
  const int result = ::close(std::exchange(m_fd, -1));
  return result == 0;
}

}  // namespace tivra::platform

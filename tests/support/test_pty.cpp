#include "support/test_pty.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace tivra::test {

TestPty::TestPty() {
  int master = -1, slave = -1;
  char name[256] = {};
  termios raw{};
  cfmakeraw(&raw);
  if (openpty(&master, &slave, name, &raw, nullptr) != 0) ADD_FAILURE() << "openpty failed";
  m_master.reset(master);
  m_slave.reset(slave);
  m_slavePath = name;
}

void TestPty::write(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(m_master.get(), text.data(), text.size());
    if (n < 0) {
      if (errno != EAGAIN && errno != EINTR) return;
      pollfd pfd{m_master.get(), POLLOUT, 0};
      ::poll(&pfd, 1, 100);
      continue;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace tivra::test

#pragma once

#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace tivra::test {

// A pseudo-terminal standing in for a receiver: the test writes to the master side, the code
// under test opens the slave by its path.
class TestPty {
 public:
  TestPty();
  const std::string& slavePath() const { return m_slavePath; }
  // Writes everything, waiting while the terminal's buffer is full.
  void write(std::string_view text);

 private:
  platform::UniqueFd m_master;
  platform::UniqueFd m_slave;  // held so the pty stays up between opens by the code under test
  std::string m_slavePath;
};

}  // namespace tivra::test

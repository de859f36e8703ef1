#pragma once

#include <unistd.h>

namespace tivra::test {

// Ends the test process (SIGALRM) when its scope lasts longer than `seconds`: a call that would
// block for ever fails the run instead of hanging it.
class HangGuard {
 public:
  explicit HangGuard(unsigned seconds) { ::alarm(seconds); }
  ~HangGuard() { ::alarm(0); }
  HangGuard(const HangGuard&) = delete;
  HangGuard& operator=(const HangGuard&) = delete;
};

}  // namespace tivra::test

#pragma once

#include <initializer_list>

#include "platform/unique_fd.h"

namespace tivra::platform {

// Turns the given signals into readable events on a descriptor (signalfd), so the message loop
// handles them as ordinary work instead of in a signal handler. Blocks the signals for the
// calling thread; create it before starting other threads so they inherit the mask.
class SignalWatch {
 public:
  explicit SignalWatch(std::initializer_list<int> signals);
  int fd() const { return m_fd.get(); }
  // Reads one pending signal number, or 0.
  int take();

 private:
  UniqueFd m_fd;
};

}  // namespace tivra::platform

#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace tivra::platform {

// What the core asks of the main thread's loop: work posted from any thread, timers and
// file-descriptor watches run on the loop's thread. MessageLoop runs it on poll() for headless
// runs; the GUI runs it on its own event loop.
class EventLoop {
 public:
  using Task = std::function<void()>;
  using TimerId = std::uint64_t;
  using WatchId = std::uint64_t;

  virtual ~EventLoop() = default;

  // Thread-safe. Tasks run in the order posted.
  virtual void post(Task task) = 0;
  // Thread-safe: ends the loop with the given code once the current task returns.
  virtual void quit(int code) = 0;

  // Loop thread only.
  virtual TimerId addTimer(std::chrono::milliseconds interval, Task task, bool repeat) = 0;
  virtual void cancelTimer(TimerId id) = 0;
  // events and revents as poll() has them (POLLIN, POLLOUT, POLLERR, POLLHUP).
  virtual WatchId watchFd(int fd, short events, std::function<void(short revents)> handler) = 0;
  virtual void unwatchFd(WatchId id) = 0;
};

}  // namespace tivra::platform

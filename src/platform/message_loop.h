#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "platform/event_loop.h"
#include "platform/unique_fd.h"

struct pollfd;

namespace tivra::platform {

// The main thread's message loop: work posted from any thread, timers and file-descriptor
// watches, all run on the thread that calls run(). Built on poll(); an eventfd wakes it.
class MessageLoop final : public EventLoop {
 public:
  MessageLoop();
  ~MessageLoop() override;
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;

  // Thread-safe. Tasks run in the order posted.
  void post(Task task) override;
  // Thread-safe: ends run() with the given code once the current task returns.
  void quit(int code) override;

  // Loop thread only.
  TimerId addTimer(std::chrono::milliseconds interval, Task task, bool repeat) override;
  void cancelTimer(TimerId id) override;
  WatchId watchFd(int fd, short events, std::function<void(short revents)> handler) override;
  void unwatchFd(WatchId id) override;

  // Runs until quit(); returns the quit code.
  int run();
  // Runs due work without waiting longer than timeout; returns false once quit() was called.
  bool runOnce(std::chrono::milliseconds timeout);

 private:
  struct Timer {
    std::chrono::steady_clock::time_point due;
    std::chrono::milliseconds interval;
    Task task;
    bool repeat;
  };
  struct Watch {
    int fd;
    short events;
    std::function<void(short)> handler;
  };

  void runPosted();
  void runTimers();

  UniqueFd m_wake;
  std::mutex m_mutex;  // guards m_posted, m_quit, m_exitCode, m_wakePending, m_polling
  std::vector<Task> m_posted;
  bool m_wakePending = false;
  // The loop waits in poll(): only then does a post need the eventfd to reach it.
  bool m_polling = false;
  bool m_quit = false;
  int m_exitCode = 0;

  // Loop thread only.
  std::uint64_t m_nextId = 1;
  std::map<TimerId, Timer> m_timers;
  std::map<WatchId, Watch> m_watches;
  // Kept between rounds so that a busy loop allocates nothing per round.
  std::vector<pollfd> m_fds;
  std::vector<WatchId> m_fdIds;
  std::vector<Task> m_running;
};

}  // namespace tivra::platform

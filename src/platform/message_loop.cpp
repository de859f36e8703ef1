#include "platform/message_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace tivra::platform {

MessageLoop::MessageLoop() : m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!m_wake) throw std::runtime_error("eventfd failed");
}

MessageLoop::~MessageLoop() = default;

void MessageLoop::post(Task task) {
  bool wake = false;
  {
    std::lock_guard lock(m_mutex);
    m_posted.push_back(std::move(task));
    // One wake-up per batch: while one is pending the loop will see this task too. A loop that
    // is not waiting sees the task before it waits again.
    wake = m_polling && !std::exchange(m_wakePending, true);
  }
  if (wake) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_wake.get(), &one, sizeof one);
  }
}

void MessageLoop::quit(int code) {
  {
    std::lock_guard lock(m_mutex);
    if (!m_quit) m_exitCode = code;
    m_quit = true;
  }
  post([] {});
}

MessageLoop::TimerId MessageLoop::addTimer(std::chrono::milliseconds interval, Task task,
                                           bool repeat) {
  const TimerId id = m_nextId++;
  m_timers.emplace(
      id, Timer{std::chrono::steady_clock::now() + interval, interval, std::move(task), repeat});
  return id;
}

void MessageLoop::cancelTimer(TimerId id) {
  m_timers.erase(id);
}

MessageLoop::WatchId MessageLoop::watchFd(int fd, short events,
                                          std::function<void(short)> handler) {
  const WatchId id = m_nextId++;
  m_watches.emplace(id, Watch{fd, events, std::move(handler)});
  return id;
}

void MessageLoop::unwatchFd(WatchId id) {
  m_watches.erase(id);
}

void MessageLoop::runPosted() {
  // The batch's storage is reused; a task that runs the loop itself meets an empty one.
  std::vector<Task> tasks;
  tasks.swap(m_running);
  {
    std::lock_guard lock(m_mutex);
    tasks.swap(m_posted);
    m_wakePending = false;
  }
  for (auto& task : tasks) task();
  tasks.clear();
  m_running.swap(tasks);
}

void MessageLoop::runTimers() {
  const auto now = std::chrono::steady_clock::now();
  std::vector<TimerId> due;
  for (const auto& [id, timer] : m_timers)
    if (timer.due <= now) due.push_back(id);
  for (const TimerId id : due) {
    auto it = m_timers.find(id);
    if (it == m_timers.end()) continue;  // cancelled by an earlier timer
    Task task = it->second.task;
    if (it->second.repeat) {
      it->second.due = now + it->second.interval;
    } else {
      m_timers.erase(it);
    }
    task();
  }
}

bool MessageLoop::runOnce(std::chrono::milliseconds timeout) {
  {
    std::lock_guard lock(m_mutex);
    if (m_quit) return false;
  }
  auto wait = timeout;
  const auto now = std::chrono::steady_clock::now();
  for (const auto& [id, timer] : m_timers) {
    // Rounded up: a timer due in less than a millisecond would otherwise spin the loop on
    // zero-time polls until it is due.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(timer.due - now);
    wait = std::min(wait, std::max(left, std::chrono::milliseconds(0)));
  }

  std::vector<pollfd>& fds = m_fds;
  std::vector<WatchId>& ids = m_fdIds;
  fds.clear();
  ids.clear();
  fds.push_back({m_wake.get(), POLLIN, 0});
  for (const auto& [id, watch] : m_watches) {
    fds.push_back({watch.fd, watch.events, 0});
    ids.push_back(id);
  }
  {
    std::lock_guard lock(m_mutex);
    if (!m_posted.empty()) wait = std::chrono::milliseconds(0);
    m_polling = true;
  }
  const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(wait.count()));
  {
    std::lock_guard lock(m_mutex);
    m_polling = false;
  }
  if (ready < 0 && errno != EINTR) throw std::runtime_error("poll failed");
  if (ready > 0 && fds[0].revents != 0) {
    // Drained before the posted tasks are taken: a post after that writes a fresh wake-up.
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t n = ::read(m_wake.get(), &count, sizeof count);
  }
  if (ready > 0) {
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      auto it = m_watches.find(ids[i - 1]);
      if (it != m_watches.end()) {
        auto handler = it->second.handler;  // the handler may unwatch itself
        handler(fds[i].revents);
      }
    }
  }
  runPosted();
  runTimers();
  std::lock_guard lock(m_mutex);
  return !m_quit;
}

int MessageLoop::run() {
  while (runOnce(std::chrono::milliseconds(60'000))) {
  }
  std::lock_guard lock(m_mutex);
  return m_exitCode;
}

}  // namespace tivra::platform

#pragma once

// A page's download from a search or route service, on a thread of its own: the page's thread
// also accepts the globe's requests, so it must never wait on a service that does not answer.
//
// Threads: the page's thread creates, cancels and destroys a QueryThread. The work runs on the
// query's thread with copies of what it needs; the task it returns reaches the page's thread
// through post and runs there unless cancel() came first. A cancelled query cannot be torn out
// of its download: it runs to the download's end on its own and its result is dropped.

#include <functional>
#include <memory>
#include <thread>

namespace tivra::search {

// The page's state line while a query runs.
inline constexpr const char* kQueryingText = "正在查询…";

class QueryThread {
 public:
  using Task = std::function<void()>;
  // Runs a task on the page's thread; callable from any thread, never waits for the page.
  using Post = std::function<void(Task)>;

  // Starts work at once. What it returns is posted to the page; when it throws, failed is.
  QueryThread(std::function<Task()> work, Task failed, Post post);
  // Cancels; joins a query that has delivered, leaves one still downloading to end on its own.
  ~QueryThread();
  QueryThread(const QueryThread&) = delete;
  QueryThread& operator=(const QueryThread&) = delete;

  // Page's thread: the result, should it still come, is never applied.
  void cancel();

  // Queries whose thread still runs, cancelled ones included. Such a query still reads what the
  // window owns (the location map), so a program ending with one ends before the window goes.
  static int liveCount();

 private:
  struct Shared;
  std::shared_ptr<Shared> m_shared;
  std::thread m_thread;
};

}  // namespace tivra::search

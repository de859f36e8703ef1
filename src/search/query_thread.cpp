#include "search/query_thread.h"

#include <atomic>
#include <exception>
#include <string>

#include "platform/log.h"

namespace tivra::search {

namespace {

// Counts threads, not objects: a cancelled query outlives its QueryThread.
std::atomic<int> g_liveQueries{0};

}  // namespace

struct QueryThread::Shared {
  bool cancelled = false;              // written and read on the page's thread only
  std::atomic<bool> delivered{false};  // the result is posted: the thread is about to end
};

QueryThread::QueryThread(std::function<Task()> work, Task failed, Post post)
    : m_shared(std::make_shared<Shared>()) {
  ++g_liveQueries;
  m_thread = std::thread([work = std::move(work), failed = std::move(failed),
                          post = std::move(post), shared = m_shared] {
    Task apply;
    try {
      apply = work();
    } catch (const std::exception& e) {
      platform::debugTrace(std::string("query: ") + e.what());
      apply = failed;
    }
    shared->delivered = true;
    post([shared, apply = std::move(apply)] {
      if (!shared->cancelled && apply) apply();
    });
    // From here on the thread touches only what it owns.
    --g_liveQueries;
  });
}

QueryThread::~QueryThread() {
  cancel();
  // Past its delivery the thread only posts and ends; before it, a download may last minutes.
  if (m_shared->delivered) {
    m_thread.join();
  } else {
    m_thread.detach();
  }
}

void QueryThread::cancel() {
  m_shared->cancelled = true;
}

int QueryThread::liveCount() {
  return g_liveQueries.load();
}

}  // namespace tivra::search

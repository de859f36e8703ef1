#include "server/http_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "platform/thread_priority.h"
#include "server/request.h"

namespace tivra::server {

namespace {

std::atomic<int> g_liveThreads{0};
std::mutex g_noThreadsMutex;
std::condition_variable g_noThreads;  // signalled when the live count reaches zero
// Connection threads started and not yet joined: the exit must not run while one is left.
std::atomic<int> g_unjoinedThreads{0};

constexpr std::size_t kReadLimit = 1024;
constexpr std::size_t kResponseBuffer = 81920;
// The most handed to one send: a large answer goes out in pieces as the peer takes them.
constexpr std::size_t kSendPiece = 65536;
// What the server's destructor still waits for threads when no shutdown came before it.
constexpr std::chrono::milliseconds kLateStopWait{2000};

using Clock = std::chrono::steady_clock;

}  // namespace

CServerThread::CServerThread(ThreadId id) : m_id(id) {
  g_liveThreads.fetch_add(1, std::memory_order_acq_rel);
}

CServerThread::~CServerThread() {
  if (g_liveThreads.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    std::lock_guard lock(g_noThreadsMutex);
    g_noThreads.notify_all();
  }
}

int CServerThread::liveCount() {
  return g_liveThreads.load(std::memory_order_acquire);
}

bool CServerThread::waitNoServerThreads(std::chrono::milliseconds timeout) {
  std::unique_lock lock(g_noThreadsMutex);
  return g_noThreads.wait_for(lock, timeout, [] { return liveCount() == 0; });
}

namespace detail {

class Worker;

// State shared by the server object and its threads. Threads hold it by shared_ptr, so a thread
// that outlives the shutdown wait never touches freed memory of the server itself.
class ServerCore {
 public:
  ServerCore(const Router& r, std::mutex& lock, platform::Frontend& f, ServerHooks h,
             ServerOptions o)
      : router(r), stateLock(lock), frontend(f), hooks(std::move(h)), options(o) {}
  // Reached only when the server gave up waiting and the last late thread has ended: that
  // thread is the one running this, and cannot join itself.
  ~ServerCore() {
    for (std::thread& thread : ended) {
      if (thread.joinable()) thread.detach();
    }
  }

  // Joins the threads that have ended; the core mutex must not be held.
  void joinEnded() {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mutex);
      threads.swap(ended);
    }
    join(threads);
  }

  // Joins threads taken from `ended`; the core mutex must not be held.
  static void join(std::vector<std::thread>& threads) {
    for (std::thread& thread : threads) {
      thread.join();
      g_unjoinedThreads.fetch_sub(1, std::memory_order_acq_rel);
    }
  }

  // Whether new connections are still taken; core mutex held.
  bool accepting() const { return listening && !exiting; }

  const Router& router;
  std::mutex& stateLock;
  platform::Frontend& frontend;
  const ServerHooks hooks;
  const ServerOptions options;
  std::atomic<ThreadId> nextId{1};
  std::atomic<bool> toldOfShortage{false};
  // Set before the first thread starts and reset only when none is left, so the threads use
  // it without the mutex.
  std::optional<platform::TcpListener> listener;

  std::mutex mutex;  // guards everything below, and each worker's thread handle
  std::condition_variable workersEnded;
  bool listening = false;
  bool exiting = false;
  std::vector<std::shared_ptr<Worker>> workers;  // every thread that has not ended
  std::size_t waiting = 0;                       // threads waiting in accept
  std::vector<std::thread> ended;                // threads whose work is over, to be joined
};

// Starts one more connection thread; false when none could be made.
bool startWorker(const std::shared_ptr<ServerCore>& core);

// One connection thread. Between connections it waits in accept with the other idle threads;
// the kernel hands each new connection to one of them. Members below m_mutex are touched only
// by the worker's own thread.
class Worker : public std::enable_shared_from_this<Worker> {
 public:
  explicit Worker(std::shared_ptr<ServerCore> core)
      : m_core(std::move(core)), m_stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!m_stop) throw std::system_error(errno, std::generic_category(), "eventfd");
    m_text.reserve(kResponseBuffer);
  }

  // The thread keeps the core and itself alive for as long as it runs; when its work is over
  // it hands its own handle to the core, whose owner joins it.
  void start() {
    std::lock_guard lock(m_core->mutex);
    m_thread = std::thread([self = shared_from_this()] { self->run(); });
    g_unjoinedThreads.fetch_add(1, std::memory_order_acq_rel);
  }

  // WM_SERVER_THREAD_STOP for the connection with this id; false when this worker serves
  // another one or none.
  bool stopConnection(ThreadId id) {
    std::lock_guard lock(m_mutex);
    if (m_connection != id) return false;
    signalStopLocked();
    return true;
  }

  void stopConnection() {
    std::lock_guard lock(m_mutex);
    if (m_connection != 0) signalStopLocked();
  }

  // A thread waiting in accept is woken by the listener's shutdown, which comes first.
  void requestExit() {
    std::lock_guard lock(m_mutex);
    m_exit = true;
    signalStopLocked();
  }

 private:
  void run() {
    // Woken connection threads would otherwise preempt the one finishing its answer, and each
    // connection would pay for two switches instead of one.
    platform::setBatchPriority();
    while (platform::UniqueFd fd = acceptNext()) serve(std::move(fd));
    std::lock_guard lock(m_core->mutex);
    retire();
  }

  // The next connection, taken from the listener's queue by this thread itself; invalid when
  // the thread should end: the server stops, enough other threads wait already, or parkedIdle
  // passed without a connection while another thread waits too.
  platform::UniqueFd acceptNext() {
    // Threads that ended since are joined here, so a long run keeps no stacks.
    std::vector<std::thread> ended;
    {
      std::lock_guard lock(m_core->mutex);
      if (!m_core->accepting() || m_core->waiting >= m_core->options.maxParkedThreads) return {};
      ++m_core->waiting;
      ended.swap(m_core->ended);
    }
    ServerCore::join(ended);
    for (;;) {
      platform::UniqueFd fd = m_core->listener->accept();
      const int error = errno;
      bool another = false;
      {
        std::lock_guard lock(m_core->mutex);
        if (fd) {
          // The last waiting thread has taken this one: another waits for the next while it
          // is served.
          another = --m_core->waiting == 0 && m_core->accepting();
        } else if (!m_core->accepting() ||
                   ((error == EAGAIN || error == EWOULDBLOCK) && m_core->waiting > 1)) {
          --m_core->waiting;
          return {};
        }
      }
      if (fd) {
        if (another) startWorker(m_core);
        return fd;
      }
      if (error == EAGAIN || error == EWOULDBLOCK) continue;  // the last one keeps waiting
      // Out of descriptors, or another failure: the pending connection would fail again at
      // once, so wait a moment first.
      if (!m_core->toldOfShortage.exchange(true, std::memory_order_relaxed))
        platform::warn("tivra: out of file descriptors; new connections wait until some close");
      if (platform::waitReadable(m_stop.get(), -1, m_core->options.acceptBackoff) == 1) {
        // A stop that came too late for the last connection would cut every wait short.
        std::lock_guard lock(m_mutex);
        if (!m_exit) dropStopLocked();
      }
    }
  }

  // Core mutex held. After this the thread only unwinds: its handle is the joiner's now.
  void retire() {
    std::erase_if(m_core->workers, [this](const auto& w) { return w.get() == this; });
    m_core->ended.push_back(std::move(m_thread));
    if (m_core->workers.empty()) m_core->workersEnded.notify_all();
  }

  // Worker mutex held. A signalled stop is taken back; the read is saved when none came.
  void dropStopLocked() {
    if (!m_stopSignalled.exchange(false, std::memory_order_acq_rel)) return;
    std::uint64_t stale = 0;
    [[maybe_unused]] ssize_t n = ::read(m_stop.get(), &stale, sizeof stale);
  }

  // Worker mutex held.
  void signalStopLocked() {
    if (m_stopSignalled.exchange(true, std::memory_order_acq_rel)) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_stop.get(), &one, sizeof one);
  }

  void serve(platform::UniqueFd fd) {
    CServerThread thread(m_core->nextId.fetch_add(1, std::memory_order_relaxed));
    {
      std::lock_guard lock(m_mutex);
      dropStopLocked();  // meant for the previous connection
      m_connection = thread.id();
      if (m_exit) signalStopLocked();  // the server is going: this connection gets no answer
    }
    {
      std::lock_guard lock(m_core->stateLock);
      if (m_core->hooks.beforeAccept) m_core->hooks.beforeAccept();
      if (m_core->hooks.threadStarted) m_core->hooks.threadStarted(thread.id());
    }

    try {
      answer(fd.get());
    } catch (const std::exception& e) {
      // Out of memory while answering: this connection closes without an answer.
      platform::debugTrace(std::string("CConnectSoc: ") + e.what());
    }

    // The server ends every connection: the peer sees the response followed by end of stream.
    ::shutdown(fd.get(), SHUT_WR);
    drainInput(fd.get());
    fd.reset();

    {
      std::lock_guard lock(m_mutex);
      m_connection = 0;
    }
    std::lock_guard lock(m_core->stateLock);
    if (m_core->hooks.threadEnded) m_core->hooks.threadEnded(thread.id());
  }

  void answer(int fd) {
    const std::size_t count = readRequest(fd);
    if (count == 0) return;
    m_request[count] = '\0';
    Response response;
    response.text.swap(m_text);
    response.text.clear();
    m_core->router.route(std::string_view(m_request.data(), count), response);
    // One deadline for the whole answer, however it is taken in pieces.
    const Clock::time_point deadline = Clock::now() + m_core->options.answerTimeout;
    const bool sent =
        sendBounded(fd, response.text,
                    response.body ? asChars(*response.body) : std::span<const char>(), deadline);
    if (!sent) platform::debugTrace("CConnectSoc::Send failed");
    m_text.swap(response.text);
    if (m_text.capacity() > 4 * kResponseBuffer) {
      m_text = std::string();  // let a large archive go instead of keeping it parked
      m_text.reserve(kResponseBuffer);
    }
  }

  static std::span<const char> asChars(const std::vector<std::uint8_t>& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
  }

  // Sends head and then tail in pieces of at most kSendPiece as the peer takes them; a small
  // answer leaves in one call. The kernel holds the last part-filled segment (MSG_MORE) until
  // the shutdown that follows every answer, so it leaves together with the FIN and the peer
  // acknowledges both at once: two packets fewer per connection. False when the peer failed, the
  // stop came, or the deadline passed first.
  bool sendBounded(int fd, std::span<const char> head, std::span<const char> tail,
                   Clock::time_point deadline) {
    while (!head.empty() || !tail.empty()) {
      if (head.empty()) std::swap(head, tail);
      const std::size_t first = std::min(head.size(), kSendPiece);
      std::array<iovec, 2> pieces = {
          iovec{const_cast<char*>(head.data()), first},
          iovec{const_cast<char*>(tail.data()), std::min(tail.size(), kSendPiece - first)}};
      msghdr message{};
      message.msg_iov = pieces.data();
      message.msg_iovlen = pieces[1].iov_len > 0 ? 2 : 1;
      const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT | MSG_MORE);
      if (sent > 0) {
        const auto taken = static_cast<std::size_t>(sent);
        const std::size_t fromHead = std::min(taken, head.size());
        head = head.subspan(fromHead);
        tail = tail.subspan(taken - fromHead);
        continue;
      }
      if (sent < 0 && errno == EINTR) continue;
      if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd fds[2] = {{fd, POLLOUT, 0}, {m_stop.get(), POLLIN, 0}};
      const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0 || fds[1].revents != 0) return false;
    }
    return true;
  }

  // Reads until the request's header has ended, kReadLimit bytes have come, or headerTimeout
  // has passed since its first byte; a request that arrives in pieces is routed whole. The
  // count of bytes to route; 0 when there is nothing to answer (stopped, silent for
  // idleTimeout, closed before sending, or a read error).
  std::size_t readRequest(int fd) {
    std::size_t count = 0;
    Clock::time_point headerDeadline{};
    // By the time a connection is handed over its request has mostly arrived: read before
    // waiting, unless a stop has come.
    bool mustWait = m_stopSignalled.load(std::memory_order_acquire);
    for (;;) {
      if (mustWait) {
        auto wait = m_core->options.idleTimeout;
        if (count > 0) {
          wait = std::chrono::ceil<std::chrono::milliseconds>(headerDeadline - Clock::now());
          if (wait.count() <= 0) return count;
        }
        const int ready = platform::waitReadable(fd, m_stop.get(), wait);
        if (ready == 0) return count;  // idle too long, or the header's time is up
        if (ready != 1) return 0;      // stopped, or poll failed
      }
      const ssize_t n = ::recv(fd, m_request.data() + count, kReadLimit - count, MSG_DONTWAIT);
      if (n == 0) return count;  // the peer has sent all it will
      if (n < 0) {
        mustWait = errno != EINTR;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
        m_core->frontend.messageBox("Socket Error. Unable to read data.", "Tivra");
        return 0;
      }
      if (count == 0) headerDeadline = Clock::now() + m_core->options.headerTimeout;
      count += static_cast<std::size_t>(n);
      if (count >= kReadLimit || requestComplete(std::string_view(m_request.data(), count)))
        return count;
    }
  }

  // Unread request bytes would turn the close into a reset that can destroy the response at
  // the peer; read and drop what has already arrived.
  static void drainInput(int fd) {
    std::array<char, 4096> sink;
    for (int i = 0; i < 16; ++i)
      if (::recv(fd, sink.data(), sink.size(), MSG_DONTWAIT) <= 0) break;
  }

  std::shared_ptr<ServerCore> m_core;
  platform::UniqueFd m_stop;  // carries WM_SERVER_THREAD_STOP
  std::thread m_thread;       // guarded by the core mutex; the core's once the work is over

  std::mutex m_mutex;
  bool m_exit = false;
  ThreadId m_connection = 0;  // the connection being served; 0 between connections
  // Whether m_stop holds a signal not yet read; written under m_mutex.
  std::atomic<bool> m_stopSignalled{false};

  std::array<char, kReadLimit + 1> m_request{};
  std::string m_text;  // the response buffer, kept between connections
};

bool startWorker(const std::shared_ptr<ServerCore>& core) {
  std::shared_ptr<Worker> worker;
  try {
    worker = std::make_shared<Worker>(core);
    {
      std::lock_guard lock(core->mutex);
      if (!core->accepting()) return false;
      core->workers.push_back(worker);
    }
    worker->start();
    return true;
  } catch (const std::exception&) {
    // No thread now: the connections wait in the queue for one that finishes.
    std::lock_guard lock(core->mutex);
    if (worker) std::erase(core->workers, worker);
    return false;
  }
}

}  // namespace detail

HttpServer::HttpServer(const Router& router, std::mutex& stateLock, platform::Frontend& frontend,
                       ServerHooks hooks, ServerOptions options)
    : m_core(std::make_shared<detail::ServerCore>(router, stateLock, frontend, std::move(hooks),
                                                  options)) {}

HttpServer::~HttpServer() {
  bool stopped = false;
  {
    std::lock_guard lock(m_core->mutex);
    stopped = m_core->exiting;
  }
  // A thread still in a connection after the wait keeps the core alive by itself, and its
  // owner must not free what it reaches.
  stop(Clock::now() + (stopped ? std::chrono::milliseconds(0) : kLateStopWait));
}

bool HttpServer::stop(std::chrono::steady_clock::time_point deadline) {
  closeListener();
  std::vector<std::shared_ptr<detail::Worker>> workers;
  {
    std::lock_guard lock(m_core->mutex);
    m_core->exiting = true;
    workers = m_core->workers;
  }
  for (const auto& worker : workers) worker->requestExit();
  workers.clear();
  bool allEnded = false;
  {
    std::unique_lock lock(m_core->mutex);
    allEnded =
        m_core->workersEnded.wait_until(lock, deadline, [this] { return m_core->workers.empty(); });
  }
  m_core->joinEnded();
  // No thread is left to use the descriptor; with late ones it goes with the core.
  if (allEnded) m_core->listener.reset();
  return allEnded;
}

int HttpServer::threadsLeft() {
  return g_unjoinedThreads.load(std::memory_order_acquire);
}

std::size_t HttpServer::threadCount() const {
  std::lock_guard lock(m_core->mutex);
  return m_core->workers.size();
}

bool HttpServer::listen(std::string_view address, std::uint16_t port) {
  auto listener = platform::TcpListener::listen(address, port, m_core->options.backlog);
  if (!listener || !listener->waitInAccept(m_core->options.parkedIdle)) return false;
  {
    std::lock_guard lock(m_core->mutex);
    if (m_core->listener || m_core->exiting) return false;
    m_core->listener = std::move(listener);
    m_core->listening = true;
  }
  return true;
}

bool HttpServer::startAccepting() {
  {
    std::lock_guard lock(m_core->mutex);
    if (!m_core->accepting() || !m_core->workers.empty()) return m_core->accepting();
  }
  return detail::startWorker(m_core);
}

std::uint16_t HttpServer::port() const {
  return m_core->listener ? m_core->listener->port() : 0;
}

void HttpServer::closeListener() {
  std::lock_guard lock(m_core->mutex);
  if (!m_core->listening) return;
  m_core->listening = false;
  m_core->listener->stopAccepting();
}

void HttpServer::stopConnection(ThreadId id) {
  std::lock_guard lock(m_core->mutex);
  for (const auto& worker : m_core->workers)
    if (worker->stopConnection(id)) return;
}

void HttpServer::stopAllConnections() {
  std::lock_guard lock(m_core->mutex);
  for (const auto& worker : m_core->workers) worker->stopConnection();
}

}  // namespace tivra::server

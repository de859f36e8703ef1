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
constexpr std::size_t kMaxAcceptsPerWakeup = 64;
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
    for (std::thread& thread : threads) {
      thread.join();
      g_unjoinedThreads.fetch_sub(1, std::memory_order_acq_rel);
    }
  }

  const Router& router;
  std::mutex& stateLock;
  platform::Frontend& frontend;
  const ServerHooks hooks;
  const ServerOptions options;
  std::atomic<ThreadId> nextId{1};

  std::mutex mutex;  // guards everything below, and each worker's thread handle
  std::condition_variable workersEnded;
  bool exiting = false;
  std::vector<std::shared_ptr<Worker>> workers;  // every thread that has not ended
  std::vector<std::shared_ptr<Worker>> parked;
  std::vector<std::thread> ended;  // threads whose work is over, to be joined
};

// One connection thread. Between connections it parks and waits to be handed the next one.
// Members below m_mutex are touched only by the worker's own thread.
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

  // Hands a connection to a parked (or new) worker.
  void assign(platform::UniqueFd fd) {
    {
      std::lock_guard lock(m_mutex);
      m_pending = std::move(fd);
    }
    m_wake.notify_one();
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

  void requestExit() {
    {
      std::lock_guard lock(m_mutex);
      m_exit = true;
      signalStopLocked();
    }
    m_wake.notify_one();
  }

 private:
  void run() {
    for (;;) {
      platform::UniqueFd fd = waitForConnection();
      if (!fd) break;
      serve(std::move(fd));
      if (!park()) return;
    }
    std::lock_guard lock(m_core->mutex);
    retire();
  }

  // The next connection; invalid when told to exit, or when idle parked long enough and no
  // longer on the parked list (the acceptor can no longer hand it one).
  platform::UniqueFd waitForConnection() {
    const auto ready = [this] { return m_pending.valid() || m_exit; };
    for (;;) {
      {
        std::unique_lock lock(m_mutex);
        if (m_wake.wait_for(lock, m_core->options.parkedIdle, ready)) {
          return std::move(m_pending);  // invalid when exiting
        }
      }
      // Lock order: core before worker. A worker the acceptor has just taken from the list is
      // about to be handed a connection: keep waiting for it.
      std::lock_guard coreLock(m_core->mutex);
      const bool parked =
          std::erase_if(m_core->parked, [this](const auto& w) { return w.get() == this; }) > 0;
      std::lock_guard lock(m_mutex);
      if (m_pending.valid() || m_exit) return std::move(m_pending);
      if (parked) return {};
    }
  }

  // Returns false when this thread should end instead of parking.
  bool park() {
    std::lock_guard lock(m_core->mutex);
    if (m_core->exiting || m_core->parked.size() >= m_core->options.maxParkedThreads) {
      retire();
      return false;
    }
    m_core->parked.push_back(shared_from_this());
    return true;
  }

  // Core mutex held. After this the thread only unwinds: its handle is the joiner's now.
  void retire() {
    std::erase_if(m_core->workers, [this](const auto& w) { return w.get() == this; });
    std::erase_if(m_core->parked, [this](const auto& w) { return w.get() == this; });
    m_core->ended.push_back(std::move(m_thread));
    if (m_core->workers.empty()) m_core->workersEnded.notify_all();
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
      // A stop meant for the previous connection is dropped; the read is saved when none came.
      if (m_stopSignalled.exchange(false, std::memory_order_acq_rel)) {
        std::uint64_t stale = 0;
        [[maybe_unused]] ssize_t n = ::read(m_stop.get(), &stale, sizeof stale);
      }
      m_connection = thread.id();
      if (m_exit) signalStopLocked();  // the server is going: this connection gets no answer
    }
    {
      std::lock_guard lock(m_core->stateLock);
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
  // answer leaves in one call. False when the peer failed, the stop came, or the deadline
  // passed first.
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
      const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
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
  std::condition_variable m_wake;
  platform::UniqueFd m_pending;
  bool m_exit = false;
  ThreadId m_connection = 0;  // the connection being served; 0 between connections
  // Whether m_stop holds a signal not yet read; written under m_mutex.
  std::atomic<bool> m_stopSignalled{false};

  std::array<char, kReadLimit + 1> m_request{};
  std::string m_text;  // the response buffer, kept between connections
};

}  // namespace detail

HttpServer::HttpServer(platform::EventLoop& loop, const Router& router, std::mutex& stateLock,
                       platform::Frontend& frontend, ServerHooks hooks, ServerOptions options)
    : m_loop(loop),
      m_stateLock(stateLock),
      m_hooks(hooks),
      m_core(std::make_shared<detail::ServerCore>(router, stateLock, frontend, std::move(hooks),
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
  m_listener = platform::TcpListener::listen(address, port, m_core->options.backlog);
  if (!m_listener) return false;
  m_watch = m_loop.watchFd(m_listener->fd(), POLLIN, [this](short) { onAcceptReady(); });
  return true;
}

std::uint16_t HttpServer::port() const {
  return m_listener ? m_listener->port() : 0;
}

void HttpServer::backOff() {
  if (!m_watch) return;
  m_loop.unwatchFd(*m_watch);
  m_watch.reset();
  if (!m_toldOfShortage) {
    m_toldOfShortage = true;
    platform::warn("tivra: out of file descriptors; new connections wait until some close");
  }
  m_backoffTimer = m_loop.addTimer(
      m_core->options.acceptBackoff,
      [this] {
        m_backoffTimer.reset();
        if (m_listener && !m_watch)
          m_watch = m_loop.watchFd(m_listener->fd(), POLLIN, [this](short) { onAcceptReady(); });
      },
      false);
}

void HttpServer::closeListener() {
  if (m_backoffTimer) m_loop.cancelTimer(*m_backoffTimer);
  m_backoffTimer.reset();
  if (m_watch) m_loop.unwatchFd(*m_watch);
  m_watch.reset();
  if (m_listener) m_listener->close();
  m_listener.reset();
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

void HttpServer::onAcceptReady() {
  // Threads that ended since the last accept are joined here, so a long run keeps no stacks.
  m_core->joinEnded();
  for (std::size_t i = 0; i < kMaxAcceptsPerWakeup && m_listener; ++i) {
    {
      std::lock_guard lock(m_stateLock);
      if (m_hooks.beforeAccept) m_hooks.beforeAccept();
    }
    platform::UniqueFd fd = m_listener->accept();
    if (!fd) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) backOff();
      return;
    }
    std::shared_ptr<detail::Worker> worker;
    {
      std::lock_guard lock(m_core->mutex);
      if (!m_core->parked.empty()) {
        worker = std::move(m_core->parked.back());
        m_core->parked.pop_back();
      }
    }
    try {
      if (!worker) {
        worker = std::make_shared<detail::Worker>(m_core);
        {
          std::lock_guard lock(m_core->mutex);
          m_core->workers.push_back(worker);
        }
        worker->assign(std::move(fd));
        worker->start();
        continue;
      }
    } catch (const std::exception&) {
      // No thread for this connection: the peer sees it close without an answer.
      std::lock_guard lock(m_core->mutex);
      std::erase(m_core->workers, worker);
      continue;
    }
    worker->assign(std::move(fd));
  }
}

}  // namespace tivra::server

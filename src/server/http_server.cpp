#include "server/http_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/log.h"
#include "server/request.h"

namespace tivra::server {

namespace {

std::atomic<int> g_liveThreads{0};
std::mutex g_noThreadsMutex;
std::condition_variable g_noThreads;  // signalled when the live count reaches zero

constexpr std::size_t kReadLimit = 1024;
constexpr std::size_t kResponseBuffer = 81920;
constexpr std::size_t kMaxAcceptsPerWakeup = 64;

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

  const Router& router;
  std::mutex& stateLock;
  platform::Frontend& frontend;
  const ServerHooks hooks;
  const ServerOptions options;
  std::atomic<ThreadId> nextId{1};

  std::mutex mutex;  // guards everything below
  std::condition_variable workersEnded;
  bool exiting = false;
  std::vector<std::shared_ptr<Worker>> workers;  // every thread that has not ended
  std::vector<std::shared_ptr<Worker>> parked;
  std::unordered_map<ThreadId, Worker*> running;
};

// One connection thread. Between connections it parks and waits to be handed the next one.
// Members below the mutex are touched only by the worker's own thread.
class Worker : public std::enable_shared_from_this<Worker> {
 public:
  explicit Worker(std::shared_ptr<ServerCore> core)
      : m_core(std::move(core)), m_stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!m_stop) throw std::system_error(errno, std::generic_category(), "eventfd");
    m_response.reserve(kResponseBuffer);
  }

  // The thread is detached: its end is announced through the core, and it keeps the core and
  // itself alive for as long as it runs.
  void start() {
    std::thread([self = shared_from_this()] { self->run(); }).detach();
  }

  // Hands a connection to a parked (or new) worker.
  void assign(platform::UniqueFd fd) {
    {
      std::lock_guard lock(m_mutex);
      m_pending = std::move(fd);
    }
    m_wake.notify_one();
  }

  void signalStop() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_stop.get(), &one, sizeof one);
  }

  void requestExit() {
    {
      std::lock_guard lock(m_mutex);
      m_exit = true;
    }
    m_wake.notify_one();
    signalStop();
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

  // Core mutex held.
  void retire() {
    std::erase_if(m_core->workers, [this](const auto& w) { return w.get() == this; });
    std::erase_if(m_core->parked, [this](const auto& w) { return w.get() == this; });
    if (m_core->workers.empty()) m_core->workersEnded.notify_all();
  }

  void serve(platform::UniqueFd fd) {
    CServerThread thread(m_core->nextId.fetch_add(1, std::memory_order_relaxed));
    std::uint64_t stale = 0;
    [[maybe_unused]] ssize_t n = ::read(m_stop.get(), &stale, sizeof stale);
    {
      std::lock_guard lock(m_core->mutex);
      m_core->running.emplace(thread.id(), this);
    }
    {
      std::lock_guard lock(m_core->stateLock);
      if (m_core->hooks.threadStarted) m_core->hooks.threadStarted(thread.id());
    }

    answer(fd.get());

    // The server ends every connection: the peer sees the response followed by end of stream.
    ::shutdown(fd.get(), SHUT_WR);
    drainInput(fd.get());
    fd.reset();

    {
      std::lock_guard lock(m_core->mutex);
      m_core->running.erase(thread.id());
    }
    std::lock_guard lock(m_core->stateLock);
    if (m_core->hooks.threadEnded) m_core->hooks.threadEnded(thread.id());
  }

  void answer(int fd) {
    const std::size_t count = readRequest(fd);
    if (count == 0) return;
    m_request[count] = '\0';
    m_response.clear();
    m_core->router.RouteRequest(std::string_view(m_request.data(), count), m_response);
    if (!platform::sendAll(fd, m_response)) platform::debugTrace("CConnectSoc::Send failed");
    if (m_response.capacity() > 4 * kResponseBuffer) {
      m_response = std::string();  // let a large archive go instead of keeping it parked
      m_response.reserve(kResponseBuffer);
    }
  }

  // Reads until the request's header has ended, kReadLimit bytes have come, or headerTimeout
  // has passed since its first byte; a request that arrives in pieces is routed whole. The
  // count of bytes to route; 0 when there is nothing to answer (stopped, silent for
  // idleTimeout, closed before sending, or a read error).
  std::size_t readRequest(int fd) {
    using Clock = std::chrono::steady_clock;
    std::size_t count = 0;
    Clock::time_point headerDeadline{};
    for (;;) {
      auto wait = m_core->options.idleTimeout;
      if (count > 0) {
        wait = std::chrono::ceil<std::chrono::milliseconds>(headerDeadline - Clock::now());
        if (wait.count() <= 0) return count;
      }
      const int ready = platform::waitReadable(fd, m_stop.get(), wait);
      if (ready == 0) return count;  // idle too long, or the header's time is up
      if (ready != 1) return 0;      // stopped, or poll failed
      const ssize_t n = ::recv(fd, m_request.data() + count, kReadLimit - count, 0);
      if (n == 0) return count;  // the peer has sent all it will
      if (n < 0) {
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

  std::mutex m_mutex;
  std::condition_variable m_wake;
  platform::UniqueFd m_pending;
  bool m_exit = false;

  std::array<char, kReadLimit + 1> m_request{};
  std::string m_response;
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
  closeListener();
  std::vector<std::shared_ptr<detail::Worker>> workers;
  {
    std::lock_guard lock(m_core->mutex);
    m_core->exiting = true;
    workers = m_core->workers;
  }
  for (const auto& worker : workers) worker->requestExit();
  workers.clear();
  // Parked threads end at once. A thread still in a connection has had the whole shutdown wait
  // already: it keeps the core alive by itself, and its owner must not free what it reaches.
  std::unique_lock lock(m_core->mutex);
  m_core->workersEnded.wait_for(lock, std::chrono::milliseconds(2000), [this] {
    return m_core->workers.size() <= m_core->running.size();
  });
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
  const auto it = m_core->running.find(id);
  if (it != m_core->running.end()) it->second->signalStop();
}

void HttpServer::stopAllConnections() {
  std::lock_guard lock(m_core->mutex);
  for (const auto& [id, worker] : m_core->running) worker->signalStop();
}

void HttpServer::onAcceptReady() {
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
    // Bounds a peer that stops reading: the send gives up instead of blocking for ever.
    const timeval timeout{30, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);

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

#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/frontend.h"
#include "platform/socket.h"
#include "server/router.h"

namespace tivra::server {

// Identifies one connection thread (one accepted connection) for the main window's list.
using ThreadId = std::uint64_t;

// One object per accepted connection. Its constructor and destructor keep the process-wide
// count of live connection threads and the no-server-threads event that shutdown waits on.
class CServerThread {
 public:
  explicit CServerThread(ThreadId id);
  ~CServerThread();
  CServerThread(const CServerThread&) = delete;
  CServerThread& operator=(const CServerThread&) = delete;

  ThreadId id() const { return m_id; }

  static int liveCount();
  // True once no connection thread is alive; false when the timeout passed first.
  static bool waitNoServerThreads(std::chrono::milliseconds timeout);

 private:
  ThreadId m_id;
};

struct ServerHooks {
  // Under StateLock on the thread that accepted a connection, before it reads the request
  // (and just before threadStarted): the map page's data exchange.
  std::function<void()> beforeAccept;
  // On the connection thread under StateLock: post WM_SERVER_THREAD_STARTED / _ENDED.
  std::function<void(ThreadId)> threadStarted;
  std::function<void(ThreadId)> threadEnded;
};

struct ServerOptions {
  // Google Earth asks for 15 tiles at once; a queue of 5 would drop connections into a 1 s
  // SYN retry under such a burst.
  int backlog = 64;
  // A peer that has sent nothing for this long is closed: it must not hold a thread forever.
  std::chrono::milliseconds idleTimeout{30'000};
  // After a request's first byte, the rest of its header may take this long; then what has
  // come is routed.
  std::chrono::milliseconds headerTimeout{2'000};
  // The whole answer must be taken by the peer within this long, however slowly it reads:
  // a peer that stops reading holds its thread and the answer's memory no longer.
  std::chrono::milliseconds answerTimeout{30'000};
  // Finished connection threads wait for the next connection instead of ending, up to this many,
  // and end after this long without one, so a quiet program goes back to one thread.
  std::size_t maxParkedThreads = 32;
  std::chrono::milliseconds parkedIdle{30'000};
  // When accept fails for lack of descriptors the thread waits this long before it tries again:
  // the pending connection would fail it again at once.
  std::chrono::milliseconds acceptBackoff{200};
};

namespace detail {
class ServerCore;
}

// The listening socket and its connection threads. Each connection runs on a thread of its own
// that reads one request (its header, at most 1024 bytes), routes it, sends the whole response
// and closes. The threads accept for themselves: those between connections wait in accept, the
// kernel wakes one for each connection, and the last one to take a connection starts another
// to wait for the next; no other thread is woken on the way.
class HttpServer {
 public:
  HttpServer(const Router& router, std::mutex& stateLock, platform::Frontend& frontend,
             ServerHooks hooks, ServerOptions options = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds and listens; false when the socket cannot be created on the port or listen fails.
  // Connections wait in the listener's queue until startAccepting().
  bool listen(std::string_view address, std::uint16_t port);
  // Starts the first thread that takes connections; false when none can be started.
  bool startAccepting();
  std::uint16_t port() const;
  // Stops accepting (shutdown step 1).
  void closeListener();
  // Connection threads alive, those waiting in accept included (a test hook for the idle end).
  std::size_t threadCount() const;
  // WM_SERVER_THREAD_STOP for one connection thread; unknown or finished ids are ignored.
  void stopConnection(ThreadId id);
  void stopAllConnections();
  // Shutdown: the listener closes, every connection is told to stop and every parked thread
  // to end; waits until all have ended or the deadline has passed, and joins those that ended.
  // True when no thread of this server is left.
  bool stop(std::chrono::steady_clock::time_point deadline);

  // Connection threads started and not yet joined, in the whole process: nonzero after a
  // shutdown whose wait ran out.
  static int threadsLeft();

 private:
  std::shared_ptr<detail::ServerCore> m_core;
};

}  // namespace tivra::server

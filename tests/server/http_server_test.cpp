#include "server/http_server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "platform/message_loop.h"
#include "platform/socket.h"
#include "support/process.h"
#include "support/raw_client.h"
#include "support/recording_frontend.h"

namespace tivra::server {
namespace {

using namespace std::chrono_literals;

// A server on an ephemeral port with its message loop on a thread of its own, keeping the
// connection-thread list the way the main window does.
class ServerTest : public ::testing::Test {
 protected:
  void start(ServerOptions options = {}) {
    ServerHooks hooks;
    hooks.beforeAccept = [this] { ++accepts; };
    hooks.threadStarted = [this](ThreadId id) { loop.post([this, id] { list.push_back(id); }); };
    hooks.threadEnded = [this](ThreadId id) { loop.post([this, id] { std::erase(list, id); }); };
    server = std::make_unique<HttpServer>(router, stateLock, frontend, hooks, options);
    ASSERT_TRUE(server->listen("127.0.0.1", 0));
    ASSERT_TRUE(server->startAccepting());
    port = server->port();
    loopThread = std::thread([this] { loop.run(); });
  }

  // As the window does before it lets the server go: the hooks reach this fixture until the
  // last connection thread has announced its end.
  void TearDown() override {
    if (server) server->stopAllConnections();
    EXPECT_TRUE(CServerThread::waitNoServerThreads(5s));
    if (loopThread.joinable()) {
      loop.quit(0);
      loopThread.join();
    }
    server.reset();
  }

  // The list as the loop thread sees it.
  std::vector<ThreadId> threadList() {
    std::promise<std::vector<ThreadId>> result;
    loop.post([&] { result.set_value(list); });
    return result.get_future().get();
  }

  void echoLength() {
    router.setHandler(Endpoint::Default, [](std::string_view request, std::string& out) {
      out = "len=" + std::to_string(request.size());
    });
  }

  platform::MessageLoop loop;
  Router router;
  std::mutex stateLock;
  test::RecordingFrontend frontend;
  std::unique_ptr<HttpServer> server;
  std::thread loopThread;
  std::uint16_t port = 0;
  std::atomic<int> accepts{0};
  std::vector<ThreadId> list;  // loop thread only
};

TEST_F(ServerTest, AnswersOneRequestAndCloses) {
  std::atomic<int> policy{-1};
  router.setHandler(Endpoint::GPSServer, [&](std::string_view, std::string& out) {
    policy = ::sched_getscheduler(0);
    out = "gps";
  });
  start();
  EXPECT_EQ(test::exchange(port, "GET /GPSServer HTTP/1.1\r\n\r\n"), "gps");
  EXPECT_GE(accepts.load(), 1);
  // Answers are throughput work: a connection's wake-up must not preempt another's answer.
  EXPECT_EQ(policy.load(), SCHED_BATCH);
}

TEST_F(ServerTest, LongRequestIsAnsweredFromItsFirst1024Bytes) {
  echoLength();
  start();
  const std::string request = "GET / HTTP/1.1\r\nX: " + std::string(1500 - 19, 'a');
  ASSERT_EQ(request.size(), 1500u);
  EXPECT_EQ(test::exchange(port, request), "len=1024");
}

TEST_F(ServerTest, ZeroBytesInTheRequestCannotHideItsEnd) {
  std::string seen;
  router.setHandler(Endpoint::Default, [&](std::string_view request, std::string& out) {
    seen = request;
    out = "ok";
  });
  router.setHandler(Endpoint::KmlServer, [](std::string_view, std::string& out) { out = "kml"; });
  start();
  EXPECT_EQ(test::exchange(port, std::string("GET /\0KmlServer", 15)), "ok");
  EXPECT_EQ(seen, "GET /");
}

// Split after 10 bytes the request would name no endpoint, after 30 a cut tile; it is routed
// whole, whatever the pause between its pieces.
class SplitRequestTest : public ServerTest, public ::testing::WithParamInterface<std::size_t> {};
TEST_P(SplitRequestTest, IsRoutedWhole) {
  router.setHandler(Endpoint::ImageServer,
                    [](std::string_view request, std::string& out) { out = request; });
  start();
  const std::string request =
      "GET /ImageServer/F00/x=123%34&y=56%38&zoom=12 HTTP/1.1\r\nHost: localhost\r\n\r\n";
  platform::UniqueFd fd = platform::connectLoopback(port);
  ASSERT_TRUE(fd);
  ASSERT_TRUE(platform::sendAll(fd.get(), std::string_view(request).substr(0, GetParam())));
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(platform::sendAll(fd.get(), std::string_view(request).substr(GetParam())));
  EXPECT_EQ(test::readToEnd(fd.get(), 5s), request);
}
INSTANTIATE_TEST_SUITE_P(Splits, SplitRequestTest, ::testing::Values(1, 10, 30, 60, 73));

struct UnendedCase {
  const char* name;
  bool closeAfterSending;
};
class UnendedRequestTest : public ServerTest, public ::testing::WithParamInterface<UnendedCase> {};
// A header that never ends is routed as it came once the peer has closed its side, or after
// the header's time.
TEST_P(UnendedRequestTest, IsRoutedAsItCame) {
  echoLength();
  ServerOptions options;
  options.headerTimeout = 300ms;
  start(options);
  platform::UniqueFd fd = platform::connectLoopback(port);
  ASSERT_TRUE(fd);
  ASSERT_TRUE(platform::sendAll(fd.get(), std::string_view("GET /abc HTTP/1.1\r\nX: y")));
  if (GetParam().closeAfterSending) ::shutdown(fd.get(), SHUT_WR);
  EXPECT_EQ(test::readToEnd(fd.get(), 5s), "len=23");
}
INSTANTIATE_TEST_SUITE_P(Ends, UnendedRequestTest,
                         ::testing::Values(UnendedCase{"peer_closed", true},
                                           UnendedCase{"header_time_up", false}),
                         [](const auto& test) { return std::string(test.param.name); });

class ResponseSizeTest : public ServerTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(ResponseSizeTest, WholeResponseArrives) {
  const std::size_t size = GetParam();
  router.setHandler(Endpoint::Default, [size](std::string_view, std::string& out) {
    out.resize(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>('a' + i % 26);
  });
  start();
  const auto answer = test::exchange(port, "GET / HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(answer);
  ASSERT_EQ(answer->size(), size);
  for (std::size_t i = 0; i < size; i += 4099) ASSERT_EQ((*answer)[i], 'a' + i % 26);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ResponseSizeTest,
                         ::testing::Values(0, 1, 81920, 81921, 3 * 81920 + 7, 2'000'000));

// A handler's text and a separate body (a tile) leave together; sizes around the 64 KiB piece.
struct TextAndBody {
  std::size_t text;
  std::size_t body;
};

class TextAndBodyTest : public ServerTest, public ::testing::WithParamInterface<TextAndBody> {};

TEST_P(TextAndBodyTest, ArriveWholeAndInOrder) {
  const auto [textSize, bodySize] = GetParam();
  std::string expected(textSize + bodySize, '\0');
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<char>('a' + i % 23);
  router.setResponseHandler(Endpoint::Default, [&](std::string_view, Response& out) {
    out.text.assign(expected, 0, textSize);
    out.body = std::make_shared<const std::vector<std::uint8_t>>(expected.begin() + textSize,
                                                                 expected.end());
  });
  start();
  EXPECT_EQ(test::exchange(port, "GET / HTTP/1.1\r\n\r\n"), expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, TextAndBodyTest,
                         ::testing::Values(TextAndBody{60, 23'000}, TextAndBody{0, 70'000},
                                           TextAndBody{65'530, 100}, TextAndBody{65'536, 1},
                                           TextAndBody{70'000, 200'000}));

TEST_F(ServerTest, PeerClosingBeforeSendingGetsNoAnswerAndNoMessage) {
  std::atomic<int> calls{0};
  router.setHandler(Endpoint::Default, [&](std::string_view, std::string& out) {
    ++calls;
    out = "x";
  });
  start();
  {
    platform::UniqueFd fd = platform::connectLoopback(port);
    ASSERT_TRUE(fd);
  }
  EXPECT_TRUE(test::eventually([&] { return accepts.load() >= 1 && threadList().empty(); }, 5s));
  EXPECT_TRUE(CServerThread::waitNoServerThreads(5s));
  EXPECT_EQ(calls.load(), 0);
  EXPECT_TRUE(frontend.messages().empty());
}

TEST_F(ServerTest, ResetConnectionGivesOneLineAndServerGoesOn) {
  echoLength();
  start();
  {
    platform::UniqueFd fd = platform::connectLoopback(port);
    ASSERT_TRUE(fd);
    const linger hard{1, 0};  // close with a reset
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  EXPECT_TRUE(CServerThread::waitNoServerThreads(5s));
  // A reset may also arrive as end of stream, which is no error: at most one message.
  const auto messages = frontend.messages();
  ASSERT_LE(messages.size(), 1u);
  if (!messages.empty()) {
    EXPECT_EQ(messages[0], "Tivra|Socket Error. Unable to read data.");
  }
  EXPECT_EQ(test::exchange(port, "GET / HTTP/1.1\r\n\r\n"), "len=18");
}

TEST_F(ServerTest, ManyConcurrentConnectionsLeaveTheThreadListEmpty) {
  std::atomic<int> inFlight{0}, maxInFlight{0};
  router.setHandler(Endpoint::Default, [&](std::string_view, std::string& out) {
    const int now = ++inFlight;
    int seen = maxInFlight.load();
    while (now > seen && !maxInFlight.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(20ms);
    --inFlight;
    out = "done";
  });
  start();
  constexpr int kClients = 40;
  std::vector<std::future<std::optional<std::string>>> answers;
  for (int i = 0; i < kClients; ++i)
    answers.push_back(std::async(
        std::launch::async, [this] { return test::exchange(port, "GET / HTTP/1.1\r\n\r\n"); }));
  for (auto& a : answers) EXPECT_EQ(a.get(), "done");
  EXPECT_GT(maxInFlight.load(), 1) << "connections must run on threads of their own";
  EXPECT_TRUE(CServerThread::waitNoServerThreads(5s));
  EXPECT_TRUE(test::eventually([&] { return threadList().empty(); }, 5s));
  EXPECT_EQ(CServerThread::liveCount(), 0);
}

TEST_F(ServerTest, StopMessageEndsAConnectionThatNeverSends) {
  start();
  platform::UniqueFd idle = platform::connectLoopback(port);
  ASSERT_TRUE(idle);
  ASSERT_TRUE(test::eventually([&] { return threadList().size() == 1; }, 5s));
  const auto started = std::chrono::steady_clock::now();
  server->stopConnection(threadList().front());
  EXPECT_TRUE(CServerThread::waitNoServerThreads(5000ms));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5000ms);
  EXPECT_TRUE(test::closedWithoutData(idle.get(), 5s));
}

TEST_F(ServerTest, StopOfOneConnectionDoesNotReachTheNextOnItsThread) {
  echoLength();
  start();
  {
    platform::UniqueFd idle = platform::connectLoopback(port);
    ASSERT_TRUE(idle);
    ASSERT_TRUE(test::eventually([&] { return threadList().size() == 1; }, 5s));
    server->stopConnection(threadList().front());
    EXPECT_TRUE(test::closedWithoutData(idle.get(), 5s));
  }
  ASSERT_TRUE(test::eventually([&] { return threadList().empty(); }, 5s));
  // It waits for the next connection beside the thread that took over the waiting.
  ASSERT_EQ(server->threadCount(), 2u) << "the stopped connection's thread ended";
  EXPECT_EQ(test::exchange(port, "GET / HTTP/1.1\r\n\r\n"), "len=18");
}

TEST_F(ServerTest, SilentPeerIsClosedAfterTheIdleLimit) {
  ServerOptions options;
  options.idleTimeout = 200ms;
  start(options);
  platform::UniqueFd idle = platform::connectLoopback(port);
  ASSERT_TRUE(idle);
  EXPECT_TRUE(test::closedWithoutData(idle.get(), 10s));
  EXPECT_TRUE(CServerThread::waitNoServerThreads(5s));
}

TEST_F(ServerTest, ParkedThreadsServeLaterConnections) {
  echoLength();
  start();
  for (int i = 0; i < 200; ++i)
    ASSERT_EQ(test::exchange(port, "GET /abc HTTP/1.1\r\n\r\n"), "len=21") << "request " << i;
}

TEST_F(ServerTest, IdleParkedThreadsEndAndNewOnesServeAfterwards) {
  router.setHandler(Endpoint::Default, [](std::string_view, std::string& out) {
    std::this_thread::sleep_for(50ms);
    out = "done";
  });
  ServerOptions options;
  options.parkedIdle = 300ms;
  start(options);
  std::vector<std::future<std::optional<std::string>>> answers;
  for (int i = 0; i < 8; ++i)
    answers.push_back(std::async(
        std::launch::async, [this] { return test::exchange(port, "GET / HTTP/1.1\r\n\r\n"); }));
  for (auto& a : answers) EXPECT_EQ(a.get(), "done");
  EXPECT_GT(server->threadCount(), 1u) << "finished threads park";
  // One keeps waiting for the next connection.
  EXPECT_TRUE(test::eventually([&] { return server->threadCount() == 1; }, 10s));
  EXPECT_EQ(test::exchange(port, "GET / HTTP/1.1\r\n\r\n"), "done");
}

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_F(ServerTest, AcceptOutOfDescriptorsBacksOffInsteadOfSpinning) {
  router.setHandler(Endpoint::Default, [](std::string_view, std::string& out) { out = "late"; });
  start();
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  // Every descriptor but one is taken; the client takes that one, so the server's accept
  // fails with EMFILE.
  rlimit tight = saved;
  tight.rlim_cur = 64;
  std::vector<platform::UniqueFd> fillers;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  for (int i = 0; i < 64; ++i) {
    platform::UniqueFd fd(::dup(0));
    if (!fd) break;
    fillers.push_back(std::move(fd));
  }
  ASSERT_FALSE(fillers.empty());
  fillers.pop_back();
  platform::UniqueFd client = platform::connectLoopback(port);
  ASSERT_TRUE(client);
  const double before = cpuSeconds();
  std::this_thread::sleep_for(600ms);
  const double spent = cpuSeconds() - before;
  fillers.clear();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  // A loop woken again and again by the pending connection would burn the whole 600 ms.
  EXPECT_LT(spent, 0.1);
  // Once descriptors are free again, the waiting connection is served.
  ASSERT_TRUE(platform::sendAll(client.get(), std::string_view("GET / HTTP/1.1\r\n\r\n")));
  EXPECT_EQ(test::readToEnd(client.get(), 5s), "late");
}

struct SlowPeer {
  const char* name;
  bool readsSlowly;
};
class SlowPeerTest : public ServerTest, public ::testing::WithParamInterface<SlowPeer> {};

// A peer that stops reading, or reads a trickle, holds its thread and the answer no longer than
// the one deadline of the whole answer.
TEST_P(SlowPeerTest, AnswerEndsAtItsDeadline) {
  const auto body = std::make_shared<const std::vector<std::uint8_t>>(16u << 20, 'x');
  router.setResponseHandler(Endpoint::Default, [body](std::string_view, Response& out) {
    out.text = "head";
    out.body = body;
  });
  ServerOptions options;
  options.answerTimeout = 1s;
  start(options);
  platform::UniqueFd fd = test::connectWithSmallWindow(port);
  ASSERT_TRUE(fd);
  ASSERT_TRUE(platform::sendAll(fd.get(), std::string_view("GET / HTTP/1.1\r\n\r\n")));
  ASSERT_TRUE(test::eventually([&] { return threadList().size() == 1; }, 5s));
  std::size_t received = 0;
  const auto trickle = [&] {
    char piece[4096];
    const ssize_t n = ::recv(fd.get(), piece, sizeof piece, MSG_DONTWAIT);
    if (n > 0) received += static_cast<std::size_t>(n);
    std::this_thread::sleep_for(50ms);
  };
  // The old send time-out started again with every piece the peer took: minutes.
  EXPECT_TRUE(test::eventually(
      [&] {
        if (GetParam().readsSlowly) trickle();
        return threadList().empty();
      },
      10s));
  EXPECT_LT(received, body->size());
}
INSTANTIATE_TEST_SUITE_P(Peers, SlowPeerTest,
                         ::testing::Values(SlowPeer{"never_reads", false},
                                           SlowPeer{"reads_a_trickle", true}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(ServerTest, StopJoinsEveryThreadOrTellsThatSomeAreLeft) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  router.setHandler(Endpoint::Default, [released](std::string_view, std::string& out) {
    released.wait();  // deaf to the stop
    out = "late";
  });
  start();
  auto client = std::async(std::launch::async,
                           [this] { return test::exchange(port, "GET / HTTP/1.1\r\n\r\n"); });
  ASSERT_TRUE(test::eventually([&] { return threadList().size() == 1; }, 5s));
  // On the loop's thread, as the window stops it: the listener is the loop's.
  const auto stopWithin = [&](std::chrono::milliseconds wait) {
    std::promise<bool> stopped;
    loop.post([&] { stopped.set_value(server->stop(std::chrono::steady_clock::now() + wait)); });
    return stopped.get_future().get();
  };
  EXPECT_FALSE(stopWithin(200ms));
  EXPECT_GE(HttpServer::threadsLeft(), 1);
  release.set_value();
  EXPECT_TRUE(stopWithin(5s));
  EXPECT_EQ(HttpServer::threadsLeft(), 0);
  client.wait();
}

TEST(ServerListen, PortInUseFails) {
  Router router;
  std::mutex lock;
  test::RecordingFrontend frontend;
  HttpServer first(router, lock, frontend, {});
  ASSERT_TRUE(first.listen("127.0.0.1", 0));
  HttpServer second(router, lock, frontend, {});
  EXPECT_FALSE(second.listen("127.0.0.1", first.port()));
  EXPECT_FALSE(second.listen("not-an-address", 0));
}

}  // namespace
}  // namespace tivra::server

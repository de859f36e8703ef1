#include "platform/message_loop.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "platform/instance_lock.h"
#include "support/temp_dir.h"

namespace tivra::platform {
namespace {

TEST(MessageLoop, RunsPostsFromManyThreadsInOrderPerThreadAndQuits) {
  MessageLoop loop;
  std::vector<int> seen;
  constexpr int kThreads = 4, kPerThread = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) loop.post([&, t, i] { seen.push_back(t * 10000 + i); });
    });
  for (auto& th : threads) th.join();
  loop.post([&] { loop.quit(7); });
  EXPECT_EQ(loop.run(), 7);
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kPerThread));
  std::vector<int> last(kThreads, -1);
  for (const int v : seen) {
    EXPECT_GT(v % 10000, last[v / 10000]);
    last[v / 10000] = v % 10000;
  }
}

TEST(MessageLoop, TimersFireRepeatAndCancel) {
  MessageLoop loop;
  int once = 0, repeated = 0;
  loop.addTimer(
      std::chrono::milliseconds(5), [&] { ++once; }, false);
  MessageLoop::TimerId id = 0;
  id = loop.addTimer(
      std::chrono::milliseconds(1),
      [&] {
        if (++repeated == 3) loop.cancelTimer(id);
      },
      true);
  loop.addTimer(
      std::chrono::milliseconds(60), [&] { loop.quit(0); }, false);
  loop.run();
  EXPECT_EQ(once, 1);
  EXPECT_EQ(repeated, 3);

  // A lone timer is waited for, not polled for: the loop turns a few times, not hundreds.
  MessageLoop quiet;
  bool fired = false;
  quiet.addTimer(
      std::chrono::milliseconds(30), [&] { fired = true; }, false);
  int turns = 0;
  while (!fired && turns < 1000) {
    quiet.runOnce(std::chrono::milliseconds(1000));
    ++turns;
  }
  EXPECT_TRUE(fired);
  EXPECT_LE(turns, 3);
}

TEST(MessageLoop, WatchesDescriptors) {
  MessageLoop loop;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  char got = 0;
  MessageLoop::WatchId id = loop.watchFd(fds[0], POLLIN, [&](short) {
    ASSERT_EQ(::read(fds[0], &got, 1), 1);
    loop.unwatchFd(id);
    loop.quit(0);
  });
  std::thread writer([&] { ASSERT_EQ(::write(fds[1], "x", 1), 1); });
  loop.run();
  writer.join();
  EXPECT_EQ(got, 'x');
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(InstanceLock, SecondAcquireIsHeldUntilFirstIsReleased) {
  test::TempDir dir;
  ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  {
    auto first = InstanceLock::acquire("TivraTest");
    ASSERT_TRUE(first.lock);
    // flock locks belong to the open file description, so a second open in this process
    // conflicts exactly as another process would.
    EXPECT_EQ(InstanceLock::acquire("TivraTest").outcome, LockOutcome::kHeldByAnother);
  }
  EXPECT_TRUE(InstanceLock::acquire("TivraTest").lock);
  // A runtime directory that cannot hold the file is a failure of its own, with its reason.
  ::setenv("XDG_RUNTIME_DIR", (dir.path() / "missing").c_str(), 1);
  const auto broken = InstanceLock::acquire("TivraTest");
  EXPECT_EQ(broken.outcome, LockOutcome::kFailed);
  EXPECT_NE(broken.error.find("missing"), std::string::npos);
  // Without a runtime directory the shared temp directory holds it, named per user.
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(InstanceLock::lockPath("TivraTest").filename().string(),
            "TivraTest-" + std::to_string(::getuid()));
}

struct LockCase {
  FileLock::Kind first;
  FileLock::Kind second;
  LockOutcome outcome;
};
class FileLockTest : public ::testing::TestWithParam<LockCase> {};
TEST_P(FileLockTest, ReadersShareWritersExclude) {
  test::TempDir dir;
  auto first = FileLock::take(dir.path(), GetParam().first, false);
  ASSERT_TRUE(first.lock) << first.error;
  EXPECT_EQ(FileLock::take(dir.path(), GetParam().second, false).outcome, GetParam().outcome);
}
INSTANTIATE_TEST_SUITE_P(
    Kinds, FileLockTest,
    ::testing::Values(
        LockCase{FileLock::Kind::kShared, FileLock::Kind::kShared, LockOutcome::kTaken},
        LockCase{FileLock::Kind::kShared, FileLock::Kind::kExclusive, LockOutcome::kHeldByAnother},
        LockCase{FileLock::Kind::kExclusive, FileLock::Kind::kShared, LockOutcome::kHeldByAnother},
        LockCase{FileLock::Kind::kExclusive, FileLock::Kind::kExclusive,
                 LockOutcome::kHeldByAnother}));

}  // namespace
}  // namespace tivra::platform

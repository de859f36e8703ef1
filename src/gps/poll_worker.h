#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace tivra::gps {

// What a reader hands its owner, on the reader's own thread.
class ReaderSink {
 public:
  virtual ~ReaderSink() = default;
  virtual void textReceived(std::string_view text) = 0;
  virtual void silence() = 0;
};

// The rhythm every receiver reader keeps: a worker thread polls once per interval, hands what
// a poll read to the sink, and reports silence after more than idleLimit empty polls in a row.
// A stop interrupts the wait between polls at once.
class PollWorker {
 public:
  // Appends what one poll read to its argument; runs on the worker thread only.
  using Poll = std::function<void(std::string& received)>;

  PollWorker(ReaderSink& sink, std::chrono::milliseconds interval, int idleLimit);
  ~PollWorker();
  PollWorker(const PollWorker&) = delete;
  PollWorker& operator=(const PollWorker&) = delete;

  void start(Poll poll);
  // Returns once the worker has left its loop (at most the poll under way).
  void stop();

 private:
  void run(std::stop_token stop);

  ReaderSink& m_sink;
  const std::chrono::milliseconds m_interval;
  const int m_idleLimit;
  Poll m_poll;  // worker only, once started
  std::mutex m_wakeMutex;
  std::condition_variable_any m_wake;
  std::jthread m_thread;
};

}  // namespace tivra::gps

#include "gps/poll_worker.h"

namespace tivra::gps {

PollWorker::PollWorker(ReaderSink& sink, std::chrono::milliseconds interval, int idleLimit)
    : m_sink(sink), m_interval(interval), m_idleLimit(idleLimit) {}

PollWorker::~PollWorker() {
  stop();
}

void PollWorker::start(Poll poll) {
  stop();
  m_poll = std::move(poll);
  m_thread = std::jthread([this](std::stop_token stop) { run(stop); });
}

void PollWorker::stop() {
  if (!m_thread.joinable()) return;
  m_thread.request_stop();
  m_wake.notify_all();
  m_thread.join();
}

void PollWorker::run(std::stop_token stop) {
  int idle = 0;
  std::string received;
  while (!stop.stop_requested()) {
    received.clear();
    m_poll(received);
    ++idle;
    if (!received.empty()) {
      idle = 0;
      m_sink.textReceived(received);
    }
    {
      std::unique_lock lock(m_wakeMutex);
      m_wake.wait_for(lock, stop, m_interval, [] { return false; });
    }
    if (idle > m_idleLimit) {
      m_sink.silence();
      idle = 0;
    }
  }
}

}  // namespace tivra::gps

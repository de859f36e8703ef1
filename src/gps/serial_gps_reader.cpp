#include "gps/serial_gps_reader.h"

#include <array>

namespace tivra::gps {

namespace {

constexpr std::size_t kChunk = 4096;
// One poll reads at most this much, so a device that never stops talking cannot hold the
// worker in one poll forever.
constexpr std::size_t kMaxChunksPerPoll = 64;

}  // namespace

SerialGpsReader::SerialGpsReader(ReaderSink& sink, SerialReaderOptions options)
    : m_sink(sink), m_options(options) {}

SerialGpsReader::~SerialGpsReader() {
  stop();
}

void SerialGpsReader::start(const std::string& device, int dataBits, int baud) {
  stop();
  m_settings = platform::SerialSettings{};
  m_settings.baud = baud;
  m_settings.dataBits = dataBits;
  m_port.open(device, m_settings);
  m_device = device;
  m_worker = std::jthread([this](std::stop_token stop) { run(stop); });
}

void SerialGpsReader::stop() {
  if (m_worker.joinable()) {
    m_worker.request_stop();
    m_wake.notify_all();
    m_worker.join();
  }
  m_port.close();
}

bool SerialGpsReader::drain(std::string& received) {
  std::array<char, kChunk> buffer;
  for (std::size_t i = 0; i < kMaxChunksPerPoll; ++i) {
    std::size_t n = 0;
    try {
      n = m_port.read(buffer);
    } catch (const platform::SerialError&) {
      return false;
    }
    // A chunk is text up to its first NUL byte.
    const std::string_view chunk(buffer.data(), n);
    received.append(chunk.substr(0, chunk.find('\0')));
    if (n < buffer.size()) break;
  }
  return true;
}

void SerialGpsReader::run(std::stop_token stop) {
  using Clock = std::chrono::steady_clock;
  int idle = 0;
  Clock::time_point nextReopen{};
  std::string received;
  while (!stop.stop_requested()) {
    received.clear();
    if (m_port.isOpen()) {
      if (!drain(received) && m_options.reopenInterval.count() > 0) {
        m_port.close();
        nextReopen = Clock::now() + m_options.reopenInterval;
      }
    } else if (Clock::now() >= nextReopen) {
      try {
        m_port.open(m_device, m_settings);
      } catch (const platform::SerialError&) {
        nextReopen = Clock::now() + m_options.reopenInterval;
      }
    }
    ++idle;
    if (!received.empty()) {
      idle = 0;
      m_sink.textReceived(received);
    }
    {
      std::unique_lock lock(m_wakeMutex);
      m_wake.wait_for(lock, stop, m_options.pollInterval, [] { return false; });
    }
    if (idle > m_options.idleLimit) {
      m_sink.silence();
      idle = 0;
    }
  }
}

}  // namespace tivra::gps

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
    : m_options(options), m_worker(sink, options.pollInterval, options.idleLimit) {}

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
  m_identity = platform::serialDeviceIdentity(device, m_options.byIdDirectory);
  m_nextReopen = {};
  m_worker.start([this](std::string& received) { poll(received); });
}

void SerialGpsReader::stop() {
  m_worker.stop();
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
    received.append(buffer.data(), n);
    if (n < buffer.size()) break;
  }
  return true;
}

void SerialGpsReader::poll(std::string& received) {
  using Clock = std::chrono::steady_clock;
  if (m_port.isOpen()) {
    if (!drain(received) && m_options.reopenInterval.count() > 0) {
      m_port.close();
      m_nextReopen = Clock::now() + m_options.reopenInterval;
    }
  } else if (Clock::now() >= m_nextReopen) {
    m_nextReopen = Clock::now() + m_options.reopenInterval;
    // Another device may have taken the name (the next one plugged in): never lock it.
    if (!m_identity.sameDevice(platform::serialDeviceIdentity(m_device, m_options.byIdDirectory)))
      return;
    try {
      m_port.open(m_device, m_settings);
    } catch (const platform::SerialError&) {
      // Tried again after the interval.
    }
  }
}

}  // namespace tivra::gps

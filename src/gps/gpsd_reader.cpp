#include "gps/gpsd_reader.h"

#include <array>

#include "gps/line_splitter.h"
#include "platform/socket.h"
#include "platform/tcp_client.h"

namespace tivra::gps {

namespace {

constexpr std::string_view kWatch = "?WATCH={\"enable\":true,\"nmea\":true};\n";
constexpr std::size_t kMaxReadsPerPoll = 64;

}  // namespace

GpsdReader::GpsdReader(ReaderSink& sink, GpsdReaderOptions options)
    : m_sink(sink), m_options(options) {}

GpsdReader::~GpsdReader() {
  stop();
}

void GpsdReader::start(const std::string& host, std::uint16_t port) {
  stop();
  m_host = host;
  m_port = port;
  m_worker = std::jthread([this](std::stop_token stop) { run(stop); });
}

void GpsdReader::stop() {
  if (!m_worker.joinable()) return;
  m_worker.request_stop();
  m_wake.notify_all();
  m_worker.join();
}

void GpsdReader::run(std::stop_token stop) {
  using Clock = std::chrono::steady_clock;
  platform::UniqueFd connection;
  Clock::time_point nextConnect{};
  LineSplitter splitter;
  std::array<char, 4096> buffer;
  std::string received;
  int idle = 0;
  while (!stop.stop_requested()) {
    received.clear();
    if (!connection && Clock::now() >= nextConnect) {
      connection = platform::connectTcp(m_host, m_port, m_options.connectTimeout);
      if (connection &&
          !platform::sendAll(connection.get(), std::span<const char>(kWatch.data(), kWatch.size())))
        connection.reset();
      if (!connection) nextConnect = Clock::now() + m_options.reconnectInterval;
      splitter = LineSplitter();
    }
    for (std::size_t i = 0; connection && i < kMaxReadsPerPoll; ++i) {
      std::size_t n = 0;
      const auto state = platform::readAvailable(connection.get(), buffer, n);
      if (state == platform::ReadState::Nothing) break;
      if (state == platform::ReadState::Closed) {
        connection.reset();
        nextConnect = Clock::now() + m_options.reconnectInterval;
        break;
      }
      splitter.append(std::string_view(buffer.data(), n), [&](std::string_view line) {
        if (!line.starts_with('{')) received.append(line);
      });
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

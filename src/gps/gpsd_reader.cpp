#include "gps/gpsd_reader.h"

#include <array>

#include "platform/socket.h"
#include "platform/tcp_client.h"

namespace tivra::gps {

namespace {

constexpr std::string_view kWatch = "?WATCH={\"enable\":true,\"nmea\":true};\n";
constexpr std::size_t kMaxReadsPerPoll = 64;

}  // namespace

GpsdReader::GpsdReader(ReaderSink& sink, GpsdReaderOptions options)
    : m_options(options), m_worker(sink, options.pollInterval, options.idleLimit) {}

GpsdReader::~GpsdReader() {
  stop();
}

bool GpsdReader::start(const std::string& host, std::uint16_t port) {
  stop();
  m_host = host;
  m_port = port;
  if (!connect()) return false;
  m_worker.start([this](std::string& received) { poll(received); });
  return true;
}

bool GpsdReader::connect() {
  m_splitter = LineSplitter();
  m_connection = platform::connectTcp(m_host, m_port, m_options.connectTimeout);
  if (m_connection &&
      !platform::sendAll(m_connection.get(), std::span<const char>(kWatch.data(), kWatch.size())))
    m_connection.reset();
  if (!m_connection) m_nextConnect = std::chrono::steady_clock::now() + m_options.reconnectInterval;
  return m_connection.valid();
}

void GpsdReader::stop() {
  m_worker.stop();
  m_connection.reset();
}

void GpsdReader::poll(std::string& received) {
  using Clock = std::chrono::steady_clock;
  if (!m_connection && Clock::now() >= m_nextConnect) connect();
  std::array<char, 4096> buffer;
  for (std::size_t i = 0; m_connection && i < kMaxReadsPerPoll; ++i) {
    std::size_t n = 0;
    const auto state = platform::readAvailable(m_connection.get(), buffer, n);
    if (state == platform::ReadState::Nothing) break;
    if (state == platform::ReadState::Closed) {
      m_connection.reset();
      m_nextConnect = Clock::now() + m_options.reconnectInterval;
      break;
    }
    m_splitter.append(std::string_view(buffer.data(), n), [&](std::string_view line) {
      if (!line.starts_with('{')) received.append(line);
    });
  }
}

}  // namespace tivra::gps

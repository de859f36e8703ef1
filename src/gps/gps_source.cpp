#include "gps/gps_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace tivra::gps {

// Pacing sleeps end at once when the source is stopped, so Stop never waits out a gap in a
// recording.
class GpsSource::StoppableClock final : public PacingClock {
 public:
  std::int64_t nowMs() override { return m_steady.nowMs(); }
  void sleepMs(std::int64_t ms) override {
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, m_stop.get_token(), std::chrono::milliseconds(ms), [] { return false; });
  }
  std::stop_token token() const { return m_stop.get_token(); }
  void requestStop() {
    m_stop.request_stop();
    m_wake.notify_all();
  }

 private:
  SteadyPacingClock m_steady;
  std::stop_source m_stop;
  std::mutex m_mutex;
  std::condition_variable_any m_wake;
};

namespace {

// A regular file opened for reading without ever waiting: O_NONBLOCK keeps open() from waiting
// for a FIFO's writer, and anything but a regular file is refused.
platform::UniqueFd openRegularFile(const std::filesystem::path& file) {
  platform::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
  return fd;
}

}  // namespace

GpsSource::GpsSource(SourceType type, GpsEvents& events, GpsSourceOptions options)
    : m_type(type),
      m_events(events),
      m_options(options),
      m_clock(std::make_unique<StoppableClock>()) {
  m_data.sink = m_options.sink;
}

GpsSource::~GpsSource() {
  stop();
}

std::shared_ptr<GpsSource> GpsSource::openFile(const std::filesystem::path& file, double timeFactor,
                                               GpsEvents& events, GpsSourceOptions options) {
  platform::UniqueFd fd = openRegularFile(file);
  if (!fd) return nullptr;
  std::shared_ptr<GpsSource> source(new GpsSource(SourceType::File, events, options));
  source->setParser(
      makeParser(file.filename().string(), source->m_data, timeFactor, *source->m_clock));
  // Started last: no line arrives before the parser exists.
  source->m_fileReader =
      std::jthread([raw = source.get(), token = source->m_clock->token(), f = std::move(fd)](
                       std::stop_token) mutable { raw->readFile(token, std::move(f)); });
  return source;
}

void GpsSource::setParser(std::unique_ptr<LineParser> parser) {
  m_parser = std::move(parser);
  m_splitter = LineSplitter(4096, m_parser->sentenceStart());
}

std::shared_ptr<GpsSource> GpsSource::openSerial(const std::string& device, int baud,
                                                 GpsEvents& events, GpsSourceOptions options) {
  std::shared_ptr<GpsSource> source(new GpsSource(SourceType::Serial, events, options));
  source->setParser(
      std::make_unique<NmeaParser>(source->m_data, 0.0, *source->m_clock, options.nmea));
  source->m_serial = std::make_unique<SerialGpsReader>(*source, options.serial);
  source->m_serial->start(device, 8, baud);
  return source;
}

std::shared_ptr<GpsSource> GpsSource::openGpsd(const std::string& host, std::uint16_t port,
                                               GpsEvents& events, GpsSourceOptions options) {
  std::shared_ptr<GpsSource> source(new GpsSource(SourceType::Gpsd, events, options));
  source->setParser(
      std::make_unique<NmeaParser>(source->m_data, 0.0, *source->m_clock, options.nmea));
  source->m_gpsd = std::make_unique<GpsdReader>(*source, options.gpsd);
  if (!source->m_gpsd->start(host, port)) return nullptr;
  return source;
}

bool GpsSource::hasFixes() {
  std::lock_guard lock(m_data.lock);
  return !m_data.history.empty();
}

void GpsSource::readFile(std::stop_token stop, platform::UniqueFd file) {
  std::array<char, 4096> buffer;
  while (!stop.stop_requested()) {
    const ssize_t n = ::read(file.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    // End of file; a read error ends the file the same way.
    if (n <= 0) {
      if (const std::size_t refused = m_parser->refusedPoints(); refused > 0)
        m_events.pointsRefused(refused);
      silence();
      return;
    }
    const std::string_view bytes(buffer.data(), static_cast<std::size_t>(n));
    if (m_parser->readsBytes()) {
      // In slices, so that a stop ends the playback within a point or two of the chunk.
      constexpr std::size_t kSlice = 256;
      for (std::size_t at = 0; at < bytes.size() && !stop.stop_requested(); at += kSlice)
        line(bytes.substr(at, kSlice));
      continue;
    }
    m_splitter.append(bytes, [this, &stop](std::string_view text) {
      if (!stop.stop_requested()) line(text);
    });
  }
}

void GpsSource::stop() {
  m_clock->requestStop();
  if (m_fileReader.joinable()) m_fileReader.join();
  if (m_serial) m_serial->stop();
  if (m_gpsd) m_gpsd->stop();
  silence();
}

void GpsSource::line(std::string_view text) {
  if (!m_receiving.exchange(true)) m_events.dataStarted();
  try {
    m_parser->processLine(text);
  } catch (const std::exception&) {
    // A line that cannot be parsed is dropped like any other bad line.
  }
}

void GpsSource::textReceived(std::string_view text) {
  m_splitter.append(text, [this](std::string_view each) { line(each); });
}

void GpsSource::silence() {
  if (m_receiving.exchange(false)) m_events.dataStopped();
}

}  // namespace tivra::gps

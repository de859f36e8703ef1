#pragma once

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "gps/gps_fix.h"
#include "gps/gpsd_reader.h"
#include "gps/line_parser.h"
#include "gps/line_splitter.h"
#include "gps/nmea_parser.h"
#include "gps/serial_gps_reader.h"
#include "platform/unique_fd.h"

namespace tivra::gps {

// How a source tells the GPS page that data started or stopped flowing. Called on the source's
// reader thread (or on the thread that stops it); implementations post to the main loop.
class GpsEvents {
 public:
  virtual ~GpsEvents() = default;
  virtual void dataStarted() = 0;  // WM_GPS_DATA_STARTED
  virtual void dataStopped() = 0;  // WM_GPS_DATA_STOPPED
  // A file ended with this many points refused; told just before its dataStopped().
  virtual void pointsRefused(std::size_t) {}
};

struct GpsSourceOptions {
  SerialReaderOptions serial{};
  GpsdReaderOptions gpsd{};
  NmeaOptions nmea{};
  // Told every fix with a position (the track recorder); may be null.
  std::shared_ptr<FixSink> sink;
};

enum class SourceType { File, Serial, Gpsd };

// One running data source: a reader thread, its line parser and the data they publish. Created
// and stopped on the main thread; the reader thread calls line() and silence(); connection
// threads read data() under its lock. Held by shared_ptr so that a connection still answering
// a request keeps the data alive after the source was replaced.
class GpsSource final : public ReaderSink {
 public:
  ~GpsSource() override;
  GpsSource(const GpsSource&) = delete;
  GpsSource& operator=(const GpsSource&) = delete;

  // A file source; null when the file cannot be opened or is not a regular file (a FIFO would
  // wait for a writer, a directory or device never gives a track). Opening never waits. The
  // track-file parser reads names ending in "plt" (any case), the NMEA parser everything else.
  static std::shared_ptr<GpsSource> openFile(const std::filesystem::path& file, double timeFactor,
                                             GpsEvents& events, GpsSourceOptions options = {});
  // A serial source, never paced. Throws platform::SerialError when the device cannot be opened.
  static std::shared_ptr<GpsSource> openSerial(const std::string& device, int baud,
                                               GpsEvents& events, GpsSourceOptions options = {});

  // A source fed by gpsd, never paced; null when gpsd cannot be reached. Once reached, it keeps
  // trying to reach gpsd again until stopped.
  static std::shared_ptr<GpsSource> openGpsd(const std::string& host, std::uint16_t port,
                                             GpsEvents& events, GpsSourceOptions options = {});

  // Stops the reader (waiting for its thread) and reports the end if data was flowing.
  void stop();
  bool isReceiving() const { return m_receiving.load(); }
  // Whether any fix reached the history, however the source has fared since.
  bool hasFixes();
  bool hasSerialReader() const { return m_type == SourceType::Serial; }
  SourceType type() const { return m_type; }
  GpsData& data() { return m_data; }

  // Reader-thread entry points, public for readers other than the serial one.
  void line(std::string_view text);
  void textReceived(std::string_view text) override;
  void silence() override;

 private:
  class StoppableClock;
  GpsSource(SourceType type, GpsEvents& events, GpsSourceOptions options);
  void readFile(std::stop_token stop, platform::UniqueFd file);
  void setParser(std::unique_ptr<LineParser> parser);

  SourceType m_type;
  GpsEvents& m_events;
  GpsSourceOptions m_options;
  GpsData m_data;
  std::unique_ptr<StoppableClock> m_clock;
  std::unique_ptr<LineParser> m_parser;  // reader thread only
  LineSplitter m_splitter;               // reader thread only
  std::atomic<bool> m_receiving = false;
  std::unique_ptr<SerialGpsReader> m_serial;
  std::unique_ptr<GpsdReader> m_gpsd;
  std::jthread m_fileReader;
};

}  // namespace tivra::gps

#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "gps/line_splitter.h"
#include "gps/poll_worker.h"
#include "gps/serial_gps_reader.h"
#include "platform/unique_fd.h"

namespace tivra::gps {

struct GpsdReaderOptions {
  std::chrono::milliseconds pollInterval{100};
  int idleLimit = 50;  // silence after more empty polls than this, as for a serial receiver
  std::chrono::milliseconds reconnectInterval{2000};
  std::chrono::milliseconds connectTimeout{1000};
};

// Reads the NMEA that gpsd relays from the receiver it owns: connects, asks with
// ?WATCH={"enable":true,"nmea":true}; and hands on the text; reconnects every 2 s while gpsd
// is away once it was reached. gpsd's own JSON reports are left out, so only receiver sentences
// count as data.
class GpsdReader {
 public:
  GpsdReader(ReaderSink& sink, GpsdReaderOptions options = {});
  ~GpsdReader();
  GpsdReader(const GpsdReader&) = delete;
  GpsdReader& operator=(const GpsdReader&) = delete;

  // Connects on the calling thread (within the connect timeout) and starts the worker; false,
  // with nothing started, when gpsd cannot be reached, as a serial port that cannot be opened.
  bool start(const std::string& host, std::uint16_t port);
  void stop();

 private:
  void poll(std::string& received);
  bool connect();

  GpsdReaderOptions m_options;
  std::string m_host;
  std::uint16_t m_port = 0;
  // Worker only, once started.
  platform::UniqueFd m_connection;
  std::chrono::steady_clock::time_point m_nextConnect;
  LineSplitter m_splitter;
  PollWorker m_worker;  // last: it stops before the connection goes
};

}  // namespace tivra::gps
